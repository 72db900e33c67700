// CBenchClip: the benchmark's video, loaded once from an H.264 elementary
// stream and laid out the two ways the receivers under test take it:
//  - framed: every NAL unit (4-byte start code first) behind a 40-byte stream
//    frame header, back to back in one buffer, so a sender can write it in
//    large pieces straight from memory;
//  - raw: the same NAL units without headers, the elementary stream that
//    ffmpeg reads.
// It also groups NAL units into access units (parameter sets and SEI go with
// the picture behind them), which a paced sender writes one at a time.
// Immutable after Load apart from the frame counters (SetFramedLoop); used by
// one thread at a time.
#ifndef QNV_BENCH_BENCHCLIP_H
#define QNV_BENCH_BENCHCLIP_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "devsim/WireFormat.h"

namespace qnv::bench {

// The stream frame header as the benchmark writes it (the device's layout).
constexpr size_t kFrameHeaderSize = devsim::wire::kFrameHeaderSize;
constexpr size_t kFrameCounterOffset = devsim::wire::kFrameCounterOffset;
constexpr size_t kFrameStreamIdOffset = devsim::wire::kFrameStreamIdOffset;
constexpr size_t kFramePayloadLengthOffset = devsim::wire::kFramePayloadLengthOffset;
// CLOCK_MONOTONIC nanoseconds at the sender's write, in the device's
// capture-time field, so the receiver can measure delivery latency.
constexpr size_t kFrameSendTimeOffset = devsim::wire::kFrameCaptureTimeOffset;
static_assert(kFrameHeaderSize == 40);
static_assert(kFrameCounterOffset == 0 && kFrameStreamIdOffset == 8);
static_assert(kFramePayloadLengthOffset == 12 && kFrameSendTimeOffset == 16);

class CBenchClip {
 public:
  struct SNal {
    size_t rawOffset;     // in Raw(): start code first
    size_t framedOffset;  // in Framed(): the header first
    uint32_t length;      // payload bytes (start code included)
  };
  struct SAccessUnit {
    size_t firstNal;
    size_t nalCount;
    bool key;  // holds an IDR slice
  };

  CBenchClip() = default;
  CBenchClip(const CBenchClip&) = delete;
  CBenchClip& operator=(const CBenchClip&) = delete;

  // False (with a reason in *error) when the file is missing or holds no NAL unit.
  bool Load(const std::string& path, std::string* error);

  const std::vector<uint8_t>& Raw() const { return m_raw; }
  const std::vector<uint8_t>& Framed() const { return m_framed; }
  // Writable, for a sender that stamps counters and send times in place.
  uint8_t* FramedData() { return m_framed.data(); }
  const std::vector<SNal>& Nals() const { return m_nals; }
  const std::vector<SAccessUnit>& AccessUnits() const { return m_units; }

  // Renumbers the framed headers for pass `loop` of a sender that repeats the
  // clip: frame i of the pass gets counter loop * Nals().size() + i.
  void SetFramedLoop(uint64_t loop, uint32_t streamId);

 private:
  std::vector<uint8_t> m_raw;
  std::vector<uint8_t> m_framed;
  std::vector<SNal> m_nals;
  std::vector<SAccessUnit> m_units;
};

// Fills a 40-byte frame header.
void WriteFrameHeader(uint8_t* header, uint32_t counter, uint32_t streamId, uint32_t payloadLength,
                      uint64_t sendTimeNs);

}  // namespace qnv::bench

#endif  // QNV_BENCH_BENCHCLIP_H
