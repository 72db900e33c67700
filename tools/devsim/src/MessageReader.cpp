#include "MessageReader.h"

#include "devsim/WireFormat.h"

namespace qnv::devsim {

void MessageReader::Read(asio::ip::tcp::socket& socket, Handler handler) {
  buffer_.assign(wire::kPrefixSize, 0);
  error_.clear();
  asio::async_read(
      socket, asio::buffer(buffer_.data(), wire::kPrefixSize),
      [this, &socket, handler = std::move(handler)](std::error_code ec, size_t) mutable {
        if (ec) {
          error_ = ec;
          return handler(Status::kFailed);
        }
        const auto length = wire::DecodePrefix(buffer_.data());
        if (!length) return handler(Status::kBadPrefix);
        if (*length < wire::kRequestHeaderSize || *length > wire::kMaxRequestLength) {
          return handler(Status::kBadLength);
        }
        buffer_.resize(*length);
        asio::async_read(
            socket, asio::buffer(buffer_.data() + wire::kPrefixSize, *length - wire::kPrefixSize),
            [this, handler = std::move(handler)](std::error_code ec2, size_t n) {
              if (ec2) {
                error_ = ec2;
                buffer_.resize(wire::kPrefixSize + n);
                return handler(Status::kFailed);
              }
              handler(Status::kOk);
            });
      });
}

}  // namespace qnv::devsim
