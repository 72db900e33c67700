#include "CommandConnection.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "Device.h"
#include "devsim/Simulator.h"

namespace qnv::devsim {
namespace {

using wire::GetU32;
using wire::PutU32;

using wire::kClassAlgorithm;
using wire::kClassLive;
using wire::kClassLogin;
using wire::kClassPtz;
using wire::kClassRules;
using wire::kClassSystem;

constexpr uint16_t kLoginCode = 1;
constexpr uint16_t kFirmwareChunkCode = 5;
constexpr uint16_t kFirmwareStartCode = 6;
constexpr uint16_t kSystemCommandCodes[] = {1, 2, 3, 7, 8, 17, 18, 19, 21};

constexpr uint16_t kLiveOpen = 1, kLiveClose = 2, kLivePause = 3, kLivePlay = 4;
constexpr uint16_t kRuleEnable = 3, kRuleDisable = 4, kRuleState = 5;
constexpr uint16_t kPtzControl = 1, kPtzPreset = 2;

constexpr size_t kSplitFirstPart = 10;  // cuts through the header
constexpr uint32_t kDefaultSplitPauseMs = 50;
constexpr size_t kDefaultShortReply = 16;

std::string Field(std::span<const uint8_t> payload, size_t offset) {
  const char* p = reinterpret_cast<const char*>(payload.data() + offset);
  return std::string(p, strnlen(p, wire::kLoginFieldSize));
}

std::vector<uint8_t> U32Payload(uint32_t v) {
  std::vector<uint8_t> out(4);
  PutU32(out.data(), v);
  return out;
}

}  // namespace

CommandConnection::CommandConnection(Device& device, asio::ip::tcp::socket socket, uint64_t id)
    : m_device(device),
      m_socket(std::move(socket)),
      m_idleTimer(device.Io()),
      m_delayTimer(device.Io()),
      m_id(id) {}

void CommandConnection::Start() {
  std::error_code ec;
  m_socket.set_option(asio::ip::tcp::no_delay(true), ec);
  m_device.Note("command connection " + std::to_string(m_id) + " accepted");
  Touch();
  ArmIdleTimer();
  ReadNext();
}

void CommandConnection::Close() {
  if (!m_open) return;
  auto self = shared_from_this();
  m_open = false;
  std::error_code ec;
  m_socket.shutdown(asio::socket_base::shutdown_both, ec);
  m_socket.close(ec);
  m_idleTimer.cancel();
  m_delayTimer.cancel();
  const bool wasLoggedIn = m_loggedIn;
  m_loggedIn = false;
  m_device.Note("command connection " + std::to_string(m_id) + " closed");
  m_device.CommandClosed(*this, wasLoggedIn);
}

void CommandConnection::ArmIdleTimer() {
  const int idleMs = m_device.Options().idleTimeoutMs;
  if (idleMs <= 0 || !m_open) return;
  m_idleTimer.expires_at(m_lastActivity + std::chrono::milliseconds(idleMs));
  m_idleTimer.async_wait([self = shared_from_this(), idleMs](std::error_code ec) {
    if (ec || !self->m_open) return;
    if (!self->m_busy && std::chrono::steady_clock::now() - self->m_lastActivity >=
                             std::chrono::milliseconds(idleMs)) {
      self->m_device.Note("command connection " + std::to_string(self->m_id) + " idle, dropped");
      self->Close();
      return;
    }
    if (self->m_busy) self->Touch();
    self->ArmIdleTimer();
  });
}

void CommandConnection::ReadNext() {
  if (!m_open) return;
  m_busy = false;
  m_reader.Read(m_socket,
                [self = shared_from_this()](MessageReader::Status s) { self->OnMessage(s); });
}

void CommandConnection::OnMessage(MessageReader::Status status) {
  if (!m_open) return;
  if (status != MessageReader::Status::kOk) {
    if (status == MessageReader::Status::kBadPrefix ||
        status == MessageReader::Status::kBadLength) {
      m_device.Note("command connection " + std::to_string(m_id) + ": invalid length prefix");
    }
    Close();
    return;
  }
  Touch();
  m_busy = true;
  const auto message = m_reader.Message();
  const auto request = wire::ParseRequest(message);
  LoggedRequest logged{m_id,
                       false,
                       request->headerWord,
                       request->cls,
                       request->code,
                       request->sessionId,
                       {request->payload.begin(), request->payload.end()},
                       {message.begin(), message.end()}};
  m_device.Log().Append(std::move(logged));
  m_device.Note("command connection " + std::to_string(m_id) + ": class " +
                std::to_string(request->cls) + " code " + std::to_string(request->code) +
                " session " + std::to_string(request->sessionId) + ", " +
                std::to_string(request->payload.size()) + " payload bytes");
  if (request->magic != wire::kMagic) {
    m_device.Note("command connection " + std::to_string(m_id) + ": bad magic");
    Close();
    return;
  }
  Answer(*request, Process(*request));
}

CommandConnection::Outcome CommandConnection::Process(const wire::Request& request) {
  Outcome out;
  const auto& payload = request.payload;
  const uint16_t cls = request.cls, code = request.code;
  DeviceState& state = m_device.State();

  if (request.headerWord != wire::kTransactionHeaderWord) {
    out.result = kResultUnsupported;
    return out;
  }
  if (cls == kClassLogin && code == kLoginCode) {
    if (payload.size() != wire::kLoginPayloadSize) {
      out.result = kResultBadPayload;
      return out;
    }
    const auto& o = m_device.Options();
    // The host cuts longer names to the 16-byte field.
    const bool ok =
        Field(payload, wire::kLoginUserOffset) == o.user.substr(0, wire::kLoginFieldSize) &&
        Field(payload, wire::kLoginPasswordOffset) == o.password.substr(0, wire::kLoginFieldSize);
    if (!ok) {
      out.result = kResultBadLogin;
      return out;
    }
    if (!m_loggedIn) {
      m_loggedIn = true;
      m_device.SessionStarted();
    }
    m_sessionId = m_device.NewSessionId();
    return out;
  }
  if (!m_loggedIn) {
    out.result = kResultNotLoggedIn;
    return out;
  }
  if (request.sessionId != m_sessionId) {
    out.result = kResultBadSession;
    return out;
  }
  if (code == 0) {
    out.result = kResultUnsupported;
    return out;
  }
  switch (cls) {
    case kClassSystem:
      if (DeviceState::IsGetCode(cls, code)) {
        out.payload = *state.Get(cls, code);
      } else if (DeviceState::IsSetCode(cls, code)) {
        out.result = state.Set(cls, code, payload);
      } else if (code == kFirmwareChunkCode) {
        std::optional<std::vector<uint8_t>> image;
        out.result = m_firmware.Accept(payload, image);
        if (image) {
          m_device.Note("firmware image of " + std::to_string(image->size()) + " bytes assembled");
          state.SetAssembledImage(std::move(*image));
        }
      } else if (code == kFirmwareStartCode) {
        out.delayMs = std::max(0, m_device.Options().firmwareStartDelayMs);
        out.install = true;
      } else if (std::find(std::begin(kSystemCommandCodes), std::end(kSystemCommandCodes), code) !=
                 std::end(kSystemCommandCodes)) {
        out.reboot = (code == kRebootCode);
      } else {
        out.result = kResultUnsupported;
      }
      return out;
    case kClassLive:
      if (code == kLiveOpen) {
        uint32_t streamId = 0;
        out.result = m_device.OpenStream(m_id, streamId);
        if (out.result == kResultOk) out.payload = U32Payload(streamId);
        return out;
      }
      if (code == kLiveClose || code == kLivePause || code == kLivePlay) {
        if (payload.size() < 4) {
          out.result = kResultBadPayload;
          return out;
        }
        const uint32_t streamId = GetU32(payload.data());
        out.result = code == kLiveClose ? m_device.CloseStream(streamId)
                                        : m_device.PauseStream(streamId, code == kLivePause);
        return out;
      }
      out.result = kResultUnsupported;
      return out;
    case kClassRules:
      if (DeviceState::IsGetCode(cls, code)) {
        out.payload = *state.Get(cls, code);
      } else if (DeviceState::IsSetCode(cls, code)) {
        out.result = state.Set(cls, code, payload);
      } else if (code == kRuleEnable || code == kRuleDisable) {
        state.SetRulesEnabled(code == kRuleEnable);
      } else if (code == kRuleState) {
        out.payload = U32Payload(state.RulesEnabled() ? 1 : 0);
      } else {
        out.result = kResultUnsupported;
      }
      return out;
    case kClassPtz:
      if (code == kPtzControl) {
        out.result = state.PtzControl(payload);
      } else if (code == kPtzPreset) {
        out.result = state.PtzPreset(payload);
      } else if (auto data = state.PtzRead(code)) {
        out.payload = std::move(*data);
      } else {
        out.result = kResultUnsupported;
      }
      return out;
    case kClassAlgorithm:
      if (DeviceState::IsGetCode(cls, code)) {
        out.payload = *state.Get(cls, code);
      } else if (DeviceState::IsSetCode(cls, code)) {
        out.result = state.Set(cls, code, payload);
      } else {
        out.result = kResultUnsupported;
      }
      return out;
    default:
      out.result = kResultUnsupported;
      return out;
  }
}

void CommandConnection::Answer(const wire::Request& request, Outcome outcome) {
  const Fault fault = m_device.Faults().TakeCommand(request.cls, request.code);
  if (fault.kind != Fault::kNone) {
    m_device.Note("command connection " + std::to_string(m_id) + ": fault " +
                  std::to_string(fault.kind) + " on class " + std::to_string(request.cls) +
                  " code " + std::to_string(request.code));
  }
  if (fault.kind == Fault::kNoReply) {
    ReadNext();
    return;
  }
  if (fault.kind == Fault::kClose) {
    Close();
    return;
  }
  const int delay =
      outcome.delayMs + (fault.kind == Fault::kDelay ? static_cast<int>(fault.value) : 0);
  After(delay, [this, self = shared_from_this(), cls = request.cls, code = request.code,
                outcome = std::move(outcome), fault]() mutable {
    if (outcome.install) outcome.result = m_device.State().InstallFirmware();
    uint32_t sessionId = m_sessionId;
    if (fault.kind == Fault::kWrongSession)
      sessionId = fault.value != 0 ? fault.value : m_sessionId + 1;
    if (fault.kind == Fault::kResult) {
      outcome.result = fault.value;
      outcome.payload.clear();
    }
    std::vector<uint8_t> reply =
        wire::EncodeReply(cls, code, outcome.result, sessionId, outcome.payload);
    if (fault.kind == Fault::kBadPrefix) reply[3] ^= 0x5A;
    if (fault.kind == Fault::kShortReply) {
      const size_t n = fault.value >= wire::kPrefixSize && fault.value < wire::kReplyHeaderSize
                           ? fault.value
                           : kDefaultShortReply;
      reply.resize(n);
      const auto prefix = wire::EncodePrefix(static_cast<uint32_t>(n));
      std::copy(prefix.begin(), prefix.end(), reply.begin());
    }
    if (fault.kind == Fault::kDoubleReply) {
      const size_t n = reply.size();
      reply.resize(2 * n);
      std::copy_n(reply.begin(), n, reply.begin() + static_cast<std::ptrdiff_t>(n));
    }
    const bool reboot = outcome.reboot;
    auto next = [this, self, reboot] {
      if (reboot) {
        m_device.Note("reboot");
        m_device.DropAll();
      } else {
        ReadNext();
      }
    };
    if (fault.kind == Fault::kSplit && reply.size() > kSplitFirstPart) {
      std::vector<uint8_t> rest(reply.begin() + kSplitFirstPart, reply.end());
      reply.resize(kSplitFirstPart);
      const int pause = static_cast<int>(fault.value != 0 ? fault.value : kDefaultSplitPauseMs);
      Send(std::move(reply), [this, self, pause, rest = std::move(rest), next]() mutable {
        After(pause, [this, self, rest = std::move(rest), next]() mutable {
          Send(std::move(rest), next);
        });
      });
      return;
    }
    if (m_device.AlarmBeforeReply()) {
      std::vector<uint8_t> alarm = m_device.MakeAlarm(1);
      reply.insert(reply.begin(), alarm.begin(), alarm.end());
    }
    Send(std::move(reply), next);
  });
}

void CommandConnection::Send(std::vector<uint8_t> bytes, std::function<void()> then) {
  if (!m_open) return;
  m_writes.push_back({std::move(bytes), std::move(then)});
  if (!m_writing) WriteNext();
}

void CommandConnection::WriteNext() {
  if (m_writes.empty() || !m_open) return;
  m_writing = true;
  auto write = std::make_shared<PendingWrite>(std::move(m_writes.front()));
  m_writes.pop_front();
  asio::async_write(m_socket, asio::buffer(write->bytes),
                    [self = shared_from_this(), write](std::error_code ec, size_t) {
                      if (!self->m_open) return;
                      if (ec) {
                        self->Close();
                        return;
                      }
                      self->Touch();
                      self->m_writing = false;
                      if (write->then) write->then();
                      if (!self->m_writing) self->WriteNext();
                    });
}

void CommandConnection::After(int ms, std::function<void()> then) {
  if (ms <= 0) {
    then();
    return;
  }
  m_delayTimer.expires_after(std::chrono::milliseconds(ms));
  m_delayTimer.async_wait([self = shared_from_this(), then = std::move(then)](std::error_code ec) {
    if (ec || !self->m_open) return;
    then();
  });
}

}  // namespace qnv::devsim
