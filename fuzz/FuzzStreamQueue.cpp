// Fuzzes the pre-record queue (CStreamQueue) with random operation sequences
// and checks it against a model after every step: the held bodies lie back
// to back from the buffer's start, oldest first; each record's offset is its
// body's offset; nothing exceeds the byte or frame capacity; eviction drops
// the oldest whole frames only; and the read-out for a recording writes
// exactly the held bytes and records.
//
// Input: u16 capacity, then operations of one byte each with arguments:
//   0 append a frame: u16 length, u8 fill, u8 header byte, u8 newFrame
//   1 append many empty frames: u16 count
//   2 try to change the capacity: u16 capacity (refused once the buffer exists)
//   3 read out into memory files: u16 room for the data file
#include <algorithm>
#include <deque>

#include "FuzzInput.h"
#include "record/CStreamQueue.h"

namespace qnv::fuzz {

using namespace protocol;
namespace {

struct SModelFrame {
  SFrameIndex header;
  std::vector<uint8_t> body;
};

struct SModel {
  int32_t capacity = CStreamQueue::kDefaultCapacity;
  bool allocated = false;
  std::deque<SModelFrame> frames;
  int64_t total = 0;
  int64_t Total() const { return total; }
  size_t MaxFrames() const {
    return std::clamp(size_t(capacity) / CStreamQueue::kFrameCostBytes, CStreamQueue::kMinFrames,
                      CStreamQueue::kMaxFrames);
  }
  bool Append(const std::vector<uint8_t>& body, const SFrameIndex& header, bool newFrame) {
    const int64_t length = int64_t(body.size());
    if (capacity < length) return false;
    allocated = true;
    while (!frames.empty() &&
           (total + length > capacity || (newFrame && frames.size() >= MaxFrames()))) {
      total -= int64_t(frames.front().body.size());
      frames.pop_front();
    }
    total += length;
    if (newFrame || frames.empty()) {
      frames.push_back({header, body});
    } else {
      frames.back().body.insert(frames.back().body.end(), body.begin(), body.end());
    }
    return true;
  }
};

// Checks every frame when few are held or `full` is set; otherwise the
// counts, the first and the last frame (a full check of thousands of frames
// after every step would slow the search down to a crawl).
void Compare(const CStreamQueue& q, const SModel& m, bool full) {
  QNV_FUZZ_CHECK(q.GetCapacity() == m.capacity);
  QNV_FUZZ_CHECK(q.Count() == m.frames.size());
  QNV_FUZZ_CHECK(q.Count() <= q.MaxFrames());
  QNV_FUZZ_CHECK(int64_t(q.GetTotal()) == m.Total());
  QNV_FUZZ_CHECK(q.GetTotal() <= q.GetCapacity());
  QNV_FUZZ_CHECK((q.GetBuffer() != nullptr) == m.allocated);
  uint32_t offset = 0;
  for (size_t i = 0; i < q.Count(); ++i) {
    if (!full && q.Count() > 64 && i > 0 && i + 1 < q.Count()) {
      offset += uint32_t(q.Slice(i).length);
      continue;
    }
    const SModelFrame& f = m.frames[i];
    const CStreamQueue::SBuf& s = q.Slice(i);
    QNV_FUZZ_CHECK(s.start == q.GetBuffer() + offset);
    QNV_FUZZ_CHECK(size_t(s.length) == f.body.size());
    QNV_FUZZ_CHECK(f.body.empty() || std::memcmp(s.start, f.body.data(), f.body.size()) == 0);
    QNV_FUZZ_CHECK(q.Frame(i).Offset() == offset);
    // Every header byte but the offset is kept as given.
    SFrameIndex expect = f.header;
    expect.SetOffset(offset);
    QNV_FUZZ_CHECK(std::memcmp(q.Frame(i).bytes, expect.bytes, kFrameHeaderSize) == 0);
    offset += uint32_t(s.length);
  }
}

// A write-only memory file of fixed room: writes beyond the room come up
// short, as on a full disk.
struct SRoom {
  std::vector<uint8_t> bytes;
  size_t room;
};

FILE* OpenRoom(SRoom& r) {
  cookie_io_functions_t io{};
  io.write = [](void* cookie, const char* p, size_t n) -> ssize_t {
    auto* room = static_cast<SRoom*>(cookie);
    size_t take = std::min(n, room->room - room->bytes.size());
    room->bytes.insert(room->bytes.end(), p, p + take);
    return take == 0 && n > 0 ? -1 : ssize_t(take);
  };
  FILE* f = fopencookie(&r, "w", io);
  QNV_FUZZ_CHECK(f != nullptr);
  setvbuf(f, nullptr, _IONBF, 0);
  return f;
}

// Reads out into fixed-size memory files: a file with room for everything
// gets exactly the held bytes and records; a short one makes WriteTo fail.
void CheckReadOut(const CStreamQueue& q, size_t dataRoom) {
  const size_t total = size_t(q.GetTotal());
  SRoom data{{}, dataRoom}, index{{}, q.Count() * kFrameHeaderSize};
  FILE* dataFile = OpenRoom(data);
  FILE* indexFile = OpenRoom(index);
  // stdio may report a failed write only through the error flag.
  const bool ok =
      q.WriteTo(dataFile, indexFile) && !std::ferror(dataFile) && !std::ferror(indexFile);
  const bool fits = total == 0 || total <= dataRoom;
  QNV_FUZZ_CHECK(ok == fits);
  if (ok && total > 0) {
    QNV_FUZZ_CHECK(data.bytes.size() == total && index.bytes.size() == index.room);
    QNV_FUZZ_CHECK(std::memcmp(data.bytes.data(), q.GetBuffer(), total) == 0);
    for (size_t i = 0; i < q.Count(); ++i)
      QNV_FUZZ_CHECK(std::memcmp(index.bytes.data() + i * kFrameHeaderSize, q.Frame(i).bytes,
                                 kFrameHeaderSize) == 0);
  }
  std::fclose(dataFile);
  std::fclose(indexFile);
  QNV_FUZZ_CHECK(!q.WriteTo(nullptr, nullptr));
}

}  // namespace
}  // namespace qnv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qnv;
  using namespace qnv::fuzz;
  CFuzzInput in(data, size);
  CStreamQueue queue;
  SModel model;
  const int32_t capacity = in.U16();
  QNV_FUZZ_CHECK(queue.SetCapacity(capacity));
  model.capacity = capacity;
  QNV_FUZZ_CHECK(!queue.SetCapacity(-1));
  int bulk = 0;  // one bulk append per input: at the frame limit every append costs O(frames)
  for (int ops = 0; !in.Empty() && ops < 1024; ++ops) {
    switch (in.U8() % 4) {
      case 0: {
        const uint16_t length = in.U16();
        const uint8_t fill = in.U8();
        const uint8_t headerByte = in.U8();
        const bool newFrame = (in.U8() & 1) != 0;
        std::vector<uint8_t> body(length);
        for (size_t i = 0; i < body.size(); ++i) body[i] = uint8_t(fill + i);
        SFrameIndex header;
        std::memset(header.bytes, headerByte, sizeof header.bytes);
        const bool ok = queue.Append(body.data(), int32_t(body.size()), header, newFrame);
        QNV_FUZZ_CHECK(ok == model.Append(body, header, newFrame));
        break;
      }
      case 1: {
        if (bulk++ >= 1) break;
        const uint16_t count = in.U16() % 4400;
        SFrameIndex header;
        std::memset(header.bytes, 0x11, sizeof header.bytes);
        for (uint16_t i = 0; i < count; ++i) {
          QNV_FUZZ_CHECK(queue.Append(nullptr, 0, header, true));
          model.Append({}, header, true);
        }
        break;
      }
      case 2: {
        const int32_t c = in.U16();
        const bool ok = queue.SetCapacity(c);
        QNV_FUZZ_CHECK(ok == !model.allocated);
        if (ok) model.capacity = c;
        break;
      }
      case 3:
        CheckReadOut(queue, in.U16());
        break;
    }
    Compare(queue, model, false);
  }
  // Bad arguments change nothing.
  SFrameIndex header{};
  QNV_FUZZ_CHECK(!queue.Append(nullptr, 1, header, true));
  QNV_FUZZ_CHECK(!queue.Append(nullptr, -1, header, true));
  Compare(queue, model, true);
  return 0;
}
