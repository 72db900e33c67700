#include "qnvrecording/CExporter.h"

#include <cmath>

#include "qnvrecording/CAccessUnitBuilder.h"
#include "qnvrecording/H264Nal.h"

namespace qnvrec {

namespace {
// Capture times are counted in the MP4's usual 90 kHz clock.
constexpr int kStampClock = 90000;
}  // namespace

const char* TimeSourceName(ETimeSource source) {
  switch (source) {
    case ETimeSource::kCaptureTimes:
      return "capture times";
    case ETimeSource::kStreamTiming:
      return "stream timing";
    case ETimeSource::kFrameRate:
      break;
  }
  return "frame rate";
}

STimeBase ExportTimeBase(const SRecordingSummary& s, const SExportOptions& options,
                         ETimeSource& source) {
  STimeBase t;
  double fps = options.defaultFps;
  source = ETimeSource::kFrameRate;
  if (options.fps > 0) {
    fps = options.fps;
  } else if (s.stampsUsable) {
    source = ETimeSource::kCaptureTimes;
    t.num = 1;
    t.den = kStampClock;
    t.frameDuration = std::max<int64_t>(1, std::llround(s.pictureIntervalUs * kStampClock / 1e6));
    t.fps = 0;
    return t;
  } else if (s.streamFps > 0) {
    source = ETimeSource::kStreamTiming;
    fps = s.streamFps;
  }
  // One unit per picture: num/den is the picture interval.
  const double den = std::round(fps * 1000);
  t.num = 1000;
  t.den = int(den > 0 ? den : 25000);
  t.frameDuration = 1;
  t.fps = fps;
  return t;
}

bool CExporter::Run(SExportResult& result, std::string& error, const Progress& progress) {
  result = SExportResult{};
  const STimeBase time = ExportTimeBase(m_reader.Summary(), m_options, result.timeSource);
  const bool stamped = result.timeSource == ETimeSource::kCaptureTimes;
  std::string writeError;
  uint64_t firstStamp = 0;
  int64_t lastPts = -1;
  CAccessUnitBuilder builder([&](SAccessUnit& u) {
    const SAccessUnit& unit = u;
    if (stamped) {
      if (result.pictures == 0) firstStamp = unit.stampUs;
      u.pts = unit.stampUs >= firstStamp
                  ? int64_t((unit.stampUs - firstStamp) * kStampClock / 1000000)
                  : lastPts + 1;
    } else {
      u.pts = int64_t(result.pictures);
    }
    if (u.pts <= lastPts) u.pts = lastPts + 1;
    lastPts = u.pts;
    if (!m_writer.Write(unit, writeError)) return false;
    ++result.pictures;
    if (unit.key) ++result.keyPictures;
    result.bytes += unit.annexB.size();
    return true;
  });

  std::vector<uint8_t> sps, pps, body;
  bool started = false;
  const uint64_t total = m_reader.FrameCount();
  if (!m_reader.Rewind(error)) return false;
  SFrame frame;
  while (m_reader.Next(frame, body, error)) {
    const uint64_t i = frame.index;
    const uint8_t* payload;
    size_t length;
    CRecordingReader::Payload(frame, body, payload, length);
    for (const SNalRef& nal : SplitAnnexB(payload, length)) {
      if (!started) {
        // Until the first IDR that can be decoded, only parameter sets matter.
        if (nal.Type() == kNalSps) sps.assign(nal.data, nal.data + nal.size);
        if (nal.Type() == kNalPps) pps.assign(nal.data, nal.data + nal.size);
        if (nal.Type() != kNalIdr || sps.empty() || pps.empty()) continue;
        const SNalRef spsRef{sps.data(), sps.size()}, ppsRef{pps.data(), pps.size()};
        if (!m_writer.Begin(spsRef, ppsRef, time, error)) return false;
        started = true;
        result.firstFrame = i;
        result.skippedFrames = i;
        builder.Add(spsRef, i, frame.StampUs());
        builder.Add(ppsRef, i, frame.StampUs());
      }
      if (!builder.Add(nal, i, frame.StampUs())) {
        error = writeError;
        return false;
      }
    }
    if (progress && (i % 256 == 0 || i + 1 == total)) progress(i + 1, total);
  }
  if (!error.empty()) return false;
  if (!started) {
    error = "nothing to export: no IDR picture with its SPS and PPS in " + std::to_string(total) +
            " frames";
    return false;
  }
  if (!builder.Finish()) {
    error = writeError;
    return false;
  }
  result.cutPictures = builder.CutUnits();
  result.durationSeconds =
      double(lastPts + time.frameDuration) * double(time.num) / double(time.den);
  return m_writer.Finish(error);
}

}  // namespace qnvrec
