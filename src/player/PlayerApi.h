// The interface to the player library, loaded from libQNVPlayer.so beside
// libQNVNetSdk.so itself (so a build tree and an installed prefix both work
// without an environment variable), and only when it is first needed: when a
// channel opens with a window or a capture is asked. A process whose
// channels have no window never maps it (its libraries add about 16 MB).
// Without that library a built-in null player stands in: it issues distinct
// nonzero handles, ignores handle 0 and writes no images. Tests substitute a
// fake through SetPlayerForTesting.
//
// Threads: input runs on the receive thread of each channel with a window;
// open, close, capture and the run captures on host threads (a run capture
// also on a receive thread, from a stream callback); StartPlayer on those;
// StopPlayer from UnInitLib.
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
  // Decodes a run of frames (records and the data their offsets point into)
  // and writes the newest picture; *decoder: 0 or a decoder kept warm by an
  // earlier call, kept for keepMs afterwards. 0 only when an image was written.
  int (*captureRun)(uint32_t* decoder, uint32_t keepMs, const uint8_t* records, uint32_t count,
                    const uint8_t* data, uint64_t dataLength, const char* path);
  int (*releaseDecoder)(uint32_t decoder);
};

// Loads the player library once (or picks the null player); safe to call
// repeatedly.
void LoadPlayer();
// Loads the player if need be and initialises it once until StopPlayer.
// True when a player that decodes is in use (the library, or a test's fake).
bool StartPlayer();
// Shuts the player down when StartPlayer initialised it. UnInitLib.
void StopPlayer();
// The player in use (the null player until LoadPlayer found the library).
const PlayerApi& Player();
// True when the real player library is in use.
bool PlayerIsLoaded();
// Replaces the player (null restores the loaded one). For tests.
void SetPlayerForTesting(const PlayerApi* player);

}  // namespace qnv

#endif  // QNV_PLAYER_PLAYERAPI_H
