#include "FaultTable.h"

namespace qnv::devsim {
namespace {
uint32_t Key(uint16_t cls, uint16_t code) { return (static_cast<uint32_t>(cls) << 16) | code; }
}  // namespace

void FaultTable::Set(uint16_t cls, uint16_t code, Fault fault) {
  std::lock_guard lock(m_mutex);
  if (fault.kind == Fault::kNone || fault.count == 0) {
    m_command.erase(Key(cls, code));
  } else {
    m_command[Key(cls, code)] = fault;
  }
}

void FaultTable::SetStream(StreamFault fault) {
  std::lock_guard lock(m_mutex);
  m_stream = fault;
}

void FaultTable::Clear() {
  std::lock_guard lock(m_mutex);
  m_command.clear();
  m_stream = {};
}

Fault FaultTable::TakeCommand(uint16_t cls, uint16_t code) {
  std::lock_guard lock(m_mutex);
  auto it = m_command.find(Key(cls, code));
  if (it == m_command.end()) return {};
  Fault f = it->second;
  if (it->second.count > 0 && --it->second.count == 0) m_command.erase(it);
  return f;
}

StreamFault FaultTable::TakeFrameFault() {
  std::lock_guard lock(m_mutex);
  if (m_stream.kind == StreamFault::kNone || m_stream.kind == StreamFault::kRefuse ||
      m_stream.count == 0) {
    return {};
  }
  StreamFault f = m_stream;
  if (m_stream.count > 0 && --m_stream.count == 0) m_stream = {};
  return f;
}

StreamFault FaultTable::Refusal() const {
  std::lock_guard lock(m_mutex);
  return m_stream.kind == StreamFault::kRefuse ? m_stream : StreamFault{};
}

}  // namespace qnv::devsim
