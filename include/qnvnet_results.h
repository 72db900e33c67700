/* qnvnet_results.h: the library's result codes, listed once. QNVNetSdk.h and
 * qnvnet.h include it and make their enums from it; a host includes either
 * of those, not this file.
 *
 * QNVNET_RESULT_LIST(BOTH, CXX_ONLY) expands to one BOTH(name, number, text)
 * for each code both interfaces return and one CXX_ONLY(name, number, text)
 * for each code only the C++ exports return. The C++ header names a code
 * QNVNET_ERR_<name> (enum QNVNetResult: the number read as uint32_t), the C
 * header QNVNET_E_<name> (int32_t). Success is 0 in both (QNVNET_OK,
 * QNVNET_SUCCESS) and is not listed. text is the code's short English name
 * (QnvResultText, qnvnet_strerror). The numbers are stable: a new code gets a
 * new number, and the Python package's tests read this list to check its own
 * copies.
 *
 * What each code means:
 *   FIRMWARE           firmware upload: null path, unreadable or too large
 *                      file (2 GiB or more), or a chunk the device did not
 *                      accept
 *   CHANNEL_CREATE     the live channel object could not be created
 *   ARGUMENT           (C++ only) a pointer argument the export needs is
 *                      null (see "Pointer arguments" in QNVNetSdk.h); the
 *                      call did nothing. The C functions report it as
 *                      BAD_ARGUMENT.
 *   SESSION_MISMATCH   a reply carried a session id other than the session's
 *   TOO_MANY_SESSIONS  500 sessions are already logged in
 *   NETWORK            networking could not be prepared (init)
 *   SEND               the request could not be sent (also: the device did
 *                      not take it within the command's time-out), or its
 *                      payload exceeds the 4,076-byte limit
 *   NO_REPLY           no valid reply arrived (time-out, bad length prefix,
 *                      connection closed)
 *   NO_SESSION         no session has this client id, no channel has this
 *                      handle, or the login failed
 *   NO_CHANNEL         no channel has this handle; for a live open: the
 *                      streaming connection could not be made
 *   TOO_MANY_CHANNELS  64 live channels are already open
 *   SAVE_OPEN          the recording could not be opened: a file could not
 *                      be created, the data path ends in ".idx", or another
 *                      open recording already writes that path
 *   TOO_MANY_SAVES     the channel already has 16 recordings
 *   NO_SAVE            the channel has no recording with this id
 *   ROLLOVER_PENDING   a rollover: the recording already hands over to
 *                      another one, or is itself waiting to take over
 *   CAPTURE            a capture wrote no image (no decodable picture yet,
 *                      no player, or the file could not be written)
 *   BAD_ARGUMENT       an argument is outside its documented range (in C
 *                      also: a required pointer was NULL); nothing changed
 *   IN_CALLBACK        the library's init or uninit was called from inside
 *                      a callback; nothing was done
 */
#ifndef QNVNET_RESULTS_H
#define QNVNET_RESULTS_H

#define QNVNET_RESULT_LIST(BOTH, CXX_ONLY)                             \
  BOTH(FIRMWARE, -1, "firmware upload failed")                         \
  BOTH(CHANNEL_CREATE, -2, "channel could not be created")             \
  CXX_ONLY(ARGUMENT, -3, "null pointer argument")                      \
  BOTH(SESSION_MISMATCH, -10, "reply from another session")            \
  BOTH(TOO_MANY_SESSIONS, -11, "too many sessions")                    \
  BOTH(NETWORK, -20, "network could not be prepared")                  \
  BOTH(SEND, -21, "request could not be sent")                         \
  BOTH(NO_REPLY, -24, "no valid reply")                                \
  BOTH(NO_SESSION, -30, "no such session or login refused")            \
  BOTH(NO_CHANNEL, -41, "no such channel or stream connection failed") \
  BOTH(TOO_MANY_CHANNELS, -42, "too many channels")                    \
  BOTH(SAVE_OPEN, -61, "recording could not be opened")                \
  BOTH(TOO_MANY_SAVES, -72, "too many recordings")                     \
  BOTH(NO_SAVE, -73, "no such recording")                              \
  BOTH(ROLLOVER_PENDING, -74, "recording already hands over")          \
  BOTH(CAPTURE, -80, "no image captured")                              \
  BOTH(BAD_ARGUMENT, -90, "argument out of range")                     \
  BOTH(IN_CALLBACK, -91, "not allowed from a callback")

#endif /* QNVNET_RESULTS_H */
