#include "FaultTable.h"

namespace qnv::devsim {
namespace {
uint32_t Key(uint16_t cls, uint16_t code) { return (static_cast<uint32_t>(cls) << 16) | code; }
}  // namespace

void FaultTable::Set(uint16_t cls, uint16_t code, Fault fault) {
  std::lock_guard lock(mutex_);
  if (fault.kind == Fault::kNone || fault.count == 0) {
    command_.erase(Key(cls, code));
  } else {
    command_[Key(cls, code)] = fault;
  }
}

void FaultTable::SetStream(StreamFault fault) {
  std::lock_guard lock(mutex_);
  stream_ = fault;
}

void FaultTable::Clear() {
  std::lock_guard lock(mutex_);
  command_.clear();
  stream_ = {};
}

Fault FaultTable::TakeCommand(uint16_t cls, uint16_t code) {
  std::lock_guard lock(mutex_);
  auto it = command_.find(Key(cls, code));
  if (it == command_.end()) return {};
  Fault f = it->second;
  if (it->second.count > 0 && --it->second.count == 0) command_.erase(it);
  return f;
}

StreamFault FaultTable::TakeFrameFault() {
  std::lock_guard lock(mutex_);
  if (stream_.kind == StreamFault::kNone || stream_.kind == StreamFault::kRefuse ||
      stream_.count == 0) {
    return {};
  }
  StreamFault f = stream_;
  if (stream_.count > 0 && --stream_.count == 0) stream_ = {};
  return f;
}

StreamFault FaultTable::Refusal() const {
  std::lock_guard lock(mutex_);
  return stream_.kind == StreamFault::kRefuse ? stream_ : StreamFault{};
}

}  // namespace qnv::devsim
