// Windowed ports against a private Xvfb server: pictures reach the window's
// pixels, scaled to its size; a window that goes away, a server that dies and
// no display at all leave the host running and captures working.
#include <gtest/gtest.h>
// Xlib's macros (None, Bool, Status) must follow GoogleTest's templates.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "PlayerTestSupport.h"
#include "PortRegistry.h"
#include "XvfbServer.h"

namespace qnvtest {
namespace {

using qnv::player::PortRegistry;
using Clock = std::chrono::steady_clock;

void* AsHandle(Window w) { return reinterpret_cast<void*>(static_cast<uintptr_t>(w)); }

int hostErrors = 0;
int CountingHostHandler(Display*, XErrorEvent*) {
  ++hostErrors;
  return 0;
}

// Polls until pred holds or the time is up.
template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

class WindowPlayer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!XvfbServer::Available()) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(m_server.Start()) << m_server.error();
    setenv("DISPLAY", m_server.display().c_str(), 1);
    // The test's own connection: the host application's, in effect.
    m_display = XOpenDisplay(nullptr);
    ASSERT_NE(m_display, nullptr);
    ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Init());
    PortRegistry::Instance().SetCaptureWait(std::chrono::milliseconds(2000));
  }
  void TearDown() override {
    EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_Shutdown());
    if (m_display != nullptr) XCloseDisplay(m_display);
    m_server.Stop();
    unsetenv("DISPLAY");
  }

  Window MakeWindow(int width, int height) {
    const int screen = DefaultScreen(m_display);
    Window w = XCreateSimpleWindow(m_display, RootWindow(m_display, screen), 10, 10,
                                   unsigned(width), unsigned(height), 0,
                                   BlackPixel(m_display, screen), WhitePixel(m_display, screen));
    XMapWindow(m_display, w);
    XSync(m_display, False);
    return w;
  }

  // The window's pixels as RGB24, read back from the server.
  std::vector<uint8_t> WindowPixels(Window w, int width, int height) {
    XImage* image =
        XGetImage(m_display, w, 0, 0, unsigned(width), unsigned(height), AllPlanes, ZPixmap);
    if (image == nullptr) return {};
    std::vector<uint8_t> rgb;
    rgb.reserve(size_t(width) * size_t(height) * 3);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        const unsigned long p = XGetPixel(image, x, y);
        rgb.push_back(uint8_t((p & image->red_mask) >> 16));
        rgb.push_back(uint8_t((p & image->green_mask) >> 8));
        rgb.push_back(uint8_t(p & image->blue_mask));
      }
    }
    XDestroyImage(image);
    return rgb;
  }

  static double Variance(const std::vector<uint8_t>& v) {
    double sum = 0, sq = 0;
    for (uint8_t b : v) {
      sum += b;
      sq += double(b) * b;
    }
    const double n = double(v.size());
    return sq / n - (sum / n) * (sum / n);
  }

  static uint32_t Open(Window w) {
    uint32_t h = 0;
    EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_OpenPort(&h, AsHandle(w), 0, ""));
    return h;
  }

  static qnv::player::PortStats Stats(uint32_t h) {
    return PortRegistry::Instance().Stats(h).value_or(qnv::player::PortStats{});
  }

  // Feeds up to and including picture k and waits until it is drawn (the
  // port draws the last one once the stream pauses).
  static void FeedAndWaitDrawn(uint32_t h, size_t from, int k) {
    Feed(h, from, SampleClip().UnitOfPicture(k) + 1);
    ASSERT_TRUE(WaitFor([&] { return Stats(h).pictures >= uint64_t(k) + 1; }))
        << "decoded " << Stats(h).pictures;
  }

  // The window shows clip picture k, scaled to the window.
  void ExpectWindowShows(Window w, int width, int height, int k) {
    const auto reference = ToRgb(*SampleClip().pictures[size_t(k)], width, height);
    std::vector<uint8_t> pixels;
    // Drawing happens on the port's thread; allow it a moment.
    const bool shown = WaitFor([&] {
      pixels = WindowPixels(w, width, height);
      return Psnr(pixels, reference) > 25;
    });
    EXPECT_TRUE(shown) << "PSNR " << Psnr(pixels, reference);
    std::printf("window %dx%d shows picture %d at %.1f dB\n", width, height, k,
                Psnr(pixels, reference));
    // Not a blank: the test pattern has plenty of contrast.
    EXPECT_GT(Variance(pixels), 1000.0);
  }

  XvfbServer m_server;
  Display* m_display = nullptr;
  TempDir m_dir;
};

TEST_F(WindowPlayer, DrawsEveryPictureScaledIntoTheWindow) {
  const Window w = MakeWindow(320, 240);
  const uint32_t h = Open(w);
  ASSERT_NE(h, 0u);
  // Blank before anything arrives.
  EXPECT_LT(Variance(WindowPixels(w, 320, 240)), 1.0);
  FeedAndWaitDrawn(h, 0, 30);
  ExpectWindowShows(w, 320, 240, 30);
  const auto stats = Stats(h);
  EXPECT_TRUE(stats.rendering);
  // A local server takes shared-memory images.
  EXPECT_TRUE(stats.sharedMemory);
  EXPECT_EQ(stats.drawn, stats.pictures);
  EXPECT_EQ(stats.dropped, 0u);

  // The window grows: the next pictures fill its new size.
  XResizeWindow(m_display, w, 480, 300);
  XSync(m_display, False);
  FeedAndWaitDrawn(h, SampleClip().UnitOfPicture(30) + 1, 45);
  ExpectWindowShows(w, 480, 300, 45);

  // A capture of a windowed port has the decoded size, not the window's.
  const std::string path = m_dir.Path("w.png");
  ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Capture(h, path.c_str()));
  ExpectShowsPicture(path, 45, 30);
}

TEST_F(WindowPlayer, PausedStreamRedrawnWhenExposed) {
  const Window w = MakeWindow(320, 240);
  const uint32_t h = Open(w);
  FeedAndWaitDrawn(h, 0, 20);
  ExpectWindowShows(w, 320, 240, 20);
  // The stream stops; the window is cleared and exposed, as when another
  // window moved away from it. The last picture comes back.
  XClearArea(m_display, w, 0, 0, 0, 0, True);
  XSync(m_display, False);
  ExpectWindowShows(w, 320, 240, 20);
}

TEST_F(WindowPlayer, WindowDestroyedWhileThePortRuns) {
  const Window w = MakeWindow(320, 240);
  const uint32_t h = Open(w);
  FeedAndWaitDrawn(h, 0, 10);
  EXPECT_TRUE(Stats(h).rendering);
  XDestroyWindow(m_display, w);
  XSync(m_display, False);
  // The stream goes on; the port notices and keeps decoding.
  FeedAndWaitDrawn(h, SampleClip().UnitOfPicture(10) + 1, 60);
  EXPECT_TRUE(WaitFor([&] { return !Stats(h).rendering; }));
  const std::string path = m_dir.Path("gone.jpg");
  ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Capture(h, path.c_str()));
  ExpectShowsPicture(path, 60, 25);
  EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_ClosePort(h));
}

TEST_F(WindowPlayer, NoSuchWindowFallsBackToDecoding) {
  const uint32_t h = Open(Window(0x7ffff0));
  FeedAndWaitDrawn(h, 0, 12);
  EXPECT_FALSE(Stats(h).rendering);
  EXPECT_EQ(Stats(h).drawn, 0u);
  const std::string path = m_dir.Path("nowin.png");
  ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Capture(h, path.c_str()));
  ExpectShowsPicture(path, 12, 30);
}

TEST_F(WindowPlayer, HostErrorHandlerKeepsWorkingAndIsRestored) {
  XErrorHandler original = XSetErrorHandler(&CountingHostHandler);
  const Window w = MakeWindow(160, 120);
  const uint32_t h = Open(w);
  FeedAndWaitDrawn(h, 0, 5);
  // An error on the host's own connection still reaches the host's handler.
  hostErrors = 0;
  XWindowAttributes a;
  XGetWindowAttributes(m_display, Window(0x7ffff0), &a);
  XSync(m_display, False);
  EXPECT_EQ(hostErrors, 1);
  // With the player's last connection closed, the host's handler is back.
  EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_ClosePort(h));
  EXPECT_EQ(XSetErrorHandler(original), &CountingHostHandler);
}

TEST_F(WindowPlayer, ServerGoneWhileThePortRuns) {
  // The window outlives the test's connection, so only the port is still
  // talking to the server when it dies.
  const Window w = MakeWindow(320, 240);
  XSetCloseDownMode(m_display, RetainPermanent);
  XCloseDisplay(m_display);
  m_display = nullptr;
  const uint32_t h = Open(w);
  FeedAndWaitDrawn(h, 0, 8);
  ASSERT_TRUE(Stats(h).rendering);
  m_server.Stop();
  FeedAndWaitDrawn(h, SampleClip().UnitOfPicture(8) + 1, 40);
  EXPECT_TRUE(WaitFor([&] { return !Stats(h).rendering; }));
  const std::string path = m_dir.Path("dead.bmp");
  ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Capture(h, path.c_str()));
  ExpectShowsPicture(path, 40, 30);
}

TEST(WindowPlayerNoDisplay, PortDecodesWithoutAnyDisplay) {
  for (const char* display : {static_cast<const char*>(nullptr), ":9999"}) {
    if (display == nullptr) {
      unsetenv("DISPLAY");
    } else {
      setenv("DISPLAY", display, 1);
    }
    ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Init());
    uint32_t h = 0;
    ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_OpenPort(&h, AsHandle(0x400001), 0, ""));
    Feed(h, 0, SampleClip().UnitOfPicture(20) + 1);
    TempDir dir;
    const std::string path = dir.Path("nodisplay.png");
    ASSERT_TRUE(WaitFor([&] {
      return PortRegistry::Instance().Stats(h).value_or(qnv::player::PortStats{}).pictures >= 21;
    }));
    ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Capture(h, path.c_str()));
    ExpectShowsPicture(path, 20, 30);
    EXPECT_FALSE(PortRegistry::Instance().Stats(h)->rendering);
    EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_Shutdown());
  }
  unsetenv("DISPLAY");
}

}  // namespace
}  // namespace qnvtest
