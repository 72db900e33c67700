// FrameRun: a run of stream frames that a caller holds, as QnvPlayer_CaptureRun
// receives it: frame records of 40 bytes (stream frame headers), oldest
// first, each record's offset field giving where its body (extension block
// when flagged, then the payload) begins in one block of data. That is the
// layout of a recording's index and data files. Check validates every
// record before anything is decoded; ForEachUnit then hands out each
// payload as Annex B bytes with a start code in front and zeroed padding
// behind (libavcodec reads ahead), through one scratch buffer that grows to
// the largest frame and is reused. A view: the records and data must stay
// unchanged while it is used. One thread at a time.
#ifndef QNVPLAYER_FRAMERUN_H
#define QNVPLAYER_FRAMERUN_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "CodedFrame.h"

namespace qnv::player {

// Where a record's payload lies in data, or nothing when the record's magic,
// offset or lengths do not fit the dataLength bytes.
std::optional<PayloadSpan> FindRunPayload(const uint8_t* record, const uint8_t* data,
                                          uint64_t dataLength);

class FrameRun {
 public:
  static constexpr size_t kRecordSize = 40;

  // False when a pointer is null where bytes are promised or any record
  // does not fit the data.
  static bool Check(const uint8_t* records, uint32_t count, const uint8_t* data,
                    uint64_t dataLength);

  FrameRun(const uint8_t* records, uint32_t count, const uint8_t* data, uint64_t dataLength)
      : m_records(records), m_count(count), m_data(data), m_dataLength(dataLength) {}

  // Calls f(bytes, size) for every non-empty payload in order: bytes begin
  // with a start code and are followed by kCodedFramePadding zeros. Only
  // after Check returned true.
  template <typename F>
  void ForEachUnit(F&& f) {
    for (uint32_t i = 0; i < m_count; ++i) {
      const auto payload =
          FindRunPayload(m_records + size_t(i) * kRecordSize, m_data, m_dataLength);
      if (!payload || payload->size == 0) continue;
      const size_t size = Prepare(payload->data, payload->size);
      f(m_scratch.data(), size);
    }
  }

 private:
  // Copies a payload into the scratch buffer (start code first when it has
  // none, padding behind); returns the size without the padding.
  size_t Prepare(const uint8_t* payload, size_t size);

  const uint8_t* m_records;
  uint32_t m_count;
  const uint8_t* m_data;
  uint64_t m_dataLength;
  std::vector<uint8_t> m_scratch;
};

}  // namespace qnv::player

#endif  // QNVPLAYER_FRAMERUN_H
