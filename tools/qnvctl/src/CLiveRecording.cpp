#include "CLiveRecording.h"

#include "QNVNetSdk.h"

namespace qnvctl {

uint32_t CLiveRecording::Open(uint32_t channelHandle, const std::string& path) {
  uint32_t id = 0;
  const uint32_t result = QNVNet_LiveSaveOpen(channelHandle, path.c_str(), id);
  if (result == QNVNET_OK) {
    m_channel = channelHandle;
    m_id = id;
    m_open = true;
  }
  return result;
}

uint32_t CLiveRecording::Close() {
  if (!m_open) return QNVNET_OK;
  m_open = false;
  return QNVNet_LiveSaveClose(m_channel, m_id);
}

std::string CLiveRecording::IndexPath(const std::string& dataPath) {
  // The extension of the last path component (from its last dot) becomes
  // ".idx"; a name without one gets ".idx" appended.
  const size_t slash = dataPath.rfind('/');
  const size_t dot = dataPath.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return dataPath + ".idx";
  return dataPath.substr(0, dot) + ".idx";
}

}  // namespace qnvctl
