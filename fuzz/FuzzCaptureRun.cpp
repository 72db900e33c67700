// Fuzzes the way a capture of a channel without a window gets its frames:
// the pre-record queue (a small ring, so bodies wrap and frames are evicted)
// fed arbitrary frames with sequence numbers that sometimes jump, the run a
// capture copies out of it (CCaptureRun::CopyFrom, with or without a warm
// decoder's next frame), the run gathered frame by frame (Gather), and the
// player's reading of such a run (FrameRun). Every run must pass the
// player's check, hold exactly the queue's newest frames from where it
// starts, start where it says (at a sequence parameter set, or at the frame
// a warm decoder expects, with no frame missing after it), and give units
// that begin with a start code and end in zeroed padding.
//
// Input: u16 queue capacity, then per frame: u8 control (bits 0..2 pick the
// NAL type, bit 3 drops the start code, bit 4 adds an extension block, bit 5
// skips a sequence number before the frame, bit 6 captures after it, bit 7
// arms or disarms gathering), u8 next-frame offset for a capture, u8 length
// and that many body bytes.
#include <cstring>
#include <vector>

#include "FrameRun.h"
#include "FuzzInput.h"
#include "live/CCaptureRun.h"
#include "record/CStreamQueue.h"

namespace qnv::fuzz {
namespace {

using namespace protocol;

constexpr uint8_t kTypes[8] = {1, 5, 7, 8, 6, 9, 5, 1};

void CheckUnits(const CCaptureRun& run) {
  QNV_FUZZ_CHECK(player::FrameRun::Check(run.Records(), run.Count(), run.Data(), run.DataLength()));
  player::FrameRun walk(run.Records(), run.Count(), run.Data(), run.DataLength());
  walk.ForEachUnit([](const uint8_t* d, size_t n) {
    QNV_FUZZ_CHECK(n >= 3 && d[0] == 0 && d[1] == 0 && (d[2] == 1 || (d[2] == 0 && d[3] == 1)));
    for (size_t i = 0; i < player::kCodedFramePadding; ++i) QNV_FUZZ_CHECK(d[n + i] == 0);
  });
}

// The run holds the queue's frames [first, Count()) byte for byte.
void CheckAgainstQueue(const CCaptureRun& run, const CStreamQueue& q) {
  QNV_FUZZ_CHECK(run.Count() <= q.Count());
  const size_t first = q.Count() - run.Count();
  uint64_t offset = 0;
  for (uint32_t i = 0; i < run.Count(); ++i) {
    const CStreamQueue::SHeld held = q.Held(first + i);
    const SFrameIndex record = SFrameIndex::From(run.Records() + size_t(i) * kFrameHeaderSize);
    QNV_FUZZ_CHECK(record.Offset() == offset);
    QNV_FUZZ_CHECK(record.PayloadLength() == held.header->PayloadLength());
    for (size_t b = 0; b < held.body.Size(); ++b)
      QNV_FUZZ_CHECK(run.Data()[offset + b] == held.body[b]);
    offset += held.body.Size();
    if (i > 0) QNV_FUZZ_CHECK(q.Held(first + i - 1).sequence + 1 == held.sequence);
  }
  QNV_FUZZ_CHECK(offset == run.DataLength());
  if (run.Count() > 0) QNV_FUZZ_CHECK(run.NextSequence() == q.Held(q.Count() - 1).sequence + 1);
}

}  // namespace
}  // namespace qnv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qnv;
  using namespace qnv::fuzz;
  CFuzzInput in(data, size);
  CStreamQueue queue;
  queue.SetCapacity(int32_t(64 + in.U16() % 4096));
  CCaptureRun gather;
  uint32_t sequence = 0;
  while (!in.Empty()) {
    const uint8_t control = in.U8();
    const uint8_t nextOffset = in.U8();
    size_t got = 0;
    const uint8_t* bytes = in.Bytes(in.U8(), &got);
    std::vector<uint8_t> body;
    if ((control & 16) != 0) {  // extension block: 4-byte length, then the block
      const uint8_t ext[4] = {uint8_t(got % 7), 0, 0, 0};
      body.assign(ext, ext + 4);
      body.resize(4 + got % 7, 0xEE);
    }
    if ((control & 8) == 0) body.insert(body.end(), {0, 0, 0, 1});
    body.push_back(uint8_t(0x60 | kTypes[control & 7]));
    body.insert(body.end(), bytes, bytes + got);
    SFrameIndex header{};
    std::memcpy(header.bytes + kFrameMagicOffset, kFrameMagic, 4);
    header.bytes[kFrameExtFlagOffset] = (control & 16) != 0 ? 1 : 0;
    platform::StoreLe32(header.bytes + kFramePayloadLengthOffset,
                        uint32_t(body.size() - ((control & 16) != 0 ? 4 + got % 7 : 0)));
    if ((control & 32) != 0) ++sequence;
    const uint32_t seq = sequence++;
    queue.Append(body.data(), int32_t(body.size()), header, true, 0, seq);

    if ((control & 128) != 0) {
      if (gather.Armed()) {
        gather.Disarm();
      } else {
        gather.Arm();
      }
    }
    gather.Gather(header, body.data(), uint32_t(body.size()), seq);
    if (gather.Ready()) {
      CheckUnits(gather);
      QNV_FUZZ_CHECK(gather.Count() > 0);
      const SFrameIndex first = SFrameIndex::From(gather.Records());
      QNV_FUZZ_CHECK(FirstNalType(first, SBodyView{gather.Data(), size_t(gather.DataLength())}) ==
                     kNalSps);
    }

    if ((control & 64) != 0) {
      CCaptureRun run;
      const uint32_t next = seq + 1 - nextOffset % 8;
      const bool warm = (nextOffset & 8) != 0;
      const CCaptureRun::EFrom from = run.CopyFrom(queue, warm ? &next : nullptr);
      CheckUnits(run);
      if (from == CCaptureRun::EFrom::kNothing) {
        QNV_FUZZ_CHECK(run.Count() == 0);
        continue;
      }
      CheckAgainstQueue(run, queue);
      if (from == CCaptureRun::EFrom::kKeyFrame) {
        QNV_FUZZ_CHECK(run.Count() > 0);
        const SFrameIndex first = SFrameIndex::From(run.Records());
        QNV_FUZZ_CHECK(FirstNalType(first, SBodyView{run.Data(), size_t(run.DataLength())}) ==
                       kNalSps);
      } else {
        QNV_FUZZ_CHECK(warm);
        const uint32_t firstSeq = run.NextSequence() - run.Count();
        QNV_FUZZ_CHECK(firstSeq == next);
      }
    }
  }
  return 0;
}
