#include "MessageReader.h"

#include "devsim/WireFormat.h"

namespace qnv::devsim {

void MessageReader::Read(asio::ip::tcp::socket& socket, Handler handler) {
  m_buffer.assign(wire::kPrefixSize, 0);
  m_error.clear();
  asio::async_read(
      socket, asio::buffer(m_buffer.data(), wire::kPrefixSize),
      [this, &socket, handler = std::move(handler)](std::error_code ec, size_t) mutable {
        if (ec) {
          m_error = ec;
          return handler(Status::kFailed);
        }
        const auto length = wire::DecodePrefix(m_buffer.data());
        if (!length) return handler(Status::kBadPrefix);
        if (*length < wire::kRequestHeaderSize || *length > wire::kMaxRequestLength) {
          return handler(Status::kBadLength);
        }
        m_buffer.resize(*length);
        asio::async_read(
            socket, asio::buffer(m_buffer.data() + wire::kPrefixSize, *length - wire::kPrefixSize),
            [this, handler = std::move(handler)](std::error_code ec2, size_t n) {
              if (ec2) {
                m_error = ec2;
                m_buffer.resize(wire::kPrefixSize + n);
                return handler(Status::kFailed);
              }
              handler(Status::kOk);
            });
      });
}

}  // namespace qnv::devsim
