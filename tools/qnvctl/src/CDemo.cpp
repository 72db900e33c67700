#include "CDemo.h"

#include <limits.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "CDeviceSession.h"
#include "CLiveChannel.h"
#include "CProgressLine.h"
#include "CSdkLibrary.h"
#include "CStreamWatch.h"
#include "CommandSupport.h"
#include "Crc32.h"
#include "DeviceInfo.h"
#include "ExportSteps.h"
#include "Files.h"
#include "FirmwareSteps.h"
#include "FrameHeader.h"
#include "LiveSteps.h"
#include "Mp4Probe.h"
#include "QNVNetSdk.h"
#include "Selectors.h"
#include "devsim/Simulator.h"

#ifndef QNVCTL_SOURCE_DATA_DIR
#define QNVCTL_SOURCE_DATA_DIR ""
#endif

namespace qnvctl {

namespace {

constexpr int kSteps = 8;
constexpr double kClipFps = 25;      // the sample clip's frame rate
constexpr double kGroupSeconds = 2;  // the longest group of pictures the check allows for

// PTZ commands of the simulated device: {command, steps} moves, and preset
// actions. A real device defines its own values.
constexpr uint32_t kPtzTiltUp = 1, kPtzPanRight = 4, kPtzZoomIn = 5, kPtzAbsolute = 7;
constexpr uint32_t kPresetStore = 1, kPresetRecall = 2;
constexpr uint32_t kPtzPositionType = 0;  // PTZ parameter: {pan, tilt, zoom}

std::string Fixed(double v, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

std::string Hex32(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", v);
  return text;
}

// Reads the device-information block.
uint32_t ReadDeviceInfo(uint32_t clientId, SDeviceInfo& info, bool& decoded) {
  std::vector<uint8_t> data;
  int32_t reported = 0;
  const uint32_t r = GetBlock(
      [&](void* buffer, int32_t& length) {
        return QNVNet_ManageGetSysConfig(clientId, kDeviceInfoSelector, buffer, length);
      },
      data, reported);
  decoded = r == QNVNET_OK && DecodeDeviceInfo(data.data(), data.size(), info);
  return r;
}

// Reads the PTZ position {pan, tilt, zoom}.
uint32_t ReadPtzPosition(uint32_t clientId, uint32_t (&position)[3]) {
  std::vector<uint8_t> data;
  int32_t reported = 0;
  const uint32_t r = GetBlock(
      [&](void* buffer, int32_t& length) {
        return QNVNet_PTZGetParam(clientId, kPtzPositionType, buffer, length);
      },
      data, reported);
  if (r != QNVNET_OK) return r;
  for (size_t i = 0; i < 3; ++i)
    position[i] = data.size() >= (i + 1) * 4 ? QnvLoadLe32(data.data() + i * 4) : 0;
  return r;
}

std::string PositionText(const uint32_t (&p)[3]) {
  return "pan " + std::to_string(p[0]) + ", tilt " + std::to_string(p[1]) + ", zoom " +
         std::to_string(p[2]);
}

}  // namespace

std::string CDemo::FindSampleClip() {
  const std::string exeDir = ExecutableDirectory();
  std::vector<std::string> candidates;
  if (!exeDir.empty()) {
    candidates.push_back(exeDir + "/../share/qnvnetsdk/sample.h264");  // installed
    candidates.push_back(exeDir + "/../../data/sample.h264");          // <repo>/<build>/bin
  }
  if (*QNVCTL_SOURCE_DATA_DIR)
    candidates.push_back(std::string(QNVCTL_SOURCE_DATA_DIR) + "/sample.h264");
  for (const auto& c : candidates) {
    uint64_t size = 0;
    std::string error;
    if (!RegularFileSize(c, size, error) || size == 0) continue;
    char resolved[PATH_MAX];
    return realpath(c.c_str(), resolved) ? std::string(resolved) : c;
  }
  return "";
}

bool CDemo::Step(const std::string& title) {
  ++m_stepNumber;
  m_out.Text("[" + std::to_string(m_stepNumber) + "/" + std::to_string(kSteps) + "] " + title);
  return true;
}

bool CDemo::Fail(const std::string& message) {
  m_failure = message;
  return false;
}

bool CDemo::FailSdk(const std::string& what, uint32_t code) {
  m_failure = what + ": " + CReporter::ResultText(code);
  return false;
}

void CDemo::AddFile(const std::string& path, const std::string& what) {
  m_files.emplace_back(path, what);
}

// What the steps share: the simulated device, what the SDK opened on it,
// and what earlier steps wrote.
struct CDemo::SRun {
  CInterruptSignal& interrupt;
  const SConnection& device;
  const std::string where;
  const std::string dir;  // the output folder, ending in '/'
  CStreamWatch& live;
  CSdkLibrary& sdk;
  CDeviceSession& session;
  CLiveChannel& channel;
  std::string recordingPath;
  SRecordOutcome recorded;
};

int CDemo::Run() {
  const auto started = std::chrono::steady_clock::now();
  // Ctrl-C ends the run cleanly; set up before any thread starts.
  CInterruptSignal interrupt;

  std::string clip = m_options.clipPath.empty() ? FindSampleClip() : m_options.clipPath;
  if (clip.empty())
    return m_out.Failure("the sample clip data/sample.h264 was not found; use --clip PATH");
  std::string error;
  uint64_t clipBytes = 0;
  if (!RegularFileSize(clip, clipBytes, error)) return m_out.Failure(error);
  if (!MakeDirectories(m_options.outDir, error)) return m_out.Failure(error);

  // The device: a simulator on a free loopback port, streaming the clip.
  qnv::devsim::SimulatorOptions simOptions;
  simOptions.clipPath = clip;
  qnv::devsim::Simulator simulator(simOptions);
  if (!simulator.Start())
    return m_out.Failure("the device simulator did not start: " + simulator.LastError());
  SConnection device;
  device.port = simulator.Port();
  const std::string where = device.host + ":" + std::to_string(device.port);
  m_out.Text("Simulated device on " + where + ", streaming " + clip);
  m_json.String("device", where).String("clip", clip);

  // Everything from here on is what a host application does with a real device.
  CStreamWatch live(device.port);
  CSdkLibrary sdk(live.Handlers());
  CDeviceSession session;
  CLiveChannel channel;
  SRun run{
      interrupt, device, where,   m_options.outDir + (m_options.outDir.back() == '/' ? "" : "/"),
      live,      sdk,    session, channel,
      {},        {}};
  const bool ok = Login(run) && ShowDeviceInfo(run) && Ptz(run) && Firmware(run) && Record(run) &&
                  Snapshot(run) && ExportAndCheck(run);

  // Close in reverse order before reporting (the destructors would too).
  channel.Close();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!ok) {
    m_out.Text("      FAILED");
    return m_out.Failure("demo step " + std::to_string(m_stepNumber) + " failed: " + m_failure);
  }
  return Report(seconds);
}

// 1. Library and login.
bool CDemo::Login(SRun& run) {
  Step("Login as " + run.device.user + " to " + run.where);
  if (uint32_t r = run.sdk.Start(); r != QNVNET_OK) return FailSdk("library start failed", r);
  if (uint32_t r = run.session.Login(run.device); r != QNVNET_OK) return FailSdk("login failed", r);
  uint32_t version = 0;
  QNVNet_GetSdkVersion(&version);
  m_out.Text("      logged in, client id " + std::to_string(run.session.clientId()) +
             " (SDK version " + std::to_string(version >> 24) + "." +
             std::to_string((version >> 16) & 0xFF) + "." + std::to_string((version >> 8) & 0xFF) +
             ")");
  return true;
}

// 2. Device information.
bool CDemo::ShowDeviceInfo(SRun& run) {
  Step("Device information (configuration selector " + std::to_string(kDeviceInfoSelector) + ")");
  SDeviceInfo before;
  bool decoded = false;
  if (uint32_t r = ReadDeviceInfo(run.session.clientId(), before, decoded); r != QNVNET_OK)
    return FailSdk("device information failed", r);
  if (!decoded) return Fail("the device information block is too short");
  m_out.Text("      model " + before.model + ", firmware " + before.firmwareVersion + ", serial " +
             before.serial);
  m_json.String("model", before.model).String("firmwareBefore", before.firmwareVersion);
  return true;
}

// 3. PTZ: move, store a preset, go elsewhere, recall the preset.
bool CDemo::Ptz(SRun& run) {
  const uint32_t id = run.session.clientId();
  Step("PTZ: pan right 50, tilt up 20, zoom in 5; store preset 1; go home; recall preset 1");
  const uint32_t moves[][2] = {{kPtzPanRight, 50}, {kPtzTiltUp, 20}, {kPtzZoomIn, 5}};
  for (const auto& m : moves)
    if (uint32_t r = QNVNet_PTZCtrlSend(id, m[0], m[1], 0, 0); r != QNVNET_OK)
      return FailSdk("ptz move failed", r);
  uint32_t stored[3] = {};
  if (uint32_t r = ReadPtzPosition(id, stored); r != QNVNET_OK)
    return FailSdk("ptz position failed", r);
  if (uint32_t r = QNVNet_PTZCtrlPreset(id, kPresetStore, 1); r != QNVNET_OK)
    return FailSdk("ptz preset store failed", r);
  if (uint32_t r = QNVNet_PTZCtrlSend(id, kPtzAbsolute, 0, 0, 10); r != QNVNET_OK)
    return FailSdk("ptz move failed", r);
  if (uint32_t r = QNVNet_PTZCtrlPreset(id, kPresetRecall, 1); r != QNVNET_OK)
    return FailSdk("ptz preset recall failed", r);
  uint32_t recalled[3] = {};
  if (uint32_t r = ReadPtzPosition(id, recalled); r != QNVNET_OK)
    return FailSdk("ptz position failed", r);
  m_out.Text("      position after the moves: " + PositionText(stored) +
             "; after recalling preset 1: " + PositionText(recalled));
  if (stored[0] != recalled[0] || stored[1] != recalled[1] || stored[2] != recalled[2])
    return Fail("the recalled preset is not the stored position");
  m_json.String("ptzPosition", PositionText(recalled));
  return true;
}

// 4. Firmware: a generated image, uploaded and installed, then checked
// against what the device reports.
bool CDemo::Firmware(SRun& run) {
  const uint32_t id = run.session.clientId();
  const std::string firmwarePath = run.dir + "firmware.bin";
  std::vector<uint8_t> image(m_options.firmwareBytes);
  uint32_t x = 0x2545F491;
  for (auto& b : image) {  // xorshift: reproducible, incompressible bytes
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  std::string error;
  if (!WriteWholeFile(firmwarePath, image.data(), image.size(), error)) return Fail(error);
  AddFile(firmwarePath, "generated firmware image");
  const uint32_t imageCrc = Crc32(image.data(), image.size());
  Step("Firmware: upload " + firmwarePath + " (" + CProgressLine::Bytes(image.size()) +
       ", CRC-32 " + Hex32(imageCrc) + ") and install it");
  double uploadSeconds = 0, startSeconds = 0;
  if (uint32_t r = UploadFirmwareWithProgress(id, firmwarePath, image.size(), "      upload  ",
                                              uploadSeconds);
      r != QNVNET_OK)
    return FailSdk("firmware upload failed", r);
  if (uint32_t r = StartFirmwareWithProgress(id, "      start   ", startSeconds); r != QNVNET_OK)
    return FailSdk("firmware start failed", r);
  SDeviceInfo after;
  bool decoded = false;
  if (uint32_t r = ReadDeviceInfo(id, after, decoded); r != QNVNET_OK)
    return FailSdk("device information failed", r);
  if (!decoded) return Fail("the device information block is too short");
  const bool imageMatches = after.imageSize == image.size() && after.imageCrc32 == imageCrc;
  m_out.Text("      device now reports firmware " + after.firmwareVersion + ", image " +
             std::to_string(after.imageSize) + " bytes, CRC-32 " + Hex32(after.imageCrc32) +
             (imageMatches ? " (matches)" : " (DIFFERS)"));
  if (!imageMatches) return Fail("the installed image differs from the uploaded file");
  m_json.String("firmwareAfter", after.firmwareVersion)
      .Uint("firmwareBytes", image.size())
      .Number("firmwareUploadSeconds", uploadSeconds);
  return true;
}

// 5. Live video and recording. The recording opens after preSeconds of live
// video, which the channel keeps and writes at its start.
bool CDemo::Record(SRun& run) {
  run.recordingPath = run.dir + "recording.dat";
  Step("Live: open a channel, record " + Fixed(m_options.recordSeconds, 0) + " s to " +
       run.recordingPath + " after " + Fixed(m_options.preSeconds, 0) + " s of pre-record");
  if (uint32_t r = run.channel.Open(run.session.clientId(), nullptr); r != QNVNET_OK)
    return FailSdk("live open failed", r);
  SRecordOutcome& recorded = run.recorded;
  const uint32_t rr = RecordLive(run.channel, run.live, run.interrupt, run.recordingPath,
                                 m_options.preSeconds, m_options.recordSeconds, "      ", recorded);
  if (recorded.interrupted) return Fail(std::string("stopped by ") + run.interrupt.What());
  if (!recorded.failure.empty())
    return rr != QNVNET_OK ? FailSdk(recorded.failure, rr) : Fail(recorded.failure);
  AddFile(run.recordingPath, "recording data");
  AddFile(recorded.indexPath, "recording index");
  m_out.Text("      " + std::to_string(recorded.indexRecords) + " frames in the recording (" +
             std::to_string(recorded.received.frames) + " arrived while it was open)");
  if (recorded.indexRecords <= recorded.received.frames)
    return Fail("the recording holds no pre-record frames");
  return true;
}

// 6. Snapshot of the live picture.
bool CDemo::Snapshot(SRun& run) {
  const std::string snapshotPath = run.dir + "snapshot.jpg";
  Step("Snapshot to " + snapshotPath);
  std::string failure;
  uint64_t snapshotBytes = 0;
  if (uint32_t r = TakeSnapshot(run.channel, run.live, snapshotPath, failure, snapshotBytes);
      !failure.empty())
    return r != QNVNET_OK ? FailSdk(failure, r) : Fail(failure);
  AddFile(snapshotPath, "snapshot");
  m_out.Text("      " + std::to_string(snapshotBytes) + " bytes");
  run.channel.Close();
  return true;
}

// 7. Export to MP4, then 8. the checks.
bool CDemo::ExportAndCheck(SRun& run) {
  const std::string mp4Path = run.dir + "recording.mp4";
  Step("Export " + run.recordingPath + " to " + mp4Path);
  SExportOutcome exported;
  qnvrec::SExportOptions exportOptions;
  exportOptions.defaultFps = kClipFps;
  std::string error;
  if (!ExportRecording(run.recordingPath, mp4Path, exportOptions, exported, error))
    return Fail("export failed: " + error);
  AddFile(mp4Path, "exported video");
  m_out.Text("      " + std::to_string(exported.exported.pictures) + " pictures (" +
             std::to_string(exported.exported.keyPictures) + " IDR), " +
             Fixed(exported.exported.durationSeconds, 1) + " s of video timed by " +
             qnvrec::TimeSourceName(exported.exported.timeSource));
  return CheckResults(run, mp4Path, exported);
}

// 8. Checks: the recording's index agrees with its data, the MP4 reads back
// with every picture, and the length fits recording + pre-record.
bool CDemo::CheckResults(SRun& run, const std::string& mp4Path, const SExportOutcome& exported) {
  Step("Check the results");
  const auto& s = exported.summary;
  m_out.Text("      recording: " + std::to_string(s.frames) + " frames, " +
             (s.Consistent() ? "index consistent with data" : "INCONSISTENT"));
  if (!s.Consistent()) return Fail("the recording is not consistent: " + s.problems.front());
  SMp4Probe probe;
  std::string error;
  if (!ProbeMp4(mp4Path, probe, error)) return Fail(error);
  m_out.Text("      MP4: " + std::to_string(probe.packets) + " video packets, " +
             std::to_string(probe.width) + "x" + std::to_string(probe.height) + ", " +
             Fixed(probe.seconds, 1) + " s, " + probe.codec);
  if (probe.packets != exported.exported.pictures)
    return Fail("the MP4 holds " + std::to_string(probe.packets) + " pictures, not " +
                std::to_string(exported.exported.pictures));
  // The recording's span by its own times: the recorded time plus the
  // pre-record, which begins at a key frame up to a group of pictures
  // earlier; and not one picture missing in between.
  const double videoSeconds = exported.exported.durationSeconds;
  const double expected = run.recorded.seconds + m_options.preSeconds;
  const double low = expected - 1.0;
  const double high = expected + kGroupSeconds + 1.0;
  const bool plausible = videoSeconds >= low && videoSeconds <= high;
  m_out.Text("      span " + Fixed(videoSeconds, 2) + " s for " + Fixed(run.recorded.seconds, 1) +
             " s recorded after " + Fixed(m_options.preSeconds, 1) +
             " s of pre-record: " + (plausible ? "as expected" : "OUT OF RANGE") + "; " +
             (s.holeCount == 0 ? std::string("no holes") : std::to_string(s.holeCount) + " HOLES"));
  if (!plausible)
    return Fail("the recording spans " + Fixed(videoSeconds, 2) + " s, not " + Fixed(low, 1) +
                " to " + Fixed(high, 1) + " s");
  if (s.holeCount > 0) {
    const qnvrec::SHole& h = s.holes.front();
    return Fail("the recording has " + std::to_string(s.holeCount) + " holes, the first at frame " +
                std::to_string(h.frame));
  }
  m_json.Uint("recordingFrames", s.frames)
      .Uint("pictures", exported.exported.pictures)
      .Number("videoSeconds", videoSeconds)
      .Uint("holes", s.holeCount);
  return true;
}

// The files written, and the JSON summary.
int CDemo::Report(double seconds) {
  m_out.Text("");
  m_out.Text("Every step succeeded in " + Fixed(seconds, 1) + " s. Files written:");
  std::vector<std::string> files;
  for (const auto& [path, what] : m_files) {
    uint64_t bytes = 0;
    std::string error;
    RegularFileSize(path, bytes, error);
    char line[512];
    std::snprintf(line, sizeof line, "  %-36s %10llu bytes  %s", path.c_str(),
                  static_cast<unsigned long long>(bytes), what.c_str());
    m_out.Text(line);
    files.push_back(
        CJsonObject().String("path", path).Uint("bytes", bytes).String("what", what).Text());
  }
  m_json.Number("seconds", seconds).Raw("files", CJsonObject::Array(files));
  return m_out.Done(m_json);
}

}  // namespace qnvctl
