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
  bool key = false;      // holds an IDR slice
  uint64_t frame = 0;    // the recording's frame that holds its first slice
  uint64_t stampUs = 0;  // that frame's capture time
  int64_t pts = 0;       // set by the exporter, in the writer's time base
};

// No picture of a stream this library records comes near this; a run of
// slices beyond it is cut there (and counted), so memory stays bounded.
constexpr size_t kMaxAccessUnitBytes = 16u << 20;

class CAccessUnitBuilder {
 public:
  // Called with each finished unit; false stops the caller's work.
  using Sink = std::function<bool(SAccessUnit&)>;

  explicit CAccessUnitBuilder(Sink sink) : m_sink(std::move(sink)) {}
  CAccessUnitBuilder(const CAccessUnitBuilder&) = delete;
  CAccessUnitBuilder& operator=(const CAccessUnitBuilder&) = delete;

  // False when the sink refused a finished unit. frame and stampUs describe
  // the recording's frame the NAL unit came from.
  bool Add(const SNalRef& nal, uint64_t frame = 0, uint64_t stampUs = 0);
  // Pictures cut at kMaxAccessUnitBytes so far.
  uint64_t CutUnits() const { return m_cutUnits; }
  // Hands over the last unit, if it holds a picture.
  bool Finish();

 private:
  bool Flush();

  Sink m_sink;
  SAccessUnit m_current;
  bool m_hasSlice = false;
  bool m_cut = false;
  uint64_t m_cutUnits = 0;
};

}  // namespace qnvrec

#endif  // QNVRECORDING_CACCESSUNITBUILDER_H
