// Fuzzes stream reassembly (CFrameAssembler): an arbitrary byte stream is fed
// in arbitrary chunks, copied (Feed), in place (FeedInPlace), read straight
// into the assembler (ReceiveArea/Received), and whole in one chunk. Every
// delivered frame must be well-formed, lie in the input in order (byte 35
// aside, which the probe writes), carry the probe's kind, and the runs must
// deliver the same frames; no byte may go unaccounted, and a receive area must
// always have room for the rest of the frame being assembled.
//
// Input: u8 count (1..8 chunk sizes), count x u16 chunk size (0: 65,536),
// u8 stop (the in-place run's sink refuses frame number `stop`), then the
// stream.
#include <algorithm>
#include <cstring>
#include <memory>

#include "FuzzInput.h"
#include "live/CFrameAssembler.h"
#include "live/SliceProbe.h"
#include "record/SFrameIndex.h"

namespace qnv::fuzz {
namespace {

struct SRun {
  std::vector<std::vector<uint8_t>> frames;
  int stopAt = -1;  // refuse this frame (0-based), -1 never
  bool refused = false;
};

bool Collect(void* context, uint8_t* frame, uint32_t length) {
  auto* run = static_cast<SRun*>(context);
  QNV_FUZZ_CHECK(!run->refused);  // nothing after a refusal
  run->frames.emplace_back(frame, frame + length);
  if (int(run->frames.size()) - 1 == run->stopAt) {
    run->refused = true;
    return false;
  }
  return true;
}

void CheckFrame(const std::vector<uint8_t>& f) {
  QNV_FUZZ_CHECK(f.size() >= kFrameHeaderSize && f.size() <= CFrameAssembler::kMaxFrame);
  QNV_FUZZ_CHECK(std::memcmp(f.data() + kFrameMagicOffset, kFrameMagic, 4) == 0);
  uint64_t ext = 0;
  if (f[kFrameExtFlagOffset] != 0) {
    QNV_FUZZ_CHECK(f.size() >= kFrameHeaderSize + kFrameExtLengthSize);
    ext = kFrameExtLengthSize + LoadLe32(f.data() + kFrameHeaderSize);
  }
  const uint32_t payload = LoadLe32(f.data() + kFramePayloadLengthOffset);
  QNV_FUZZ_CHECK(kFrameHeaderSize + ext + payload == f.size());
  const int kind = ProbeSliceType(f.data() + kFrameHeaderSize + ext, int32_t(payload));
  QNV_FUZZ_CHECK(f[kFrameKindOffset] == kind);
}

// The frames must be pieces of the stream, in order and without overlap.
void CheckPositions(const std::vector<std::vector<uint8_t>>& frames,
                    const std::vector<uint8_t>& stream) {
  size_t cursor = 0;
  for (const auto& f : frames) {
    bool found = false;
    while (!found && cursor + f.size() <= stream.size()) {
      const void* hit =
          memmem(stream.data() + cursor, stream.size() - cursor, f.data(), kFrameKindOffset);
      if (hit == nullptr) break;
      size_t at = size_t(static_cast<const uint8_t*>(hit) - stream.data());
      if (at + f.size() > stream.size()) break;
      const size_t tail = kFrameKindOffset + 1;
      if (std::memcmp(stream.data() + at + tail, f.data() + tail, f.size() - tail) == 0) {
        cursor = at + f.size();
        found = true;
      } else {
        cursor = at + 1;
      }
    }
    QNV_FUZZ_CHECK(found);
  }
}

uint64_t Accounted(const CFrameAssembler& a, const SRun& run) {
  uint64_t delivered = 0;
  for (const auto& f : run.frames) delivered += f.size();
  return delivered + a.DroppedBytes() + a.Held();
}

}  // namespace
}  // namespace qnv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qnv;
  using namespace qnv::fuzz;
  CFuzzInput in(data, size);
  size_t chunks[8];
  const size_t count = 1 + in.U8() % 8;
  for (size_t i = 0; i < count; ++i) {
    uint16_t c = in.U16();
    chunks[i] = c == 0 ? 65536 : c;
  }
  const int stop = in.U8();
  const std::vector<uint8_t> stream = in.Rest();

  CFrameAssembler copied, inPlace, whole, area;
  SRun copiedRun, inPlaceRun, wholeRun, areaRun;
  inPlaceRun.stopAt = stop;
  size_t pos = 0;
  bool inPlaceFeeding = true;
  for (size_t i = 0; pos < stream.size(); ++i) {
    const size_t n = std::min(chunks[i % count], stream.size() - pos);
    // Each chunk in its own allocation, as a receive area would be: reads or
    // writes outside it are caught.
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[n]);
    std::memcpy(chunk.get(), stream.data() + pos, n);
    QNV_FUZZ_CHECK(copied.Feed(chunk.get(), n, &Collect, &copiedRun));
    if (inPlaceFeeding) {
      std::memcpy(chunk.get(), stream.data() + pos, n);
      bool more = inPlace.FeedInPlace(chunk.get(), n, &Collect, &inPlaceRun);
      QNV_FUZZ_CHECK(more != inPlaceRun.refused);
      inPlaceFeeding = more;
    }
    for (size_t done = 0; done < n;) {
      uint32_t capacity = 0;
      uint8_t* into = area.ReceiveArea(&capacity);
      QNV_FUZZ_CHECK(capacity >= 1);
      // The rest of an unfinished frame always fits behind it. (While a
      // frame is skipped any area will do: its bytes are only counted.)
      QNV_FUZZ_CHECK(area.Held() == 0 || capacity >= area.Wanted());
      const size_t m = std::min<size_t>(capacity, n - done);
      std::memcpy(into, stream.data() + pos + done, m);
      QNV_FUZZ_CHECK(area.Received(into, m, &Collect, &areaRun));
      done += m;
    }
    pos += n;
  }
  {
    std::unique_ptr<uint8_t[]> all(new uint8_t[stream.size()]);
    if (!stream.empty()) std::memcpy(all.get(), stream.data(), stream.size());
    QNV_FUZZ_CHECK(whole.Feed(all.get(), stream.size(), &Collect, &wholeRun));
  }

  for (const auto& f : copiedRun.frames) CheckFrame(f);
  CheckPositions(copiedRun.frames, stream);
  QNV_FUZZ_CHECK(copiedRun.frames == wholeRun.frames);
  QNV_FUZZ_CHECK(copied.Held() == whole.Held());
  QNV_FUZZ_CHECK(Accounted(copied, copiedRun) == stream.size());
  QNV_FUZZ_CHECK(Accounted(whole, wholeRun) == stream.size());
  QNV_FUZZ_CHECK(copied.DeliveredFrames() == copiedRun.frames.size());
  QNV_FUZZ_CHECK(areaRun.frames == copiedRun.frames);
  QNV_FUZZ_CHECK(area.Held() == copied.Held());
  QNV_FUZZ_CHECK(Accounted(area, areaRun) == stream.size());
  // The in-place run delivers the same frames up to the one it refused.
  const size_t shared = inPlaceRun.frames.size();
  QNV_FUZZ_CHECK(shared <= copiedRun.frames.size());
  for (size_t i = 0; i < shared; ++i) QNV_FUZZ_CHECK(inPlaceRun.frames[i] == copiedRun.frames[i]);
  if (!inPlaceRun.refused) {
    QNV_FUZZ_CHECK(shared == copiedRun.frames.size());
    QNV_FUZZ_CHECK(inPlace.Held() == copied.Held());
    QNV_FUZZ_CHECK(Accounted(inPlace, inPlaceRun) == stream.size());
  }
  // A reset assembler starts clean.
  copied.Reset();
  QNV_FUZZ_CHECK(copied.Held() == 0);
  return 0;
}
