// The shared library as the SDK uses it: loaded with dlopen, its C functions
// looked up by name, a run of frames captured, a port opened, unloaded.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "QNVPlayer.h"
#include "TestClip.h"

namespace qnvtest {
namespace {

struct Library {
  void* handle = dlopen(QNV_TEST_PLAYER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ~Library() {
    if (handle != nullptr) dlclose(handle);
  }
  template <typename F>
  F Get(const char* name) {
    return reinterpret_cast<F>(dlsym(handle, name));
  }
};

TEST(PlayerLibrary, LoadsFeedsCapturesAndUnloads) {
  Library lib;
  ASSERT_NE(lib.handle, nullptr) << dlerror();
  auto init = lib.Get<int (*)()>("QnvPlayer_Init");
  auto shutdown = lib.Get<int (*)()>("QnvPlayer_Shutdown");
  auto open = lib.Get<int (*)(uint32_t*, void*, int32_t, const char*)>("QnvPlayer_OpenPort");
  auto close = lib.Get<int (*)(uint32_t)>("QnvPlayer_ClosePort");
  auto input = lib.Get<int (*)(uint32_t, const uint8_t*, int32_t)>("QnvPlayer_Input");
  auto capture = lib.Get<int (*)(uint32_t, const char*)>("QnvPlayer_Capture");
  auto captureRun = lib.Get<int (*)(uint32_t*, uint32_t, const uint8_t*, uint32_t, const uint8_t*,
                                    uint64_t, const char*)>("QnvPlayer_CaptureRun");
  auto release = lib.Get<int (*)(uint32_t)>("QnvPlayer_ReleaseDecoder");
  ASSERT_TRUE(init && shutdown && open && close && input && capture && captureRun && release);

  ASSERT_EQ(QNVPLAYER_OK, init());
  const FrameRunBytes run = ClipRun(0, SampleClip().UnitOfPicture(7) + 1);
  TempDir dir;
  const std::string path = dir.Path("lib.png");
  uint32_t decoder = 0;
  ASSERT_EQ(QNVPLAYER_OK, captureRun(&decoder, 60000, run.records.data(), run.count,
                                     run.data.data(), run.data.size(), path.c_str()));
  Picture image = ReadImageFile(path);
  ASSERT_TRUE(image);
  EXPECT_GT(PsnrAgainstClip(*image, 7), 30);
  EXPECT_EQ(QNVPLAYER_OK, release(decoder));
  EXPECT_EQ(QNVPLAYER_ERR_HANDLE, release(decoder));
  // A port left open, and a decoder kept, are closed by shutdown.
  uint32_t h = 0;
  ASSERT_EQ(QNVPLAYER_OK, open(&h, reinterpret_cast<void*>(0x10), 0, ""));
  const auto frame = WrapFrame(SampleClip().units[0], 0);
  EXPECT_EQ(QNVPLAYER_OK, input(h, frame.data(), int32_t(frame.size())));
  decoder = 0;
  ASSERT_EQ(QNVPLAYER_OK, captureRun(&decoder, 60000, run.records.data(), run.count,
                                     run.data.data(), run.data.size(), path.c_str()));
  EXPECT_EQ(QNVPLAYER_OK, shutdown());
  EXPECT_EQ(QNVPLAYER_ERR_HANDLE, close(h));
  EXPECT_EQ(QNVPLAYER_ERR_HANDLE, release(decoder));
}

TEST(PlayerLibrary, ExportsOnlyItsCFunctions) {
  Library lib;
  ASSERT_NE(lib.handle, nullptr) << dlerror();
  // Internal classes stay hidden, so they can never clash with the host's.
  EXPECT_EQ(dlsym(lib.handle, "_ZN3qnv6player12PortRegistry8InstanceEv"), nullptr);
  EXPECT_EQ(dlsym(lib.handle, "_ZN3qnv6player11H264Decoder6CreateEi"), nullptr);
  EXPECT_NE(dlsym(lib.handle, "QnvPlayer_Capture"), nullptr);
}

}  // namespace
}  // namespace qnvtest
