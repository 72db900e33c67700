// Fuzzes a headless port's store with arbitrary payloads: the generation
// stays inside its bounds in record bytes and frames, every stored record
// lies inside the generation and is followed by zeroed padding (libavcodec
// reads into it), the frame count matches the records, and a reader's bytes
// survive whatever frames come after its BeginRead.
//
// Input: u8 per frame: bits 0..2 pick the NAL type, bit 3 a missing start
// code, bit 4 a read mark; then u8 length and that many body bytes.
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "GopStore.h"

namespace qnv::fuzz {
namespace {

using qnv::player::GopStore;

constexpr uint8_t kTypes[8] = {1, 5, 7, 8, 6, 9, 5, 1};
constexpr GopStore::Limits kLimits{4096, 12};

}  // namespace
}  // namespace qnv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qnv::fuzz;
  CFuzzInput in(data, size);
  GopStore store(kLimits);
  std::vector<uint8_t> read;  // a reader's bytes, to compare after later frames
  GopStore::View view{};
  bool reading = false;
  while (!in.Empty()) {
    const uint8_t control = in.U8();
    size_t got = 0;
    const uint8_t* body = in.Bytes(in.U8(), &got);
    std::vector<uint8_t> payload;
    if ((control & 8) == 0) payload = {0, 0, 0, 1};
    payload.push_back(uint8_t(0x60 | kTypes[control & 7]));
    payload.insert(payload.end(), body, body + got);
    store.Add(payload.data(), payload.size());
    QNV_FUZZ_CHECK(store.Bytes() <= kLimits.maxBytes);
    QNV_FUZZ_CHECK(store.Frames() <= kLimits.maxFrames);
    if (reading && view.end > 0) QNV_FUZZ_CHECK(std::memcmp(read.data(), view.base, view.end) == 0);
    if ((control & 16) != 0) {
      if (reading) store.EndRead();
      view = store.BeginRead();
      read.assign(view.base, view.base + view.end);
      reading = true;
      size_t frames = 0;
      GopStore::ForEachFrame(view.base, 0, view.end, [&](const uint8_t* d, size_t n) {
        QNV_FUZZ_CHECK(d + n + qnv::player::kCodedFramePadding <= view.base + view.end);
        for (size_t i = 0; i < qnv::player::kCodedFramePadding; ++i) QNV_FUZZ_CHECK(d[n + i] == 0);
        ++frames;
      });
      QNV_FUZZ_CHECK(frames == view.frames);
    }
  }
  if (reading) store.EndRead();
  return 0;
}
