// CAccessUnitBuilder: groups a stream of NAL units into access units (one
// picture each, with the parameter sets and SEI in front of it), as an MP4
// sample needs. Owns the unit being built; one thread.
#ifndef QNVRECORDING_CACCESSUNITBUILDER_H
#define QNVRECORDING_CACCESSUNITBUILDER_H

#include <cstdint>
#include <functional>
#include <vector>

#include "qnvrecording/H264Nal.h"

namespace qnvrec {

// One picture in Annex B form (4-byte start codes).
struct SAccessUnit {
  std::vector<uint8_t> annexB;
  bool key = false;  // holds an IDR slice
};

class CAccessUnitBuilder {
 public:
  // Called with each finished unit; false stops the caller's work.
  using Sink = std::function<bool(const SAccessUnit&)>;

  explicit CAccessUnitBuilder(Sink sink) : sink_(std::move(sink)) {}
  CAccessUnitBuilder(const CAccessUnitBuilder&) = delete;
  CAccessUnitBuilder& operator=(const CAccessUnitBuilder&) = delete;

  // False when the sink refused a finished unit.
  bool Add(const SNalRef& nal);
  // Hands over the last unit, if it holds a picture.
  bool Finish();

 private:
  bool Flush();

  Sink sink_;
  SAccessUnit current_;
  bool hasSlice_ = false;
};

}  // namespace qnvrec

#endif  // QNVRECORDING_CACCESSUNITBUILDER_H
