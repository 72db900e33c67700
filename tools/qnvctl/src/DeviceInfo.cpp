#include "DeviceInfo.h"

#include "FrameHeader.h"
#include "TextFormat.h"
#include "devsim/Simulator.h"

namespace qnvctl {

namespace dev = qnv::devsim;

// The text fields are 32 bytes each, up to the next field.
constexpr size_t kTextFieldSize = 32;
static_assert(dev::kDeviceInfoModelOffset + kTextFieldSize <= dev::kDeviceInfoVersionOffset);
static_assert(dev::kDeviceInfoVersionOffset + kTextFieldSize <= dev::kDeviceInfoImageSizeOffset);
static_assert(dev::kDeviceInfoSerialOffset + kTextFieldSize <= dev::kDeviceInfoCommandPortOffset);
static_assert(dev::kDeviceInfoStreamPortOffset + 4 <= dev::kDeviceInfoSize);

bool DecodeDeviceInfo(const uint8_t* data, size_t size, SDeviceInfo& out) {
  if (size < dev::kDeviceInfoSize) return false;
  out.model = FixedText(data + dev::kDeviceInfoModelOffset, kTextFieldSize);
  out.firmwareVersion = FixedText(data + dev::kDeviceInfoVersionOffset, kTextFieldSize);
  out.serial = FixedText(data + dev::kDeviceInfoSerialOffset, kTextFieldSize);
  out.imageSize = QnvLoadLe32(data + dev::kDeviceInfoImageSizeOffset);
  out.imageCrc32 = QnvLoadLe32(data + dev::kDeviceInfoImageCrcOffset);
  out.updates = QnvLoadLe32(data + dev::kDeviceInfoUpdateCountOffset);
  out.commandPort = QnvLoadLe32(data + dev::kDeviceInfoCommandPortOffset);
  out.streamPort = QnvLoadLe32(data + dev::kDeviceInfoStreamPortOffset);
  return true;
}

void AddDeviceInfo(CJsonObject& json, const SDeviceInfo& info) {
  json.String("model", info.model)
      .String("firmwareVersion", info.firmwareVersion)
      .String("serial", info.serial)
      .Uint("imageSize", info.imageSize)
      .Uint("imageCrc32", info.imageCrc32)
      .Uint("updates", info.updates)
      .Uint("commandPort", info.commandPort)
      .Uint("streamPort", info.streamPort);
}

}  // namespace qnvctl
