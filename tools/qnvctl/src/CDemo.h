// CDemo: the guided tour of the SDK. Starts a simulated device in this
// process, then logs in, reads the device information, drives the PTZ,
// uploads and installs a firmware image, records live video with its
// pre-record stretch, takes a snapshot, exports the recording to MP4 and
// checks every result. Owns the simulator and everything the SDK opened for
// the run. Host thread only; one run per object.
#ifndef QNVCTL_CDEMO_H
#define QNVCTL_CDEMO_H

#include <cstdint>
#include <string>
#include <vector>

#include "CInterruptSignal.h"
#include "CJsonObject.h"
#include "CReporter.h"

namespace qnvctl {

struct SExportOutcome;

struct SDemoOptions {
  std::string outDir = "qnv-demo-out";
  std::string clipPath;  // empty: look for data/sample.h264
  double recordSeconds = 10;
  double preSeconds = 3;
  uint64_t firmwareBytes = 1 << 20;
};

class CDemo {
 public:
  CDemo(SDemoOptions options, const CReporter& out) : m_options(std::move(options)), m_out(out) {}
  CDemo(const CDemo&) = delete;
  CDemo& operator=(const CDemo&) = delete;

  int Run();  // the exit status: kExitOk only when every step succeeded

  // The sample clip beside an installed or built qnvctl, or in the source tree; "" if none.
  static std::string FindSampleClip();

 private:
  // Each step prints its line(s); false (after reporting) stops the run.
  bool Step(const std::string& title);
  bool Fail(const std::string& message);
  bool FailSdk(const std::string& what, uint32_t code);
  void AddFile(const std::string& path, const std::string& what);

  // The steps, in order; each false (after Fail) ends the run.
  struct SRun;
  bool Login(SRun& run);
  bool ShowDeviceInfo(SRun& run);
  bool Ptz(SRun& run);
  bool Firmware(SRun& run);
  bool Record(SRun& run);
  bool Snapshot(SRun& run);
  bool ExportAndCheck(SRun& run);
  bool CheckResults(SRun& run, const std::string& mp4Path, const SExportOutcome& exported);
  int Report(double seconds);  // after every step succeeded

  SDemoOptions m_options;
  const CReporter& m_out;
  int m_stepNumber = 0;
  std::string m_failure;
  std::vector<std::pair<std::string, std::string>> m_files;  // path, description
  CJsonObject m_json;
};

}  // namespace qnvctl

#endif  // QNVCTL_CDEMO_H
