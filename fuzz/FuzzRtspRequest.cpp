// Fuzzes how qnv-recorder's RTSP gate reads what a client sends, before
// anything else sees it: whatever the bytes, reading never runs past them,
// never takes more than the bounds of a request head and body, and going
// request by request through the input always ends. Credentials and camera
// names are read from the same bytes.
#include "FuzzInput.h"
#include "streaming/RtspRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qnvrecorder;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  for (size_t steps = 0; !input.empty(); ++steps) {
    QNV_FUZZ_CHECK(steps <= size);
    SRtspRequest request;
    size_t bytes = 0;
    const EParse result = ParseRtspInput(input, request, bytes);
    if (result == EParse::kNeedMore || result == EParse::kTooLarge ||
        result == EParse::kMalformed) {
      QNV_FUZZ_CHECK(result != EParse::kNeedMore ||
                     input.size() < kMaxRequestHead + 4 + 65536 + kMaxRequestBody + 4);
      break;
    }
    QNV_FUZZ_CHECK(bytes > 0 && bytes <= input.size());
    if (result == EParse::kRequest) {
      QNV_FUZZ_CHECK(request.bytes == bytes);
      QNV_FUZZ_CHECK(bytes <= kMaxRequestHead + 4 + kMaxRequestBody);
      QNV_FUZZ_CHECK(request.camera.size() <= request.url.size());
      BasicCredentialsMatch(request.authorization, "viewer", "s3cret");
    }
    input.remove_prefix(bytes);
  }
  BasicCredentialsMatch(std::string_view(reinterpret_cast<const char*>(data), size), "u", "p");
  CameraOfUrl(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
