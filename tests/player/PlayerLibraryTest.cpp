// The shared library as the SDK uses it: loaded with dlopen, its six C
// functions looked up by name, a headless port fed and captured, unloaded.
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
  ASSERT_TRUE(init && shutdown && open && close && input && capture);

  ASSERT_EQ(QNVPLAYER_OK, init());
  uint32_t h = 0;
  ASSERT_EQ(QNVPLAYER_OK, open(&h, nullptr, 0, ""));
  ASSERT_NE(h, 0u);
  const Clip& clip = SampleClip();
  const size_t end = clip.UnitOfPicture(7) + 1;
  for (size_t i = 0; i < end; ++i) {
    const auto frame = WrapFrame(clip.units[i], uint32_t(i));
    ASSERT_EQ(QNVPLAYER_OK, input(h, frame.data(), int32_t(frame.size())));
  }
  TempDir dir;
  const std::string path = dir.Path("lib.png");
  ASSERT_EQ(QNVPLAYER_OK, capture(h, path.c_str()));
  Picture image = ReadImageFile(path);
  ASSERT_TRUE(image);
  EXPECT_GT(PsnrAgainstClip(*image, 7), 30);
  EXPECT_EQ(QNVPLAYER_OK, close(h));
  EXPECT_EQ(QNVPLAYER_ERR_HANDLE, close(h));
  // A port left open is closed by shutdown.
  ASSERT_EQ(QNVPLAYER_OK, open(&h, reinterpret_cast<void*>(0x10), 0, ""));
  EXPECT_EQ(QNVPLAYER_OK, shutdown());
  EXPECT_EQ(QNVPLAYER_ERR_HANDLE, close(h));
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
