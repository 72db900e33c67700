// Reads one length-prefixed message at a time from a socket.
#pragma once

#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <span>
#include <system_error>
#include <vector>

namespace qnv::devsim {

// Member of a connection; used on the network thread only. The handler passed to Read must
// keep the connection (and so the reader) alive until it runs.
class MessageReader {
 public:
  enum class Status { kOk, kBadPrefix, kBadLength, kFailed };
  using Handler = std::function<void(Status)>;

  MessageReader() = default;
  MessageReader(const MessageReader&) = delete;
  MessageReader& operator=(const MessageReader&) = delete;

  void Read(asio::ip::tcp::socket& socket, Handler handler);
  // The whole message (prefix included) after a kOk; the bytes received so far otherwise.
  std::span<const uint8_t> Message() const { return m_buffer; }
  std::error_code LastError() const { return m_error; }

 private:
  std::vector<uint8_t> m_buffer;
  std::error_code m_error;
};

}  // namespace qnv::devsim
