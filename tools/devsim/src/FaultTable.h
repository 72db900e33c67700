// The misbehaviours currently asked of the device: per class and code for command replies,
// one for all stream connections.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "devsim/Simulator.h"

namespace qnv::devsim {

// Thread-safe: tests set and clear from any thread, the network thread takes.
class FaultTable {
 public:
  FaultTable() = default;
  FaultTable(const FaultTable&) = delete;
  FaultTable& operator=(const FaultTable&) = delete;

  void Set(uint16_t cls, uint16_t code, Fault fault);
  void SetStream(StreamFault fault);
  void Clear();

  // The fault for a reply to (cls, code), used up once; kind kNone when there is none.
  Fault TakeCommand(uint16_t cls, uint16_t code);
  // A per-frame stream fault (garbage, oversize, drop mid-frame), used up once.
  StreamFault TakeFrameFault();
  // The refusal applying to stream connections now (kind kNone or kRefuse).
  StreamFault Refusal() const;

 private:
  mutable std::mutex m_mutex;
  std::map<uint32_t, Fault> m_command;
  StreamFault m_stream;
};

}  // namespace qnv::devsim
