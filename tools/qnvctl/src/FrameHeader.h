// Reading the frames the SDK hands to the stream callback: the 40-byte header
// laid out in QNVNetSdk.h (QNVNetFrameHeader), an optional extension block and
// one H.264 NAL unit with its start code, whose pictures and key pictures
// QNVNetFrameNal tells (as qnv-export and the recorder count them). Numbers
// read with QnvLoadLe32.
#ifndef QNVCTL_FRAMEHEADER_H
#define QNVCTL_FRAMEHEADER_H

#include <cstddef>
#include <cstdint>

#include "QNVNetSdk.h"

namespace qnvctl {

using FrameHeader = QNVNetFrameHeader;

}  // namespace qnvctl

#endif  // QNVCTL_FRAMEHEADER_H
