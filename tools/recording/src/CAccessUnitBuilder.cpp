#include "qnvrecording/CAccessUnitBuilder.h"

namespace qnvrec {

namespace {
constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
}

bool CAccessUnitBuilder::Add(const SNalRef& nal, uint64_t frame, uint64_t stampUs) {
  const uint8_t type = nal.Type();
  bool startsUnit = false;
  if (IsSlice(type)) {
    startsUnit = StartsPicture(nal);
  } else if (type == kNalSei || type == kNalSps || type == kNalPps || type == kNalAud ||
             (type >= 14 && type <= 18)) {
    // These precede the first slice of the next picture.
    startsUnit = true;
  }
  // End of sequence/stream, filler and unknown types stay with the picture.
  if (startsUnit && m_hasSlice && !Flush()) return false;
  if (m_current.annexB.size() + sizeof kStartCode + nal.size > kMaxAccessUnitBytes) {
    if (!m_cut) ++m_cutUnits;
    m_cut = true;
    return true;
  }
  m_current.annexB.insert(m_current.annexB.end(), kStartCode, kStartCode + sizeof kStartCode);
  m_current.annexB.insert(m_current.annexB.end(), nal.data, nal.data + nal.size);
  if (IsSlice(type) && !m_hasSlice) {
    m_current.frame = frame;
    m_current.stampUs = stampUs;
  }
  if (IsSlice(type)) m_hasSlice = true;
  if (type == kNalIdr) m_current.key = true;
  return true;
}

bool CAccessUnitBuilder::Finish() {
  if (!m_hasSlice) {
    m_current = SAccessUnit{};
    return true;
  }
  return Flush();
}

bool CAccessUnitBuilder::Flush() {
  bool ok = m_sink(m_current);
  m_current.annexB.clear();
  m_current.key = false;
  m_hasSlice = false;
  m_cut = false;
  return ok;
}

}  // namespace qnvrec
