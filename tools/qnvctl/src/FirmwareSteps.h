// Firmware upload and start with visible progress. Both exports block (the
// upload for as long as the image takes, the start up to several minutes),
// so each runs on a worker thread while the calling thread draws a progress
// line on stderr.
#ifndef QNVCTL_FIRMWARESTEPS_H
#define QNVCTL_FIRMWARESTEPS_H

#include <cstdint>
#include <string>

namespace qnvctl {

// QNVNet_ManageSysUpdateData with a progress bar ("[####--] 45% 460 KiB /
// 1.0 MiB 0.4 s", ending in 100%). label prefixes the line.
uint32_t UploadFirmwareWithProgress(uint32_t clientId, const std::string& path, uint64_t imageSize,
                                    const std::string& label, double& seconds);
// QNVNet_ManageSysUpdateStart with a spinner and the time waited.
uint32_t StartFirmwareWithProgress(uint32_t clientId, const std::string& label, double& seconds);

}  // namespace qnvctl

#endif  // QNVCTL_FIRMWARESTEPS_H
