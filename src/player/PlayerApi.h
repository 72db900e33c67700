// The interface to the player library: six calls, loaded from libQNVPlayer.so
// beside libQNVNetSdk.so itself (so a build tree and an installed prefix both
// work without an environment variable). Without that library a built-in null
// player stands in: it issues distinct nonzero handles, ignores handle 0 and
// writes no images. Tests substitute a fake through SetPlayerForTesting.
//
// Threads: input runs on each channel's receive thread; open, close and
// capture on host threads under the library-wide lock; init and shutdown from
// InitLib / UnInitLib.
#ifndef QNV_PLAYER_PLAYERAPI_H
#define QNV_PLAYER_PLAYERAPI_H

#include <cstdint>

namespace qnv {

struct PlayerApi {
  int (*init)();
  int (*shutdown)();
  int (*openPort)(uint32_t* handle, void* window, int32_t flags, const char* name);
  int (*closePort)(uint32_t handle);
  int (*input)(uint32_t handle, const uint8_t* frame, int32_t length);
  int (*capture)(uint32_t handle, const char* path);  // 0 only when an image was written
};

// Loads the player library once (or picks the null player); safe to call
// repeatedly.
void LoadPlayer();
// The player in use (the null player until LoadPlayer found the library).
const PlayerApi& Player();
// True when the real player library is in use.
bool PlayerIsLoaded();
// Replaces the player (null restores the loaded one). For tests.
void SetPlayerForTesting(const PlayerApi* player);

}  // namespace qnv

#endif  // QNV_PLAYER_PLAYERAPI_H
