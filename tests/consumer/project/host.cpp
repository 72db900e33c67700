// A minimal C++ host: logs in to the device given on the command line, reads
// configuration item 13, watches live video until 10 frames arrived, logs out.
// Usage: host_cpp PORT [ADDRESS]
#include <QNVNetSdk.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

static std::atomic<int> g_frames{0};

static bool OnFrame(uint32_t, char*, uint16_t, char*, int32_t, uint32_t) {
  ++g_frames;
  return true;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: host_cpp PORT [ADDRESS]\n");
    return 2;
  }
  const uint16_t port = uint16_t(std::atoi(argv[1]));
  const char* address = argc > 2 ? argv[2] : "127.0.0.1";
  QNVNet_SetCallback(nullptr, OnFrame, nullptr, 0);
  if (QNVNet_InitLib() != QNVNET_OK) return 1;
  uint32_t client = 0;
  uint32_t rc = QNVNet_DevLogin(&client, address, port, "admin", "admin");
  if (rc != QNVNET_OK) {
    std::fprintf(stderr, "login: %s\n", QnvResultText(rc));
    QNVNet_UnInitLib();
    return 1;
  }
  char info[256];
  int32_t length = sizeof info;
  rc = QNVNet_ManageGetSysConfig(client, 13, info, length);
  std::printf("config 13: result %d, %d bytes\n", int(int32_t(rc)), int(length));
  uint32_t handle = 0;
  rc = QNVNet_LiveOpen(&handle, client, nullptr);
  for (int i = 0; rc == QNVNET_OK && i < 100 && g_frames < 10; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (rc == QNVNET_OK) QNVNet_LiveClose(handle);
  std::printf("live: result %d, %d frames\n", int(int32_t(rc)), g_frames.load());
  QNVNet_DevLogout(client);
  QNVNet_UnInitLib();
  return rc == QNVNET_OK && g_frames >= 10 ? 0 : 1;
}
