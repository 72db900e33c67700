#include "LiveSteps.h"

#include <chrono>
#include <cstdio>
#include <optional>

#include "CLiveRecording.h"
#include "CProgressLine.h"
#include "Files.h"
#include "FrameHeader.h"
#include "QNVNetSdk.h"
#include "qnvrecording/CRecordingReader.h"

namespace qnvctl {

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A failure of the live connection, or "".
std::string LostConnection(const CStreamWatch& watch) { return watch.LossText(); }

// What the files hold by the capture times of their pictures.
void MeasureVideo(const std::string& path, SRecordOutcome& outcome) {
  qnvrec::CRecordingReader reader;
  std::string error;
  if (!reader.Open(path, outcome.indexPath, error)) return;
  const qnvrec::SRecordingSummary& s = reader.Summary();
  outcome.pictures = s.pictures;
  if (!s.stampsUsable || s.pictures == 0) return;
  outcome.videoSeconds =
      double(s.lastStampUs - s.firstStampUs + uint64_t(s.pictureIntervalUs)) / 1e6;
}

}  // namespace

std::string CameraName(const SConnection& connection) {
  return "camera " + connection.host + ":" + std::to_string(connection.port);
}

uint32_t SetStallSeconds(const CLiveChannel& channel, double seconds) {
  if (seconds <= 0) return QNVNET_OK;
  return QNVNet_LiveSetStallTimeout(channel.handle(), uint32_t(seconds * 1000 + 0.5));
}

std::string VideoHeld(const SRecordOutcome& outcome) {
  const std::string pictures = std::to_string(outcome.pictures) + " pictures";
  if (outcome.videoSeconds < 0) return pictures + " (their capture times cannot tell how long)";
  return CProgressLine::Clock(outcome.videoSeconds) + " of video (" + pictures + ")";
}

uint32_t RecordLive(CLiveChannel& channel, CStreamWatch& watch, CInterruptSignal& interrupt,
                    const std::string& path, double preSeconds, double seconds,
                    const std::string& label, SRecordOutcome& outcome) {
  CProgressLine progress;
  const std::string target = seconds > 0 ? " / " + CProgressLine::Clock(seconds) : "";

  // The channel keeps its most recent video in memory; a recording opened
  // later starts with it, so waiting here puts this stretch into the file.
  // Kept by time and from a key frame on, so the stretch covers preSeconds
  // whatever the bit rate and its first picture decodes.
  if (preSeconds > 0) {
    const double ms = preSeconds * 1000;
    if (ms > 120000) {
      outcome.failure = "--pre-seconds: at most 120 seconds of pre-record";
      return QNVNET_OK;
    }
    if (uint32_t r = QNVNet_LiveSetPreRecord(channel.handle(), uint32_t(ms + 0.5), 0);
        r != QNVNET_OK) {
      outcome.failure = "pre-record setup failed";
      return r;
    }
    // The stretch begins at the first key frame from now on: gather from there.
    const auto start = Clock::now();
    const uint64_t keysBefore = watch.counter.Totals().keyFrames;
    std::optional<Clock::time_point> firstKey;
    while (!firstKey || Since(*firstKey) < preSeconds) {
      if (interrupt.Wait(firstKey ? 100 : 20)) {
        progress.Finish();
        outcome.interrupted = true;
        outcome.failure = "interrupted before the recording started";
        return QNVNET_OK;
      }
      if (auto lost = LostConnection(watch); !lost.empty()) {
        progress.Finish();
        outcome.failure = lost;
        return QNVNET_OK;
      }
      const SFrameTotals t = watch.counter.Totals();
      if (!firstKey && t.keyFrames > keysBefore) firstKey = Clock::now();
      progress.Update(label + "live " + CProgressLine::Clock(Since(start)) + " / " +
                      CProgressLine::Clock(preSeconds) + "  frames " + std::to_string(t.frames) +
                      (firstKey ? " (pre-record)" : " (waiting for a key frame)"));
    }
  }

  CLiveRecording recording;
  if (uint32_t r = recording.Open(channel.handle(), path); r != QNVNET_OK) {
    progress.Finish();
    outcome.failure = "recording open failed";
    return r;
  }
  const SFrameTotals base = watch.counter.Totals();
  const auto start = Clock::now();
  std::string lost;
  for (;;) {
    if (interrupt.Wait(200)) {
      outcome.interrupted = true;
      break;
    }
    lost = LostConnection(watch);
    if (!lost.empty()) break;
    const double elapsed = Since(start);
    const SFrameTotals t = watch.counter.Totals();
    progress.Update(label + "recording " + CProgressLine::Clock(elapsed) + target + "  frames " +
                    std::to_string(t.frames - base.frames) + "  " +
                    CProgressLine::Bytes(t.bytes - base.bytes) + "  key frames " +
                    std::to_string(t.keyFrames - base.keyFrames));
    if (seconds > 0 && elapsed >= seconds) break;
  }
  // Closing flushes and closes both files; only then are they complete.
  const uint32_t closed = recording.Close();
  outcome.seconds = Since(start);
  const SFrameTotals t = watch.counter.Totals();
  outcome.received.frames = t.frames - base.frames;
  outcome.received.bytes = t.bytes - base.bytes;
  outcome.received.keyFrames = t.keyFrames - base.keyFrames;
  progress.Finish(
      label + "recording " + CProgressLine::Clock(outcome.seconds) + "  frames " +
      std::to_string(outcome.received.frames) + "  " +
      CProgressLine::Bytes(outcome.received.bytes) + "  key frames " +
      std::to_string(outcome.received.keyFrames) +
      (outcome.interrupted ? std::string("  (stopped by ") + interrupt.What() + ")" : ""));

  outcome.indexPath = CLiveRecording::IndexPath(path);
  std::string error;
  uint64_t indexBytes = 0;
  RegularFileSize(path, outcome.dataBytes, error);
  RegularFileSize(outcome.indexPath, indexBytes, error);
  outcome.indexRecords = indexBytes / FrameHeader::kSize;
  MeasureVideo(path, outcome);

  if (!lost.empty()) {
    outcome.lost = true;
    outcome.failure = lost;
    return QNVNET_OK;
  }
  if (closed != QNVNET_OK) {
    // The SDK ends a recording by itself after a failed write or at its
    // size limit; its close then finds no recording.
    outcome.failure = closed == QNVNET_ERR_NO_SAVE
                          ? "the recording ended early (a write failed or it reached 1 GiB)"
                          : "recording close failed";
    return closed;
  }
  return QNVNET_OK;
}

uint32_t TakeSnapshot(CLiveChannel& channel, CStreamWatch& watch, const std::string& path,
                      std::string& failure, uint64_t& bytes) {
  // The library decodes from the frames the channel holds, and waits up to
  // 5 s for a key frame when it holds none.
  const uint32_t result = QNVNet_LiveCapture(channel.handle(), path.c_str());
  if (result != QNVNET_OK) {
    if (auto lost = LostConnection(watch); !lost.empty()) {
      failure = lost;
      return QNVNET_OK;
    }
    failure = watch.counter.Totals().keyFrames == 0 ? "no key frame arrived within 5 s"
                                                    : "snapshot failed";
    return result;
  }
  std::string error;
  if (!RegularFileSize(path, bytes, error)) {
    failure = "the snapshot reported success but " + error;
    return QNVNET_OK;
  }
  return QNVNET_OK;
}

}  // namespace qnvctl
