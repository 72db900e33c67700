// "firmware upload FILE [--start]": sends a firmware image and, with --start,
// tells the device to install it.
#include "CDeviceSession.h"
#include "CReporter.h"
#include "CSdkLibrary.h"
#include "CommandSupport.h"
#include "Commands.h"
#include "Files.h"
#include "FirmwareSteps.h"
#include "QNVNetSdk.h"

namespace qnvctl {

int RunFirmwareUpload(const CInvocation& inv) {
  CReporter out(inv.json);
  const std::string& path = inv.args[0];
  // Check the file here: the SDK reports every file problem as the same -1.
  uint64_t size = 0;
  std::string error;
  if (!RegularFileSize(path, size, error)) return out.Failure(error);
  if (size > 0x7FFFFFFFull) return out.Failure(path + " is too large: images must be under 2 GiB");
  if (size == 0 && !inv.Has("--allow-empty"))
    return out.Usage(path + " is empty; --allow-empty sends it anyway", "firmware upload");

  CSdkLibrary sdk;
  CDeviceSession session;
  int exitCode = kExitOk;
  if (!Connect(inv, out, sdk, session, exitCode)) return exitCode;

  double uploadSeconds = 0;
  uint32_t result =
      UploadFirmwareWithProgress(session.clientId(), path, size, "upload  ", uploadSeconds);
  if (result != QNVNET_OK) return out.SdkFailure("firmware upload failed", result);
  CJsonObject json;
  json.String("file", path).Uint("bytes", size).Number("uploadSeconds", uploadSeconds);
  out.Text("firmware image " + path + " uploaded (" + std::to_string(size) + " bytes)");

  if (inv.Has("--start")) {
    double startSeconds = 0;
    result = StartFirmwareWithProgress(session.clientId(), "start   ", startSeconds);
    if (result != QNVNET_OK) return out.SdkFailure("firmware start failed", result);
    json.Boolean("started", true).Number("startSeconds", startSeconds);
    out.Text("firmware installation started and confirmed by the device");
  } else {
    json.Boolean("started", false);
  }
  return out.Done(json);
}

}  // namespace qnvctl
