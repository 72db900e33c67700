// libQNVPlayer: decodes H.264 live frames, draws them into X11 windows and
// writes snapshots. C linkage; loaded by libQNVNetSdk at run time.
//
// Frames are the SDK's stream frames: a 40-byte header (payload length at
// bytes 12..15, little-endian; extension flag at byte 36, extension block of
// 4 + N bytes after the header when set) followed by one H.264 NAL unit with
// its 4-byte start code.
//
// libavcodec's messages about the player's own decoding and encoding go to
// syslog at LOG_DEBUG (prefixed "QNVPlayer: ", at most 20 lines a second),
// never to the host's stderr. For that the library installs libavutil's
// process-wide log handler when it initialises or opens a port; messages of
// the host's own libav work still go to libavutil's default handler.
//
// Handles are distinct and nonzero; every call ignores handle 0 and handles it
// does not know. Calls for different handles may run concurrently; capture may
// run concurrently with input for the same handle; close never overlaps input
// for its handle.
#ifndef QNVPLAYER_H
#define QNVPLAYER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QNVPLAYER_OK 0
#define QNVPLAYER_ERR_HANDLE (-1)      // handle 0 or unknown
#define QNVPLAYER_ERR_NO_PICTURE (-2)  // nothing decodable arrived in time
#define QNVPLAYER_ERR_WRITE (-3)       // the image file could not be written
#define QNVPLAYER_ERR_ARGUMENT (-4)    // null pointer, malformed frame, empty path
#define QNVPLAYER_ERR_RESOURCE (-5)    // out of memory or threads

// Initialise / shut down the library. Shut down closes every open port.
int QnvPlayer_Init(void);
int QnvPlayer_Shutdown(void);

// Opens a port drawing into window (an X11 Window id cast to a pointer), or a
// headless port when window is null. flags and name are reserved (0, "").
// Stores the new handle in *handle; returns 0, QNVPLAYER_ERR_ARGUMENT for a
// null handle, or QNVPLAYER_ERR_RESOURCE (out of memory, or 1,024 ports
// already open). A windowed port draws over a display connection of its own
// (DISPLAY); when there is no display, or the window is or becomes unusable,
// it keeps decoding so captures still work. A headless port only copies the
// frames since the last IDR picture into memory it reuses (no allocation per
// frame once warm) and decodes them when a capture asks; the decoder the
// first capture makes is freed again at the first IDR picture after 10 s
// without a capture (the next capture then decodes from that IDR). It keeps
// at most 8 MiB and 8,192 frames per GOP, each frame counted with 80 to 95
// bytes of bookkeeping; frames beyond that are dropped up to the next IDR
// picture (a capture then gives the last picture before them), which bounds
// both its memory and the decoding one capture does.
int QnvPlayer_OpenPort(uint32_t* handle, void* window, int32_t flags, const char* name);

// Closes a port. Returns 0 or QNVPLAYER_ERR_HANDLE.
int QnvPlayer_ClosePort(uint32_t handle);

// Queues one frame (header first) for decoding; copies it and returns at once.
// When decoding falls behind, whole frames are dropped up to the next key
// frame. Returns 0 (also for a dropped frame), QNVPLAYER_ERR_HANDLE, or
// QNVPLAYER_ERR_ARGUMENT for a frame whose lengths do not fit its bytes.
int QnvPlayer_Input(uint32_t handle, const uint8_t* frame, int32_t length);

// Writes the latest picture to path; the extension picks the format (.jpg,
// .jpeg, .png, .bmp; anything else: JPEG). With no picture yet it waits up to
// about 2 s for one, then fails with QNVPLAYER_ERR_NO_PICTURE. Returns 0 only
// when the whole image was written and the file closed; on a write failure
// the partial file is removed and QNVPLAYER_ERR_WRITE returned.
int QnvPlayer_Capture(uint32_t handle, const char* path);

#ifdef __cplusplus
}
#endif

#endif  // QNVPLAYER_H
