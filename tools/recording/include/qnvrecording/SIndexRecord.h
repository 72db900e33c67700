// A recording's index record as this reader sees it: the public layout of
// QNVNetSdk.h (QNVNetIndexRecord: the frame's 40-byte header with bytes 28..31
// holding the body's offset in the data file; kMaxFrameSize bounds a record's
// frame). Numbers in it read with QnvLoadLe32.
#ifndef QNVRECORDING_SINDEXRECORD_H
#define QNVRECORDING_SINDEXRECORD_H

#include <cstddef>
#include <cstdint>

#include "QNVNetSdk.h"

namespace qnvrec {

using SIndexRecord = QNVNetIndexRecord;

}  // namespace qnvrec

#endif  // QNVRECORDING_SINDEXRECORD_H
