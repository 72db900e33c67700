#include "qnvrecording/CRangeExporter.h"

#include <climits>
#include <cmath>
#include <functional>

#include "qnvrecording/CAccessUnitBuilder.h"
#include "qnvrecording/CRecordingReader.h"
#include "qnvrecording/H264Nal.h"

namespace qnvrec {
namespace {

// The MP4's clock, as the single-file export uses for capture times.
constexpr int64_t kClock = 90000;
// A step between pictures over this many intervals is a hole.
constexpr double kHoleIntervals = 3.0;

int64_t ToClock(int64_t us) { return us * kClock / 1000000; }

// The first frame of the last run of key frames (parameter sets and the IDR
// picture) whose capture time is at or before fromUs; 0 when there is none.
// Reads only the index.
bool KeyRunBefore(CRecordingReader& reader, int64_t fromUs, uint64_t& frame, std::string& error) {
  frame = 0;
  if (!reader.Rewind(error)) return false;
  SFrame f;
  bool previousKey = false;
  while (reader.NextRecord(f, error)) {
    const bool key = f.record.Kind() == SIndexRecord::kKindKey;
    if (key && !previousKey) {
      if (int64_t(f.StampUs()) > fromUs) break;
      frame = f.index;
    }
    previousKey = key;
  }
  return error.empty() && reader.Rewind(error);
}

}  // namespace

bool CRangeExporter::Run(SRangeResult& result, std::string& error, const Progress& progress) {
  result = SRangeResult{};
  bool started = false, stop = false, failed = false;
  int64_t origin = 0, lastStamp = INT64_MIN, lastPts = -1;
  double interval = 0;
  std::vector<uint8_t> sps, pps, body;
  std::string writeError;
  bool needKey = true;
  auto cancelled = [this] {
    return m_options.cancel != nullptr && m_options.cancel->load(std::memory_order_relaxed);
  };

  for (size_t i = 0; i < m_segments.size() && !stop; ++i) {
    if (cancelled()) break;
    const SRangeSegment& segment = m_segments[i];
    CRecordingReader reader;
    std::string why;
    if (!reader.Open(segment.path, IndexPathFor(segment.path), why)) {
      result.notes.push_back(why + " (left out)");
      needKey = true;
      continue;
    }
    const SRecordingSummary& s = reader.Summary();
    if (!s.Consistent()) {
      result.notes.push_back(segment.path + ": damaged, used up to frame " +
                             std::to_string(s.frames) + ": " + s.problems.front());
    }
    const bool stamped = s.stampsUsable;
    const double segmentInterval =
        stamped ? s.pictureIntervalUs
                : 1e6 / (s.streamFps > 0 ? s.streamFps : m_options.defaultFps);
    if (interval == 0) interval = segmentInterval;
    const double holeUs = kHoleIntervals * interval;
    uint64_t begin = 0;
    if (!started && stamped && !KeyRunBefore(reader, m_options.fromUs, begin, why)) {
      result.notes.push_back(why + " (left out)");
      continue;
    }
    bool boundary = started;
    uint64_t picture = 0;  // of this segment, for segments timed by their rate
    bool usedThis = false;

    CAccessUnitBuilder builder([&](SAccessUnit& u) {
      const int64_t stamp =
          stamped ? int64_t(u.stampUs)
                  : segment.firstUs + std::llround(double(picture++) * segmentInterval);
      if (stamp >= m_options.toUs) {
        stop = true;
        return false;
      }
      if (started && stamp <= lastStamp) {
        ++result.repeated;
        return true;
      }
      if (boundary) {
        // A segment that does not carry straight on is joined at a key picture.
        boundary = false;
        if (double(stamp - lastStamp) > holeUs) needKey = true;
      }
      if (needKey && !(u.key && !sps.empty() && !pps.empty())) {
        ++result.undecodable;
        return true;
      }
      if (!started) {
        origin = stamp;
        result.keyUs = stamp;
        result.trimmed = m_options.trim && m_options.fromUs > stamp;
        result.startUs = result.trimmed ? m_options.fromUs : stamp;
        result.pictureIntervalUs = interval;
        STimeBase time;
        time.num = 1;
        time.den = int(kClock);
        time.frameDuration = std::max<int64_t>(1, std::llround(interval * double(kClock) / 1e6));
        time.fps = 0;
        m_writer.SetCreationTime(result.startUs);
        if (result.trimmed) m_writer.SetLeadIn(ToClock(m_options.fromUs - stamp));
        if (!m_writer.Begin(SNalRef{sps.data(), sps.size()}, SNalRef{pps.data(), pps.size()}, time,
                            writeError)) {
          failed = true;
          return false;
        }
        result.mimeType = Mp4MimeType(SNalRef{sps.data(), sps.size()});
        started = true;
      } else if (double(stamp - lastStamp) > holeUs) {
        result.holes.push_back(SRangeHole{lastStamp, stamp});
      }
      needKey = false;
      u.pts = ToClock(stamp - origin);
      if (u.pts <= lastPts) u.pts = lastPts + 1;
      lastPts = u.pts;
      if (!m_writer.Write(u, writeError)) {
        failed = true;
        return false;
      }
      ++result.pictures;
      if (u.key) ++result.keyPictures;
      result.bytes += u.annexB.size();
      lastStamp = stamp;
      if (!usedThis) {
        usedThis = true;
        result.used.push_back(segment.path);
      }
      return true;
    });

    SFrame frame;
    std::string readError;
    // The frame's NAL units, keeping the latest parameter sets.
    auto nals = [&](const std::function<bool(const SNalRef&)>& each) {
      const uint8_t* payload;
      size_t length;
      CRecordingReader::Payload(frame, body, payload, length);
      for (const SNalRef& nal : SplitAnnexB(payload, length)) {
        if (nal.Type() == kNalSps) sps.assign(nal.data, nal.data + nal.size);
        if (nal.Type() == kNalPps) pps.assign(nal.data, nal.data + nal.size);
        if (!each(nal)) return;
      }
    };
    // Frames before the key run are passed over by the index alone, but for
    // the parameter sets a stream may send only once, at its start.
    for (uint64_t n = 0; n < begin; ++n) {
      const bool look = (sps.empty() || pps.empty());
      if (look ? !reader.Next(frame, body, readError) : !reader.NextRecord(frame, readError)) break;
      if (look) nals([](const SNalRef&) { return true; });
    }
    while (readError.empty() && !stop && !failed && !cancelled() &&
           reader.Next(frame, body, readError)) {
      nals([&](const SNalRef& nal) { return builder.Add(nal, frame.index, frame.StampUs()); });
    }
    if (!stop && !failed && !cancelled()) builder.Finish();
    result.cutPictures += builder.CutUnits();
    if (failed) {
      error = writeError;
      return false;
    }
    if (!readError.empty()) result.notes.push_back(readError);
    if (!stamped && usedThis) result.captureTimes = false;
    if (progress) progress(i + 1, m_segments.size());
  }
  if (cancelled()) {
    error = "cancelled";
    return false;
  }
  if (!started) {
    error = "nothing to export: no decodable picture between the times asked for";
    return false;
  }
  result.lastUs = lastStamp;
  result.endUs = lastStamp + std::llround(interval);
  return m_writer.Finish(error);
}

}  // namespace qnvrec
