#include "devsim/Simulator.h"

#include "Device.h"

namespace qnv::devsim {

class Simulator::Impl {
 public:
  explicit Impl(SimulatorOptions options) : device(std::move(options)) {}
  Device device;
};

Simulator::Simulator(SimulatorOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}
Simulator::~Simulator() { Stop(); }

bool Simulator::Start() { return impl_->device.Start(); }
void Simulator::Stop() { impl_->device.Stop(); }
const std::string& Simulator::LastError() const { return impl_->device.LastError(); }
uint16_t Simulator::Port() const { return impl_->device.Port(); }

std::vector<LoggedRequest> Simulator::Requests() const { return impl_->device.Log().Snapshot(); }
void Simulator::ClearRequests() { impl_->device.Log().Clear(); }
bool Simulator::WaitForRequests(size_t count, int timeoutMs) {
  return impl_->device.Log().WaitFor(count, timeoutMs);
}

void Simulator::SetFault(uint16_t cls, uint16_t code, Fault fault) {
  impl_->device.Faults().Set(cls, code, fault);
}
void Simulator::SetStreamFault(StreamFault fault) {
  impl_->device.Faults().SetStream(fault);
  impl_->device.StreamFaultChanged();
}
void Simulator::ClearFaults() {
  impl_->device.Faults().Clear();
  impl_->device.StreamFaultChanged();
}

void Simulator::DropAllConnections() { impl_->device.DropAllConnections(); }
void Simulator::Freeze(FreezeScope scope) { impl_->device.Freeze(scope); }
void Simulator::Thaw() { impl_->device.Thaw(); }
size_t Simulator::RaiseAlarm(uint32_t ruleId) { return impl_->device.RaiseAlarm(ruleId); }
void Simulator::SetAlarmBeforeReply(bool on) { impl_->device.SetAlarmBeforeReply(on); }
uint32_t Simulator::AlarmsRaised() const { return impl_->device.AlarmsRaised(); }
size_t Simulator::SessionCount() const { return impl_->device.SessionCount(); }
size_t Simulator::StreamCount() const { return impl_->device.StreamCount(); }
uint64_t Simulator::FramesSent() const { return impl_->device.FramesSent(); }

std::vector<uint8_t> Simulator::FirmwareImage() const {
  return impl_->device.State().AssembledImage();
}
std::vector<uint8_t> Simulator::ConfigItem(uint16_t getCode) const {
  return impl_->device.State().ConfigItem(getCode);
}
void Simulator::SetConfigItem(uint16_t getCode, std::vector<uint8_t> data) {
  impl_->device.State().SetConfigItem(getCode, std::move(data));
}

}  // namespace qnv::devsim
