// Plain POSIX socket client for the simulator's own tests: builds messages by hand (not
// with the simulator's encoder) and reads replies and frames with time-outs.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qnv::devsim::test {

using Bytes = std::vector<uint8_t>;

inline constexpr uint32_t kTransactionWord = 1;
inline constexpr uint32_t kOneWayWord = 0x01000100;

// A request message: prefix, header word, "QNVV", class, code, session id, payload.
Bytes BuildRequest(uint32_t headerWord, uint16_t cls, uint16_t code, uint32_t sessionId,
                   const Bytes& payload = {});
Bytes LoginPayload(const std::string& user, const std::string& password);
Bytes U32s(std::initializer_list<uint32_t> values);
uint32_t U32At(const Bytes& b, size_t offset);

struct Reply {
  uint32_t length = 0;
  uint16_t cls = 0, code = 0;
  uint32_t result = 0, sessionId = 0;
  Bytes payload;
  Bytes raw;
};

struct Frame {
  Bytes header;  // 40 bytes
  Bytes ext;     // extension block after the header (length word included), if any
  Bytes payload;
};

// One TCP connection to 127.0.0.1. Owns its descriptor. One thread at a time.
class TestClient {
 public:
  TestClient() = default;
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;
  TestClient(TestClient&& other) noexcept;

  // receiveBuffer > 0: a small socket receive buffer, set before connecting.
  bool Connect(uint16_t port, int receiveBuffer = 0);
  void Close();
  bool Send(const Bytes& bytes);
  // Exactly n bytes within the time-out; false on time-out or end of stream.
  bool ReadExact(size_t n, Bytes& out, int timeoutMs = 3000);
  // One length-prefixed message (the prefix's length is trusted).
  std::optional<Reply> ReadReply(int timeoutMs = 3000);
  std::optional<Reply> Transact(uint16_t cls, uint16_t code, uint32_t sessionId,
                                const Bytes& payload = {}, int timeoutMs = 3000);
  std::optional<Frame> ReadFrame(int timeoutMs = 3000);
  // True when the peer closes within the time-out (data before the close is discarded).
  bool WaitClosed(int timeoutMs = 3000);
  // True when no byte arrives within ms.
  bool Quiet(int ms);
  // Reads and discards until nothing arrives for quietMs; returns the bytes read.
  size_t Drain(int quietMs);
  int Fd() const { return m_fd; }

 private:
  // Waits until the socket has something to read (or is closed); false at
  // the deadline or on an error.
  bool ReadableBefore(std::chrono::steady_clock::time_point deadline);
  int m_fd = -1;
};

// Connects and logs in; the session id of the reply goes to sessionId.
bool LoginClient(TestClient& client, uint16_t port, uint32_t& sessionId,
                 const std::string& user = "admin", const std::string& password = "admin");

}  // namespace qnv::devsim::test
