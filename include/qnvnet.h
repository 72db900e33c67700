/* qnvnet.h: the C interface of QNVNetSdk (C99; usable from C++, and from any
 * language that calls C: Python's ctypes, Go's cgo, Rust's FFI).
 *
 * Start here when the host is not C++. The functions are the same operations
 * as the QNVNet_ exports of QNVNetSdk.h, in the same library
 * (libQNVNetSdk.so.1), with C linkage, fixed-width types, pointers instead of
 * references and a void* user pointer per callback:
 *
 *   qnvnet_init();
 *   uint32_t client;
 *   if (qnvnet_login(&client, "127.0.0.1", 9000, "admin", "admin") != QNVNET_SUCCESS)
 *     fprintf(stderr, "login: %s\n", qnvnet_last_error_text());
 *   ...
 *   qnvnet_uninit();
 *
 * Results. Every function returns an int32_t: QNVNET_SUCCESS (0), one of the
 * QNVNET_E_* codes below (small negative numbers, the C++ exports' codes read
 * as signed, except that a NULL a function needs is always
 * QNVNET_E_BAD_ARGUMENT here), or a device's own result, a positive number
 * passed through unchanged. qnvnet_strerror() names a code. Each function
 * below lists the codes it returns and, after a colon, the reasons they come
 * with (see Reasons); besides those, any function that reaches the library
 * may return QNVNET_E_SEND with reason SYSTEM when it runs out of memory or
 * threads.
 *
 * Reasons. After a failed call, the calling thread's reason says more than the
 * code: qnvnet_last_error_reason() gives a QNVNET_REASON_* kind,
 * qnvnet_last_error_detail() its number (the device's result, or the
 * system's errno) and qnvnet_last_error_text() a line of English. Each call
 * into the library (C or C++ export) clears the reason first; a success
 * leaves it QNVNET_REASON_NONE. Other threads' calls never change it.
 *
 * Locking and threads are as in QNVNetSdk.h: calls may come from any thread,
 * calls that reach a device run one at a time, callbacks run on library
 * threads and may call any function except qnvnet_init and qnvnet_uninit
 * (which return QNVNET_E_IN_CALLBACK there and do nothing).
 *
 * Device-call codes. A call that exchanges with the device (the "device
 * call" codes below) returns 0, QNVNET_E_NO_SESSION (NOT_FOUND: unknown
 * client id or handle, or logged out meanwhile), QNVNET_E_SEND (NETWORK: not
 * sent, the connection broke), QNVNET_E_NO_REPLY (NO_ANSWER: no reply
 * within the time-out; NETWORK: the connection closed; PROTOCOL: a broken
 * reply), QNVNET_E_SESSION_MISMATCH (PROTOCOL: a reply with another
 * session's id), or the device's own result (DEVICE_REFUSED, detail: that
 * result).
 *
 * Callbacks. The C callbacks and the C++ QNVNet_SetCallback share the
 * library's single set of callbacks: a host uses one or the other. Each
 * qnvnet_set_*_callback call replaces that callback and its user pointer
 * together (a callback running meanwhile finishes with the old pair); NULL
 * unregisters it.
 */
#ifndef QNVNET_H
#define QNVNET_H

#include <stdint.h>

#include "qnvnet_results.h"

#if defined(QNVNET_BUILDING_LIBRARY)
#define QNVNET_C_API __attribute__((visibility("default")))
#else
#define QNVNET_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes (the numbers are stable): QNVNET_SUCCESS (0) and
 * QNVNET_E_<name> for each code of qnvnet_results.h, which says what each
 * one means (QNVNET_E_NO_SESSION = -30, and so on); QNVNetSdk.h's
 * QNVNET_ERR_* come from the same list. */
#define QNVNET_C_RESULT(name, number, text) QNVNET_E_##name = number,
#define QNVNET_C_RESULT_NONE(name, number, text)
enum { QNVNET_SUCCESS = 0, QNVNET_RESULT_LIST(QNVNET_C_RESULT, QNVNET_C_RESULT_NONE) };
#undef QNVNET_C_RESULT
#undef QNVNET_C_RESULT_NONE

/* Kinds of failure reason (qnvnet_last_error_reason). */
enum {
  QNVNET_REASON_NONE = 0,
  QNVNET_REASON_DEVICE_REFUSED = 1,     /* detail: the device's result code */
  QNVNET_REASON_BAD_CREDENTIALS = 2,    /* the device refused user or password; detail: result */
  QNVNET_REASON_NO_ANSWER = 3,          /* no connection or no reply within the time-out */
  QNVNET_REASON_CONNECTION_REFUSED = 4, /* detail: errno (ECONNREFUSED) */
  QNVNET_REASON_BAD_ADDRESS = 5,        /* not a dotted IPv4 address */
  QNVNET_REASON_NETWORK = 6,            /* other network failure; detail: errno or 0 */
  QNVNET_REASON_SYSTEM = 7,             /* files, directories, memory; detail: errno or 0 */
  QNVNET_REASON_BAD_ARGUMENT = 8,       /* a path or value the call cannot use */
  QNVNET_REASON_NOT_FOUND = 9,          /* unknown client id, handle or recording */
  QNVNET_REASON_LIMIT = 10,             /* a fixed limit (sessions, channels, recordings) */
  QNVNET_REASON_PROTOCOL = 11,          /* the device's reply broke the protocol */
  QNVNET_REASON_IN_CALLBACK = 12        /* a call no callback may make */
};

/* Frames and index records: every frame the stream callback delivers begins
 * with a 40-byte header, and a recording's index file (".idx") holds one such
 * header per recorded frame, bytes 28..31 replaced by the frame body's offset
 * in the data file. Numbers are little-endian; QNVNetSdk.h describes the
 * layout in full (struct QNVNetFrameHeader). */
enum {
  QNVNET_FRAME_HEADER_SIZE = 40,
  QNVNET_FRAME_COUNTER_OFFSET = 0,         /* 32-bit, the device's frame counter */
  QNVNET_FRAME_MAGIC_OFFSET = 4,           /* the 4 bytes "QNVV" */
  QNVNET_FRAME_PAYLOAD_LENGTH_OFFSET = 12, /* 32-bit, H.264 bytes after the extension */
  QNVNET_FRAME_CAPTURE_TIME_OFFSET = 16,   /* 64-bit, microseconds, 0 when none */
  QNVNET_FRAME_DATA_OFFSET_OFFSET = 28,    /* 32-bit, index records: body's data-file offset */
  QNVNET_FRAME_KIND_OFFSET = 35,           /* 1 byte, the slice probe: QNVNET_FRAME_KIND_* */
  QNVNET_FRAME_EXT_FLAG_OFFSET = 36,       /* 1 byte, nonzero: an extension block follows */
  QNVNET_FRAME_EXT_LENGTH_SIZE = 4,        /* the block: a 32-bit length N, then N bytes */
  QNVNET_FRAME_KIND_OTHER = 0,
  QNVNET_FRAME_KIND_KEY = 1, /* the bits after the NAL unit header read as an I slice */
  QNVNET_FRAME_KIND_P = 2    /* ... as a P slice (parameter sets get these too) */
};

/* What a frame's H.264 payload holds (QNVNetFrameNal in QNVNetSdk.h: count
 * pictures and key frames with this, not with byte 35 alone, which is the
 * library's slice probe and marks parameter sets as their bits happen to
 * give). Reads the payload's first NAL units, up to the first slice. */
typedef struct qnvnet_nal_info {
  int32_t type;           /* the first NAL unit's nal_unit_type 0..31; -1: none */
  int32_t slice_type;     /* slice_type 0..9 of the slice that begins a picture; -1 */
  int32_t starts_picture; /* 1: a slice with first_mb_in_slice 0, one per picture */
  int32_t key_picture;    /* 1: such a slice of type I (2 or 7), IDR or not */
} qnvnet_nal_info;

/* Reads a whole frame as the stream callback delivers it (header first).
 * Returns 0, or QNVNET_E_BAD_ARGUMENT (BAD_ARGUMENT) for a NULL frame or
 * info, or a length below 0; a frame too short to tell stores type -1. */
QNVNET_C_API int32_t qnvnet_frame_nal(const uint8_t* frame, int32_t length, qnvnet_nal_info* info);

/* Why a session or a channel was lost (qnvnet_loss.reason); the same numbers
 * as QNVNET_LOSS_* in QNVNetSdk.h. */
enum {
  QNVNET_LOST_NONE = 0,
  QNVNET_LOST_BROKEN_CONNECTION = 1,   /* closed, reset, failed, or no TCP answer for ~20 s;
                                          detail: errno (ETIMEDOUT), 0 for a close */
  QNVNET_LOST_NO_KEEPALIVE_ANSWER = 2, /* 3 keep-alives in a row unanswered (~15 s) */
  QNVNET_LOST_STREAM_STALLED = 3,      /* no frame for the stall time-out; detail: it, in ms */
  QNVNET_LOST_MALFORMED_MESSAGE = 4    /* a device message with a bad block length */
};

/* What was lost and why. */
typedef struct qnvnet_loss {
  int32_t reason;     /* QNVNET_LOST_* */
  uint32_t client_id; /* the session (of the channel, for a stream) */
  uint32_t handle;    /* the channel, for a stream; 0 for a session */
  int32_t detail;     /* see each reason; 0 otherwise */
} qnvnet_loss;

/* A short English name for a loss reason. Never NULL; the text is static. */
QNVNET_C_API const char* qnvnet_loss_text(int32_t reason);

/* A short English name for a result code ("device error" for a device's
 * code). Never NULL; the text is static. */
QNVNET_C_API const char* qnvnet_strerror(int32_t code);

/* The calling thread's reason for its last failed call (see Reasons). The
 * text is never NULL, stays valid until this thread's next call into the
 * library, and is "" when no reason is known. */
QNVNET_C_API int32_t qnvnet_last_error_reason(void);
QNVNET_C_API int32_t qnvnet_last_error_detail(void);
QNVNET_C_API const char* qnvnet_last_error_text(void);

/* Message callback: a device message (value, body of length bytes) from the
 * session client_id. Called on a library thread; body is valid only during
 * the call. */
typedef void (*qnvnet_message_cb)(void* user, uint32_t client_id, const char* device_ip,
                                  uint16_t port, uint16_t value, const uint8_t* body,
                                  int32_t length);
/* Stream callback: one complete frame (40-byte header first; byte 35 the
 * slice probe's mark, see qnvnet_frame_nal) of the channel whose device
 * session is client_id, on the channel's receive thread, in arrival order;
 * port is the device's port plus 2. frame is valid only during the call. */
typedef void (*qnvnet_stream_cb)(void* user, uint32_t client_id, const char* device_ip,
                                 uint16_t port, const uint8_t* frame, int32_t length);
/* Disconnect callback: a session was lost (port = login port; the session is
 * logged out right after the callback): its command connection broke or its
 * device answered no keep-alive; or a channel's stream was lost (port = login
 * port + 2; the channel stays open and silent): its connection broke or it
 * stalled (qnvnet_live_set_stall_timeout). Inside it,
 * qnvnet_disconnect_reason says why and which channel. */
typedef void (*qnvnet_disconnect_cb)(void* user, uint32_t client_id, const char* device_ip,
                                     uint16_t port);

/* Inside the disconnect callback: stores why the session or channel being
 * reported was lost; outside one (or on another thread) reason
 * QNVNET_LOST_NONE and zeros. Returns 0, or QNVNET_E_BAD_ARGUMENT for NULL
 * (with no reason: the thread's reason of the host's own last call stays). */
QNVNET_C_API int32_t qnvnet_disconnect_reason(qnvnet_loss* loss);

/* Register a callback with the user pointer handed back to it; NULL
 * unregisters. Need no initialisation. Return 0. */
QNVNET_C_API int32_t qnvnet_set_message_callback(qnvnet_message_cb cb, void* user);
QNVNET_C_API int32_t qnvnet_set_stream_callback(qnvnet_stream_cb cb, void* user);
QNVNET_C_API int32_t qnvnet_set_disconnect_callback(qnvnet_disconnect_cb cb, void* user);

/* Stores the library version (0x01000000 for 1.0) in *version. Returns 0,
 * or QNVNET_E_BAD_ARGUMENT (BAD_ARGUMENT) for NULL. */
QNVNET_C_API int32_t qnvnet_version(uint32_t* version);
/* Stores 1 in *available when the player library can be loaded (frames are
 * decoded, drawn and captured; it loads it), else 0. Returns 0, or
 * QNVNET_E_BAD_ARGUMENT. */
QNVNET_C_API int32_t qnvnet_decoder_available(int32_t* available);

/* Start and end the library (QNVNet_InitLib / QNVNet_UnInitLib). init
 * returns 0, QNVNET_E_NETWORK (SYSTEM: no socket or thread for the
 * library's work) or QNVNET_E_IN_CALLBACK (IN_CALLBACK).
 * uninit closes every channel, recording and session, lets no callback
 * begin, and waits for callbacks in progress to return (an export they call
 * meanwhile fails at once): once it returns no library thread is inside a
 * callback or will enter one, so the host may free what its callbacks use.
 * Device messages not yet delivered are dropped. Returns 0, or
 * QNVNET_E_IN_CALLBACK (IN_CALLBACK) from inside a callback, doing nothing
 * (it would wait for itself). */
QNVNET_C_API int32_t qnvnet_init(void);
QNVNET_C_API int32_t qnvnet_uninit(void);

/* Log in to the device at the dotted IPv4 address ip and port (user and
 * password NULL: empty). On 0, *client_id names the session. Otherwise
 * QNVNET_E_TOO_MANY_SESSIONS (LIMIT), QNVNET_E_NO_SESSION (the reason says
 * why: BAD_ADDRESS, CONNECTION_REFUSED, NO_ANSWER, BAD_CREDENTIALS,
 * DEVICE_REFUSED with the device's code, NETWORK, PROTOCOL; NOT_FOUND: the
 * library is not started) or QNVNET_E_BAD_ARGUMENT (BAD_ARGUMENT: NULL
 * client_id or ip). */
QNVNET_C_API int32_t qnvnet_login(uint32_t* client_id, const char* ip, uint16_t port,
                                  const char* user, const char* password);
/* Closes the session's channels, recordings and connection. Returns 0, also
 * for an unknown id. */
QNVNET_C_API int32_t qnvnet_logout(uint32_t client_id);

/* Live channels. window: an X11 Window id cast to a pointer, or NULL (the
 * player is then neither loaded nor fed). open stores a nonzero handle.
 * Results:
 *   open: 0, QNVNET_E_BAD_ARGUMENT (BAD_ARGUMENT: NULL handle),
 *     QNVNET_E_TOO_MANY_CHANNELS (LIMIT), QNVNET_E_CHANNEL_CREATE (SYSTEM),
 *     QNVNET_E_NO_CHANNEL (CONNECTION_REFUSED, NETWORK, NO_ANSWER: the stream
 *     connection failed), or the device-call codes.
 *   close: 0, QNVNET_E_NO_SESSION (NOT_FOUND), QNVNET_E_NO_CHANNEL
 *     (NOT_FOUND: closed meanwhile).
 *   pause, play: 0 or the device-call codes.
 *   capture: 0, QNVNET_E_BAD_ARGUMENT (BAD_ARGUMENT: NULL path),
 *     QNVNET_E_NO_SESSION (NOT_FOUND), QNVNET_E_CAPTURE (BAD_ARGUMENT: the
 *     path is a FIFO, device or directory; NO_ANSWER: no key frame within
 *     5 s; SYSTEM: no picture yet, no player, not written).
 * capture on a
 * channel without a window decodes the frames the channel holds: instant
 * when its pre-record stretch holds a key frame (a timed pre-record of a
 * group of pictures or more always does, see qnvnet_live_set_prerecord),
 * else it waits up to 5 s for the next one; never from a stream callback or
 * on a paused channel (QNVNET_E_CAPTURE at once). See QNVNetSdk.h. */
QNVNET_C_API int32_t qnvnet_live_open(uint32_t* handle, uint32_t client_id, void* window);
QNVNET_C_API int32_t qnvnet_live_close(uint32_t handle);
QNVNET_C_API int32_t qnvnet_live_pause(uint32_t handle);
QNVNET_C_API int32_t qnvnet_live_play(uint32_t handle);
QNVNET_C_API int32_t qnvnet_live_capture(uint32_t handle, const char* path);

/* Recordings (QNVNet_LiveSaveOpen / LiveSaveClose): open stores the
 * recording id (1..16) in *id. open returns 0, QNVNET_E_BAD_ARGUMENT
 * (BAD_ARGUMENT: NULL path or id), QNVNET_E_NO_SESSION (NOT_FOUND),
 * QNVNET_E_TOO_MANY_SAVES (LIMIT) or QNVNET_E_SAVE_OPEN (SYSTEM with errno:
 * not created; BAD_ARGUMENT: a ".idx" data path, a path another recording
 * writes, a FIFO, device or directory, a link at the index path). close
 * returns 0, QNVNET_E_NO_SESSION or QNVNET_E_NO_SAVE (NOT_FOUND). */
QNVNET_C_API int32_t qnvnet_record_open(uint32_t handle, const char* path, uint32_t* id);
QNVNET_C_API int32_t qnvnet_record_close(uint32_t handle, uint32_t id);
/* QNVNet_LiveSaveRollover: recording id hands over to a new recording into
 * new_path at the next key frame; *new_id receives its id (written only on
 * 0). Returns 0, QNVNET_E_BAD_ARGUMENT (BAD_ARGUMENT: NULL new_path or
 * new_id), QNVNET_E_NO_SESSION, QNVNET_E_NO_CHANNEL, QNVNET_E_NO_SAVE
 * (NOT_FOUND), QNVNET_E_ROLLOVER_PENDING (BAD_ARGUMENT), or
 * QNVNET_E_TOO_MANY_SAVES and QNVNET_E_SAVE_OPEN as open. */
QNVNET_C_API int32_t qnvnet_record_rollover(uint32_t handle, uint32_t id, const char* new_path,
                                            uint32_t* new_id);
/* QNVNet_LiveSetPreRecord: keep at least the last milliseconds of video
 * (0: the default stretch) within max_bytes (0: 16 MiB) for new recordings
 * (and instant captures without a window).
 * Returns 0, QNVNET_E_NO_SESSION, QNVNET_E_NO_CHANNEL (NOT_FOUND) or
 * QNVNET_E_BAD_ARGUMENT (BAD_ARGUMENT; nothing changes). */
QNVNET_C_API int32_t qnvnet_live_set_prerecord(uint32_t handle, uint32_t milliseconds,
                                               uint32_t max_bytes);
/* QNVNet_LiveSetStallTimeout: report the channel (disconnect callback, port
 * + 2, QNVNET_LOST_STREAM_STALLED) when it plays and receives no frame for
 * milliseconds (0 off, the default; else 100..3,600,000); the report comes
 * at most 100 ms late, and never while the channel is paused. Returns 0,
 * QNVNET_E_NO_SESSION (NOT_FOUND) or QNVNET_E_BAD_ARGUMENT (BAD_ARGUMENT;
 * nothing changes). */
QNVNET_C_API int32_t qnvnet_live_set_stall_timeout(uint32_t handle, uint32_t milliseconds);
/* QNVNet_DevGetLossReason: whether and why the session was lost (it stays
 * registered after its loss only while no disconnect callback is set).
 * Returns 0, QNVNET_E_NO_SESSION (NOT_FOUND) or QNVNET_E_BAD_ARGUMENT
 * (BAD_ARGUMENT: NULL loss). */
QNVNET_C_API int32_t qnvnet_session_loss_reason(uint32_t client_id, qnvnet_loss* loss);
/* QNVNet_LiveGetLossReason: whether and why the channel's stream was lost
 * (reason QNVNET_LOST_NONE while it is not), while the channel stays open.
 * Returns 0, QNVNET_E_NO_SESSION (NOT_FOUND) or QNVNET_E_BAD_ARGUMENT
 * (BAD_ARGUMENT: NULL loss). */
QNVNET_C_API int32_t qnvnet_live_loss_reason(uint32_t handle, qnvnet_loss* loss);

/* QNVNet_DevGetMessageDrops: stores in *dropped how many of the session's
 * device messages were dropped since its login because the message callback
 * fell behind: at most 1,024 messages (about 4 MiB) wait per session, and
 * each new one beyond them drops the session's oldest. Answers at once, also
 * while a call on the session waits. Returns 0, QNVNET_E_NO_SESSION
 * (NOT_FOUND) or QNVNET_E_BAD_ARGUMENT (BAD_ARGUMENT: NULL dropped). */
QNVNET_C_API int32_t qnvnet_message_drops(uint32_t client_id, uint64_t* dropped);

/* PTZ (QNVNet_PTZCtrlSend / PTZCtrlPreset / PTZGetParam): the device-call
 * codes. */
QNVNET_C_API int32_t qnvnet_ptz_move(uint32_t client_id, uint32_t v1, uint32_t v2, uint32_t v3,
                                     uint32_t v4);
QNVNET_C_API int32_t qnvnet_ptz_preset(uint32_t client_id, uint32_t v1, uint32_t v2);

/* Gets: *length is the buffer's capacity on entry and the reply's payload
 * length on return (0 after a failure, which leaves the buffer untouched; it
 * may exceed the capacity when the reply was cut). A NULL buffer with
 * capacity 0 asks only the length. Return the device-call codes, or
 * QNVNET_E_BAD_ARGUMENT (BAD_ARGUMENT: NULL length, a capacity below 0, a
 * NULL buffer with a capacity above 0; nothing is sent).
 * Sets send length bytes of data (NULL with length 0: no payload). Return the
 * device-call codes, QNVNET_E_BAD_ARGUMENT (BAD_ARGUMENT: a length below 0,
 * NULL data with a length above 0) or QNVNET_E_SEND (BAD_ARGUMENT: a length
 * over 4,076); nothing is sent for these. */
QNVNET_C_API int32_t qnvnet_ptz_get_param(uint32_t client_id, uint32_t type, void* buffer,
                                          int32_t* length);
QNVNET_C_API int32_t qnvnet_config_get(uint32_t client_id, uint32_t type, void* buffer,
                                       int32_t* length);
QNVNET_C_API int32_t qnvnet_config_set(uint32_t client_id, uint32_t type, const void* data,
                                       int32_t length);
QNVNET_C_API int32_t qnvnet_system_command(uint32_t client_id, uint32_t type, const void* data,
                                           int32_t length);

/* Firmware: upload the image file in 3,072-byte chunks, then start the
 * installation (waits up to 180 s, twice when silent). upload returns the
 * device-call codes, QNVNET_E_BAD_ARGUMENT (BAD_ARGUMENT: NULL path) or
 * QNVNET_E_FIRMWARE (SYSTEM with errno, BAD_ARGUMENT: unreadable, not a
 * regular file, 2 GiB or more; DEVICE_REFUSED: a chunk refused). start
 * returns the device-call codes. */
QNVNET_C_API int32_t qnvnet_firmware_upload(uint32_t client_id, const char* path);
QNVNET_C_API int32_t qnvnet_firmware_start(uint32_t client_id);

/* Analysis rules: download (a get), upload (a set), switch on (1) or off (0),
 * read the state into *on: the device-call codes, and for state
 * QNVNET_E_BAD_ARGUMENT (BAD_ARGUMENT: NULL on). */
QNVNET_C_API int32_t qnvnet_rules_download(uint32_t client_id, void* buffer, int32_t* length);
QNVNET_C_API int32_t qnvnet_rules_upload(uint32_t client_id, const void* data, int32_t length);
QNVNET_C_API int32_t qnvnet_rules_enable(uint32_t client_id, int32_t on);
QNVNET_C_API int32_t qnvnet_rules_state(uint32_t client_id, int32_t* on);

/* Algorithm parameters: a get and a set, as above. */
QNVNET_C_API int32_t qnvnet_algorithm_get(uint32_t client_id, uint32_t type, void* buffer,
                                          int32_t* length);
QNVNET_C_API int32_t qnvnet_algorithm_set(uint32_t client_id, uint32_t type, const void* data,
                                          int32_t length);

#ifdef __cplusplus
}
#endif

#endif /* QNVNET_H */
