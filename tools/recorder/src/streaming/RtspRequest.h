// RtspRequest: reads what an RTSP client sends, within fixed bounds, before
// anything else sees it: one request head (request line and headers) and its
// body, or one interleaved data frame ('$', channel, 16-bit length, data).
// Plain functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qnvrecorder {

// A request head longer than this is refused (clients send a few hundred bytes).
inline constexpr size_t kMaxRequestHead = 8 * 1024;
// A request body longer than this is refused (clients send none, or a few lines).
inline constexpr size_t kMaxRequestBody = 4 * 1024;

struct SRtspRequest {
  std::string method;         // "DESCRIBE"
  std::string url;            // "rtsp://host:8554/gate/stream=0"
  std::string camera;         // the URL's first path part ("gate"), "" for "*" or "/"
  std::string cseq;           // digits, "" when missing
  std::string authorization;  // the header's value, "" when missing
  size_t bytes = 0;           // head and body: what to pass on
};

enum class EParse {
  kNeedMore,  // incomplete: wait for more bytes
  kBlank,     // `bytes` bytes of empty lines (a keep-alive): drop them
  kRequest,   // a request (request filled)
  kData,      // an interleaved data frame of `bytes` bytes
  kTooLarge,  // a head or body over its bound
  kMalformed  // not RTSP
};

// Looks at the start of what a client sent. `bytes` receives how much one
// request, frame or run of empty lines takes.
EParse ParseRtspInput(std::string_view input, SRtspRequest& request, size_t& bytes);

// The camera named by a request URL's path ("rtsp://h:p/gate/stream=0" ->
// "gate"; "*" and "/" -> "").
std::string CameraOfUrl(std::string_view url);

// True when an Authorization header carries Basic credentials equal to
// user:password (compared in constant time).
bool BasicCredentialsMatch(std::string_view authorization, const std::string& user,
                           const std::string& password);
// True when an Authorization header is present at all (a client that tried).
inline bool CredentialsGiven(std::string_view authorization) { return !authorization.empty(); }

}  // namespace qnvrecorder
