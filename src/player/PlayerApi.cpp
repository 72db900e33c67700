#include "player/PlayerApi.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/Debug.h"
#include "platform/ThreadAnnotations.h"

namespace qnv {

namespace {

std::atomic<uint32_t> g_nullHandles{0};

int NullInit() { return 0; }
int NullShutdown() { return 0; }
int NullOpen(uint32_t* handle, void*, int32_t, const char*) {
  if (handle == nullptr) return -1;
  uint32_t h;
  do h = ++g_nullHandles;
  while (h == 0);
  *handle = h;
  return 0;
}
int NullClose(uint32_t) { return 0; }
int NullInput(uint32_t, const uint8_t*, int32_t) { return 0; }
int NullCapture(uint32_t, const char*) { return -2; }
int NullCaptureRun(uint32_t* decoder, uint32_t, const uint8_t*, uint32_t, const uint8_t*, uint64_t,
                   const char*) {
  if (decoder != nullptr) *decoder = 0;
  return -2;
}
int NullRelease(uint32_t) { return -1; }

const PlayerApi kNullPlayer = {NullInit,  NullShutdown, NullOpen,       NullClose,
                               NullInput, NullCapture,  NullCaptureRun, NullRelease};

PlayerApi g_loaded = kNullPlayer;
bool g_isLoaded = false;
std::once_flag g_loadOnce;
std::atomic<const PlayerApi*> g_active{&kNullPlayer};
std::atomic<const PlayerApi*> g_override{nullptr};
platform::CMutex g_startMutex;
bool g_started GUARDED_BY(g_startMutex) = false;

// The folder that holds this library (or the executable it is linked into),
// after symlinks: a host may reach the SDK through a link in another folder,
// while the player lies beside the real file.
std::string OwnFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&OwnFolder), &info) == 0 || info.dli_fname == nullptr)
    return {};
  std::string path = info.dli_fname;
  if (char* real = realpath(info.dli_fname, nullptr)) {
    path = real;
    std::free(real);
  }
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

template <typename F>
bool Bind(void* lib, const char* name, F& slot) {
  void* sym = dlsym(lib, name);
  if (sym == nullptr) return false;
  slot = reinterpret_cast<F>(sym);
  return true;
}

void LoadOnce() {
  std::string folder = OwnFolder();
  void* lib = nullptr;
  std::string why;
  if (!folder.empty()) {
    lib = dlopen((folder + "libQNVPlayer.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) why = dlerror();
  }
  if (lib == nullptr) lib = dlopen("libQNVPlayer.so", RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    // Said once (this runs once): without the player, live video still
    // flows but nothing is decoded, drawn or captured.
    if (why.empty()) why = dlerror();
    platform::DebugOutput(("player library not loaded, no decoding or snapshots: " + why).c_str());
    return;
  }
  PlayerApi api{};
  if (!Bind(lib, "QnvPlayer_Init", api.init) || !Bind(lib, "QnvPlayer_Shutdown", api.shutdown) ||
      !Bind(lib, "QnvPlayer_OpenPort", api.openPort) ||
      !Bind(lib, "QnvPlayer_ClosePort", api.closePort) ||
      !Bind(lib, "QnvPlayer_Input", api.input) || !Bind(lib, "QnvPlayer_Capture", api.capture) ||
      !Bind(lib, "QnvPlayer_CaptureRun", api.captureRun) ||
      !Bind(lib, "QnvPlayer_ReleaseDecoder", api.releaseDecoder)) {
    platform::DebugOutput(
        "player library not loaded, no decoding or snapshots: libQNVPlayer.so lacks a QnvPlayer_ "
        "function");
    dlclose(lib);
    return;
  }
  // The library stays loaded for the life of the process: a receive thread
  // left finishing a host callback may still call into it.
  g_loaded = api;
  g_isLoaded = true;
  g_active.store(&g_loaded);
}

}  // namespace

void LoadPlayer() { std::call_once(g_loadOnce, LoadOnce); }

bool StartPlayer() {
  LoadPlayer();
  platform::CLockGuard lock(g_startMutex);
  if (!g_started) {
    Player().init();
    g_started = true;
  }
  return g_override.load() != nullptr || g_isLoaded;
}

void StopPlayer() {
  platform::CLockGuard lock(g_startMutex);
  if (!g_started) return;
  g_started = false;
  Player().shutdown();
}

const PlayerApi& Player() {
  if (const PlayerApi* p = g_override.load()) return *p;
  return *g_active.load();
}

bool PlayerIsLoaded() { return g_override.load() == nullptr && g_active.load() == &g_loaded; }

void SetPlayerForTesting(const PlayerApi* player) { g_override.store(player); }

}  // namespace qnv
