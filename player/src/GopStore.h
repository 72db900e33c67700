// GopStore: what a headless port keeps so that a capture can decode the
// current picture on demand: the frames since the last IDR picture, preceded
// by the parameter sets it needs, copied one after another into pages that
// are reused from one IDR to the next, so a steady stream allocates nothing
// and touches no new page. A new IDR starts a new generation. Each
// generation is bounded in bytes (each frame's record overhead counted, so a
// flood of tiny frames fills it as surely as large ones) and in frames (which
// bounds the work of decoding it); what does not fit is dropped and counted,
// and so is everything after it up to the next IDR, since it could not be
// decoded.
//
// One reader at a time (a capture) may decode the current generation without
// the owner's lock: between BeginRead and EndRead, Add never writes the bytes
// the reader was given. Frames of that generation go behind them, and a new
// generation goes to a second set of pages, made when first needed.
// Not synchronised: the owning port guards every member with its own mutex.
#ifndef QNVPLAYER_GOPSTORE_H
#define QNVPLAYER_GOPSTORE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "CodedFrame.h"
#include "PageArena.h"

namespace qnv::player {

class GopStore {
 public:
  struct Limits {
    size_t maxBytes;   // per generation, record overhead included
    size_t maxFrames;  // per generation
  };

  // A stored frame, written with non-temporal stores only (a store's lines
  // are cold and read only by a capture, so no store may first read a line):
  // a 16-byte header (bytes 0..3: length of the Annex B bytes; 4..7: where
  // they begin in the record, 12 or 16; 12..15: the start code put in front
  // of a payload that has none), the payload at byte 16, then zeros that
  // libavcodec's readers may reach into, up to the next multiple of 16.
  static constexpr size_t kRecordHeader = 16;
  static constexpr size_t kRecordAlign = 16;
  static constexpr size_t RecordBytes(size_t payloadSize) {
    return (kRecordHeader + payloadSize + kCodedFramePadding + kRecordAlign - 1) / kRecordAlign *
           kRecordAlign;
  }
  // The latest SPS and the PPSs after it, as records.
  static constexpr size_t kMaxParameterBytes = 64 * 1024;

  explicit GopStore(Limits limits);
  GopStore(const GopStore&) = delete;
  GopStore& operator=(const GopStore&) = delete;

  // Stores one frame's H.264 payload (a start code is put in front when it
  // has none). Copies into pages already owned once they are warm.
  void Add(const uint8_t* payload, size_t size);

  // Bumped at every IDR picture; 0 until the first one.
  uint64_t Generation() const { return m_generation; }
  // Frames of the current generation, parameter sets first.
  size_t Frames() const { return m_frames; }
  // Bytes of the current generation's records.
  size_t Bytes() const { return m_end; }
  // Frames thrown away: beyond the bounds, or with no IDR to decode from.
  uint64_t Dropped() const { return m_dropped; }
  // Bytes of memory the store's pages may hold now (touched, not trimmed).
  size_t ResidentBound() const;

  struct View {
    const uint8_t* base;  // records of the generation in [base, base + end)
    size_t end;
    uint64_t generation;
    size_t frames;
  };
  View BeginRead();
  void EndRead() { m_reading = -1; }

  // Calls f(data, size) for every frame recorded in [base + from, base + end).
  template <typename F>
  static void ForEachFrame(const uint8_t* base, size_t from, size_t end, F&& f) {
    while (from + kRecordHeader <= end) {
      uint32_t size, offset;
      std::memcpy(&size, base + from, sizeof size);
      std::memcpy(&offset, base + from + 4, sizeof offset);
      f(base + from + offset, size_t(size));
      from += RecordBytes(size - (kRecordHeader - offset));
    }
  }

 private:
  // Writes a record of payload at `at` (16-byte aligned); returns its size.
  static size_t WriteRecord(uint8_t* at, const uint8_t* payload, size_t size);
  // At an IDR: gives back pages only when the arena holds more than twice
  // the largest of the last kRecentGenerations, so a stream whose GOPs vary
  // keeps its high-water pages (no fault in steady state) while a one-off
  // huge GOP does not pin its memory.
  void TrimAfter(PageArena* arena, size_t endedBytes);
  static constexpr size_t kRecentGenerations = 8;
  void KeepParameterSets(const uint8_t* bytes, size_t size, bool sps);
  void Append(const uint8_t* payload, size_t size);
  void StartGeneration(const uint8_t* payload, size_t size, const NalSummary& nal);
  PageArena* Arena(int i);

  Limits m_limits;
  std::unique_ptr<PageArena> m_arenas[2];
  int m_current = 0;
  int m_reading = -1;  // the arena a reader was given, or -1
  size_t m_end = 0;
  size_t m_frames = 0;
  bool m_started = false;    // an IDR has been stored
  bool m_truncated = false;  // a frame of this generation was dropped
  size_t m_recent[kRecentGenerations] = {};
  size_t m_recentNext = 0;
  // Written only as parameter sets arrive, so untouched pages cost nothing.
  std::unique_ptr<uint8_t[]> m_params;
  size_t m_paramsEnd = 0;
  size_t m_paramsFrames = 0;
  uint64_t m_generation = 0;
  uint64_t m_dropped = 0;
};

}  // namespace qnv::player

#endif  // QNVPLAYER_GOPSTORE_H
