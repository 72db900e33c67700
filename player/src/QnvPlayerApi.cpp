// The library's C functions: each forwards to the port registry and keeps
// every C++ exception on this side of the boundary.
#include "PortRegistry.h"
#include "QNVPlayer.h"
#include "RunDecoders.h"

#define QNVPLAYER_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

template <typename F>
int Guarded(F&& f) {
  try {
    return f();
  } catch (...) {
    return QNVPLAYER_ERR_RESOURCE;
  }
}

qnv::player::PortRegistry& Registry() { return qnv::player::PortRegistry::Instance(); }

}  // namespace

QNVPLAYER_EXPORT int QnvPlayer_Init(void) {
  return Guarded([] { return Registry().Init(); });
}

QNVPLAYER_EXPORT int QnvPlayer_Shutdown(void) {
  return Guarded([] {
    qnv::player::RunDecoders::Instance().Shutdown();
    return Registry().Shutdown();
  });
}

QNVPLAYER_EXPORT int QnvPlayer_OpenPort(uint32_t* handle, void* window, int32_t, const char*) {
  return Guarded([&] { return Registry().Open(handle, window); });
}

QNVPLAYER_EXPORT int QnvPlayer_ClosePort(uint32_t handle) {
  return Guarded([&] { return Registry().Close(handle); });
}

QNVPLAYER_EXPORT int QnvPlayer_Input(uint32_t handle, const uint8_t* frame, int32_t length) {
  return Guarded([&] { return Registry().Input(handle, frame, length); });
}

QNVPLAYER_EXPORT int QnvPlayer_Capture(uint32_t handle, const char* path) {
  return Guarded([&] { return Registry().Capture(handle, path); });
}

QNVPLAYER_EXPORT int QnvPlayer_CaptureRun(uint32_t* decoder, uint32_t keepMs,
                                          const uint8_t* records, uint32_t count,
                                          const uint8_t* data, uint64_t dataLength,
                                          const char* path) {
  return Guarded([&] {
    return qnv::player::RunDecoders::Instance().Capture(decoder, keepMs, records, count, data,
                                                        dataLength, path);
  });
}

QNVPLAYER_EXPORT int QnvPlayer_ReleaseDecoder(uint32_t decoder) {
  return Guarded([&] { return qnv::player::RunDecoders::Instance().Release(decoder); });
}
