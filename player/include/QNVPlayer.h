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
// process-wide log handler when it initialises, opens a port or decodes a
// run; messages of the host's own libav work still go to libavutil's default
// handler.
//
// Port handles are distinct and nonzero; every call ignores handle 0 and
// handles it does not know. Calls for different handles may run
// concurrently; capture may run concurrently with input for the same handle;
// close never overlaps input for its handle.
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

// Initialise / shut down the library. Shut down closes every open port and
// frees every kept decoder.
int QnvPlayer_Init(void);
int QnvPlayer_Shutdown(void);

// Opens a port drawing into window (an X11 Window id cast to a pointer).
// flags and name are reserved (0, ""). Stores the new handle in *handle;
// returns 0, QNVPLAYER_ERR_ARGUMENT for a null handle or a null window (a
// picture without a window comes from QnvPlayer_CaptureRun), or
// QNVPLAYER_ERR_RESOURCE (out of memory, or 1,024 ports already open). A
// port draws over a display connection of its own (DISPLAY); when there is
// no display, or the window is or becomes unusable, it keeps decoding so
// captures still work.
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

// Decodes a run of frames that the caller holds, on the calling thread, and
// writes its newest picture to path (format by extension, as
// QnvPlayer_Capture). The run is count frame records of 40 bytes (the
// frames' headers, oldest first) and data, dataLength bytes, in which each
// record's offset field (bytes 28..31, little-endian) gives where that
// frame's body begins: its extension block when the header flags one, then
// its payload. That is the layout of a recording's index and data files.
// The bytes are only read, and only during the call.
//
// *decoder: 0 decodes on a fresh decoder, so the run must begin at a key
// frame with the parameter sets it needs. A handle from an earlier call goes
// on with that call's decoder: the run then continues exactly where that
// call's run ended (an empty run writes the same picture again) or begins at
// a key frame. The decoder is kept for keepMs milliseconds after the call
// (each call renews it), costing memory but no CPU (about 6 MiB at 720p);
// 0 frees it at once. On return *decoder holds the kept decoder's handle, or
// 0 when none is kept (keepMs 0, no picture, or it was released meanwhile).
// Calls with the same decoder run one after another; others concurrently.
//
// Returns 0 only when the whole image was written and the file closed;
// QNVPLAYER_ERR_HANDLE when *decoder names no kept decoder (it expired or
// was released: decode from a key frame with 0); QNVPLAYER_ERR_NO_PICTURE
// when the run decodes to no picture; QNVPLAYER_ERR_WRITE (the partial file
// is removed); QNVPLAYER_ERR_ARGUMENT for null pointers where bytes are
// promised, an empty path, or a record whose magic, offset or lengths do
// not fit data (nothing is decoded then); QNVPLAYER_ERR_RESOURCE.
int QnvPlayer_CaptureRun(uint32_t* decoder, uint32_t keepMs, const uint8_t* records, uint32_t count,
                         const uint8_t* data, uint64_t dataLength, const char* path);

// Frees a decoder that QnvPlayer_CaptureRun keeps, at once (a call decoding
// with it finishes first). Returns 0 or QNVPLAYER_ERR_HANDLE.
int QnvPlayer_ReleaseDecoder(uint32_t decoder);

#ifdef __cplusplus
}
#endif

#endif  // QNVPLAYER_H
