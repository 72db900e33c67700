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
  if (startsUnit && hasSlice_ && !Flush()) return false;
  if (current_.annexB.size() + sizeof kStartCode + nal.size > kMaxAccessUnitBytes) {
    if (!cut_) ++cutUnits_;
    cut_ = true;
    return true;
  }
  current_.annexB.insert(current_.annexB.end(), kStartCode, kStartCode + sizeof kStartCode);
  current_.annexB.insert(current_.annexB.end(), nal.data, nal.data + nal.size);
  if (IsSlice(type) && !hasSlice_) {
    current_.frame = frame;
    current_.stampUs = stampUs;
  }
  if (IsSlice(type)) hasSlice_ = true;
  if (type == kNalIdr) current_.key = true;
  return true;
}

bool CAccessUnitBuilder::Finish() {
  if (!hasSlice_) {
    current_ = SAccessUnit{};
    return true;
  }
  return Flush();
}

bool CAccessUnitBuilder::Flush() {
  bool ok = sink_(current_);
  current_.annexB.clear();
  current_.key = false;
  hasSlice_ = false;
  cut_ = false;
  return ok;
}

}  // namespace qnvrec
