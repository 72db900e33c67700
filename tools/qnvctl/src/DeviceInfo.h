// The device-information block (configuration selector 13), decoded as the
// device simulator lays it out: model and firmware version texts, the
// installed firmware image's size and CRC-32, the number of updates, serial
// number and ports. A real device may lay it out otherwise, so the tool always
// shows the raw bytes as well.
#ifndef QNVCTL_DEVICEINFO_H
#define QNVCTL_DEVICEINFO_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "CJsonObject.h"

namespace qnvctl {

struct SDeviceInfo {
  std::string model;
  std::string firmwareVersion;
  std::string serial;
  uint32_t imageSize = 0;
  uint32_t imageCrc32 = 0;
  uint32_t updates = 0;
  uint32_t commandPort = 0;
  uint32_t streamPort = 0;
};

// False when the block is too short for the layout.
bool DecodeDeviceInfo(const uint8_t* data, size_t size, SDeviceInfo& out);
// Adds the decoded fields to a JSON object.
void AddDeviceInfo(CJsonObject& json, const SDeviceInfo& info);

}  // namespace qnvctl

#endif  // QNVCTL_DEVICEINFO_H
