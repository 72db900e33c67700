#include "devsim/Simulator.h"

#include "Device.h"

namespace qnv::devsim {

class Simulator::Impl {
 public:
  explicit Impl(SimulatorOptions options) : device(std::move(options)) {}
  Device device;
};

Simulator::Simulator(SimulatorOptions options)
    : m_impl(std::make_unique<Impl>(std::move(options))) {}
Simulator::~Simulator() { Stop(); }

bool Simulator::Start() { return m_impl->device.Start(); }
void Simulator::Stop() { m_impl->device.Stop(); }
const std::string& Simulator::LastError() const { return m_impl->device.LastError(); }
uint16_t Simulator::Port() const { return m_impl->device.Port(); }

std::vector<LoggedRequest> Simulator::Requests() const { return m_impl->device.Log().Snapshot(); }
void Simulator::ClearRequests() { m_impl->device.Log().Clear(); }
bool Simulator::WaitForRequests(size_t count, int timeoutMs) {
  return m_impl->device.Log().WaitFor(count, timeoutMs);
}

void Simulator::SetFault(uint16_t cls, uint16_t code, Fault fault) {
  m_impl->device.Faults().Set(cls, code, fault);
}
void Simulator::SetStreamFault(StreamFault fault) {
  m_impl->device.Faults().SetStream(fault);
  m_impl->device.StreamFaultChanged();
}
void Simulator::ClearFaults() {
  m_impl->device.Faults().Clear();
  m_impl->device.StreamFaultChanged();
}

void Simulator::DropAllConnections() { m_impl->device.DropAllConnections(); }
void Simulator::Freeze(FreezeScope scope) { m_impl->device.Freeze(scope); }
void Simulator::Thaw() { m_impl->device.Thaw(); }
size_t Simulator::RaiseAlarm(uint32_t ruleId) { return m_impl->device.RaiseAlarm(ruleId); }
void Simulator::SetAlarmBeforeReply(bool on) { m_impl->device.SetAlarmBeforeReply(on); }
uint32_t Simulator::AlarmsRaised() const { return m_impl->device.AlarmsRaised(); }
size_t Simulator::SessionCount() const { return m_impl->device.SessionCount(); }
size_t Simulator::StreamCount() const { return m_impl->device.StreamCount(); }
uint64_t Simulator::FramesSent() const { return m_impl->device.FramesSent(); }

std::vector<uint8_t> Simulator::FirmwareImage() const {
  return m_impl->device.State().AssembledImage();
}
std::vector<uint8_t> Simulator::ConfigItem(uint16_t getCode) const {
  return m_impl->device.State().ConfigItem(getCode);
}
void Simulator::SetConfigItem(uint16_t getCode, std::vector<uint8_t> data) {
  m_impl->device.State().SetConfigItem(getCode, std::move(data));
}

}  // namespace qnv::devsim
