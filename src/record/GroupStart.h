// Where a group of pictures begins in a stream of frames: at the frame of its
// sequence parameter set (the first of the parameter sets that lead up to its
// first picture, whatever SEI or other units come between them and the
// picture), or at an IDR picture that no parameter sets lead up to. A stretch
// cut there decodes from its first picture. Frames whose body is not
// readable as H.264 fall back to the key-frame mark: the first of a run of
// frames marked 1. Owns the state of the frames before; one thread.
#ifndef QNV_RECORD_GROUPSTART_H
#define QNV_RECORD_GROUPSTART_H

#include <cstddef>
#include <cstdint>

#include "protocol/FrameHeader.h"
#include "record/FrameBody.h"

namespace qnv {

class CGroupStart {
 public:
  // Whether this frame begins a group; remembers it as the frame before the next.
  bool Next(const protocol::SFrameIndex& header, const uint8_t* body, size_t length) {
    const int type = FirstNalType(header, SBodyView{body, length});
    const uint8_t kind = header.FrameKind();
    bool starts = false;
    if (type == kNalSps) {
      starts = !m_leadIn;
    } else if (type == kNalIdr) {
      // (A second slice of the same IDR picture begins nothing.)
      starts = !m_leadIn && m_lastType != kNalIdr;
    } else if (type < 0) {
      starts = kind == protocol::kFrameKindI && m_lastKind != protocol::kFrameKindI;
    }
    // A key frame that parameter sets do not lead up to is a place to begin
    // too (a stream of I slices without IDR pictures has no other).
    m_boundary = starts ||
                 (kind == protocol::kFrameKindI && type != kNalSps && type != kNalPps && !m_leadIn);
    // Parameter sets lead up to the next picture; units between them and it
    // (SEI, access unit delimiters) belong to the same lead-in.
    if (type == kNalSps || type == kNalPps) {
      m_leadIn = true;
    } else if (QNVNetFrameNal::IsSlice(type)) {
      m_leadIn = false;
    }
    m_lastType = type;
    m_lastKind = kind;
    return starts;
  }
  // After Next: the frame begins a group or is such a key frame.
  bool Boundary() const { return m_boundary; }
  void Reset() {
    m_lastType = -1;
    m_lastKind = 0;
    m_leadIn = false;
  }

 private:
  int m_lastType = -1;
  bool m_leadIn = false;  // parameter sets came since the last picture
  uint8_t m_lastKind = 0;
  bool m_boundary = false;
};

}  // namespace qnv

#endif  // QNV_RECORD_GROUPSTART_H
