// Fuzzes stream reassembly (CFrameAssembler): an arbitrary byte stream is fed
// in arbitrary chunks (Feed), read straight into the assembler
// (ReceiveArea/Received), read so with a sink that stops, and whole in one
// chunk. Every
// delivered frame must be well-formed, lie in the input in order (byte 35
// aside, which the probe writes), carry the probe's kind, and the runs must
// deliver the same frames; no byte may go unaccounted, and a receive area must
// always have room for the rest of the frame being assembled.
//
// Input: u8 count (1..8 chunk sizes; bit 7: scripted stream), count x u16
// chunk size (0: 65,536), u8 stop (the stopping run's sink refuses frame
// number `stop`), then the stream, or for a scripted stream records it is
// built from: frames, command messages and false headers announcing over
// 16 MiB (see BuildScripted). Then every frame must arrive, exactly, in order,
// and every command message and false header be passed over.
#include <algorithm>
#include <cstring>
#include <memory>

#include "FuzzInput.h"
#include "live/CFrameAssembler.h"
#include "live/SliceProbe.h"
#include "protocol/CommandMessage.h"
#include "protocol/FrameHeader.h"

namespace qnv::fuzz {

using namespace protocol;
namespace {

struct SRun final : IFrameSink {
  std::vector<std::vector<uint8_t>> frames;
  int stopAt = -1;  // refuse this frame (0-based), -1 never
  bool refused = false;
  bool Frame(uint8_t* frame, uint32_t length) override;
};

bool SRun::Frame(uint8_t* frame, uint32_t length) {
  QNV_FUZZ_CHECK(!refused);  // nothing after a refusal
  frames.emplace_back(frame, frame + length);
  if (int(frames.size()) - 1 == stopAt) {
    refused = true;
    return false;
  }
  return true;
}

void CheckFrame(const std::vector<uint8_t>& f) {
  QNV_FUZZ_CHECK(f.size() >= kFrameHeaderSize && f.size() <= QNVNetFrameHeader::kMaxFrameSize);
  QNV_FUZZ_CHECK(std::memcmp(f.data() + kFrameMagicOffset, kFrameMagic, 4) == 0);
  uint64_t ext = 0;
  if (f[kFrameExtFlagOffset] != 0) {
    QNV_FUZZ_CHECK(f.size() >= kFrameHeaderSize + kFrameExtLengthSize);
    ext = kFrameExtLengthSize + platform::LoadLe32(f.data() + kFrameHeaderSize);
  }
  const uint32_t payload = platform::LoadLe32(f.data() + kFramePayloadLengthOffset);
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

// What a scripted stream must give.
struct SScript {
  std::vector<std::vector<uint8_t>> frames;
  uint64_t commands = 0, falseHeaders = 0, passedBytes = 0;
};

// Records (u8 kind, then its fields; bytes beyond the input read as zero):
//  0 frame: 40 header bytes (magic, payload length and extension length are
//    set), u16 payload length (mod 4,096), u16 extension length (mod 64,
//    when byte 36 is set), then the body bytes;
//  1 command message: 4 header-word bytes (never the magic), u16 length
//    (20..65,536, mostly short), then up to 64 bytes of its start;
//  2 false header: 40 header bytes, u32 length, u8: through the extension
//    length (else the payload length).
std::vector<uint8_t> BuildScripted(CFuzzInput& in, SScript& script) {
  std::vector<uint8_t> stream;
  auto take = [&](uint8_t* to, size_t n) {
    size_t got;
    const uint8_t* p = in.Bytes(n, &got);
    if (got) std::memcpy(to, p, got);
  };
  while (!in.Empty() && stream.size() < (4u << 20)) {
    const uint8_t kind = in.U8() % 3;
    std::vector<uint8_t> r(kFrameHeaderSize, 0);
    if (kind == 1) {
      uint8_t word[4] = {};
      take(word, 4);
      if (std::memcmp(word, kFrameMagic, 4) == 0) word[0] ^= 1;
      const uint16_t v = in.U16();
      const uint32_t length = v & 1 ? 20 + v % 65517 : 20 + v % 200;
      r.assign(length, 0);
      EncodeLengthPrefix(r.data(), length);
      std::memcpy(r.data() + 4, word, 4);
      std::memcpy(r.data() + 8, kCommandMagic, 4);
      take(r.data() + 12, std::min<size_t>(64, length - 12));
      ++script.commands;
      script.passedBytes += length;
    } else {
      take(r.data(), kFrameHeaderSize);
      std::memcpy(r.data() + kFrameMagicOffset, kFrameMagic, 4);
      if (kind == 0) {
        const uint32_t payload = in.U16() % 4096;
        const uint32_t ext = in.U16() % 64;
        platform::StoreLe32(r.data() + kFramePayloadLengthOffset, payload);
        if (r[kFrameExtFlagOffset] != 0) {
          r.resize(r.size() + 4);
          platform::StoreLe32(r.data() + kFrameHeaderSize, ext);
          r.resize(r.size() + ext);
        }
        const size_t body = r.size();
        r.resize(body + payload);
        take(r.data() + body, payload);
        script.frames.push_back(r);
      } else {
        const uint32_t length = in.U32();
        if (in.U8() & 1) {
          r[kFrameExtFlagOffset] = 1;
          r.resize(r.size() + 4);
          platform::StoreLe32(r.data() + kFrameHeaderSize,
                              std::max<uint32_t>(length, QNVNetFrameHeader::kMaxFrameSize - 43));
        } else {
          r[kFrameExtFlagOffset] = 0;
          platform::StoreLe32(r.data() + kFramePayloadLengthOffset,
                              std::max<uint32_t>(length, QNVNetFrameHeader::kMaxFrameSize - 39));
        }
        ++script.falseHeaders;
        script.passedBytes += r.size();
      }
    }
    stream.insert(stream.end(), r.begin(), r.end());
  }
  return stream;
}

// The frames delivered, byte 35 aside (the probe writes it).
bool SameFrames(const std::vector<std::vector<uint8_t>>& got,
                const std::vector<std::vector<uint8_t>>& want) {
  if (got.size() != want.size()) return false;
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i].size() != want[i].size()) return false;
    if (std::memcmp(got[i].data(), want[i].data(), kFrameKindOffset) != 0) return false;
    const size_t tail = kFrameKindOffset + 1;
    if (std::memcmp(got[i].data() + tail, want[i].data() + tail, got[i].size() - tail) != 0)
      return false;
  }
  return true;
}

}  // namespace
}  // namespace qnv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qnv;
  using namespace qnv::fuzz;
  CFuzzInput in(data, size);
  size_t chunks[8];
  const uint8_t mode = in.U8();
  const size_t count = 1 + mode % 8;
  const bool scripted = (mode & 0x80) != 0;
  for (size_t i = 0; i < count; ++i) {
    uint16_t c = in.U16();
    chunks[i] = c == 0 ? 65536 : c;
  }
  const int stop = in.U8();
  SScript script;
  const std::vector<uint8_t> stream = scripted ? BuildScripted(in, script) : in.Rest();

  CFrameAssembler copied, stopping, whole, area;
  SRun copiedRun, stoppingRun, wholeRun, areaRun;
  stoppingRun.stopAt = stop;
  size_t pos = 0;
  bool stoppingFed = true;
  for (size_t i = 0; pos < stream.size(); ++i) {
    const size_t n = std::min(chunks[i % count], stream.size() - pos);
    // Each chunk in its own allocation, as a receive area would be: reads or
    // writes outside it are caught.
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[n]);
    std::memcpy(chunk.get(), stream.data() + pos, n);
    QNV_FUZZ_CHECK(copied.Feed(chunk.get(), n, &copiedRun));
    if (stoppingFed) {
      bool more = stopping.Feed(chunk.get(), n, &stoppingRun);
      QNV_FUZZ_CHECK(more != stoppingRun.refused);
      stoppingFed = more;
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
      QNV_FUZZ_CHECK(area.Received(m, &areaRun));
      done += m;
    }
    pos += n;
  }
  {
    std::unique_ptr<uint8_t[]> all(new uint8_t[stream.size()]);
    if (!stream.empty()) std::memcpy(all.get(), stream.data(), stream.size());
    QNV_FUZZ_CHECK(whole.Feed(all.get(), stream.size(), &wholeRun));
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
  // The stopping run delivers the same frames up to the one it refused.
  const size_t shared = stoppingRun.frames.size();
  QNV_FUZZ_CHECK(shared <= copiedRun.frames.size());
  for (size_t i = 0; i < shared; ++i) QNV_FUZZ_CHECK(stoppingRun.frames[i] == copiedRun.frames[i]);
  if (!stoppingRun.refused) {
    QNV_FUZZ_CHECK(shared == copiedRun.frames.size());
    QNV_FUZZ_CHECK(stopping.Held() == copied.Held());
    QNV_FUZZ_CHECK(Accounted(stopping, stoppingRun) == stream.size());
  }
  if (scripted) {
    QNV_FUZZ_CHECK(SameFrames(copiedRun.frames, script.frames));
    QNV_FUZZ_CHECK(copied.CommandMessages() == script.commands);
    QNV_FUZZ_CHECK(copied.OversizeFrames() == script.falseHeaders);
    QNV_FUZZ_CHECK(copied.DroppedBytes() == script.passedBytes);
    QNV_FUZZ_CHECK(copied.Held() == 0);
  }
  QNV_FUZZ_CHECK(area.CommandMessages() == copied.CommandMessages());
  // A reset assembler starts clean.
  copied.Reset();
  QNV_FUZZ_CHECK(copied.Held() == 0);
  return 0;
}
