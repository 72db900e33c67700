#include "qnvrecording/SummaryFormat.h"

#include <cstdio>

#include "qnvrecording/TimeText.h"

namespace qnvrec {

namespace {

std::string Fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string N(uint64_t v) { return std::to_string(v); }

std::string HoleText(const SHole& h) {
  if (h.counter) {
    return "frame " + N(h.frame) + ": frame counter jumps from " + N(h.before) + " to " +
           N(h.after);
  }
  return "frame " + N(h.frame) + ": " + Fixed(double(h.after - h.before) / 1e6, 3) +
         " s between pictures";
}

}  // namespace

double RecordingSeconds(const SRecordingSummary& s, const SExportOptions& options,
                        ETimeSource& source) {
  const STimeBase t = ExportTimeBase(s, options, source);
  if (source == ETimeSource::kCaptureTimes) {
    return double(s.lastStampUs - s.firstStampUs + uint64_t(s.pictureIntervalUs)) / 1e6;
  }
  return double(s.pictures) / t.fps;
}

std::string JsonString(std::string_view text, bool asciiOnly) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || (asciiOnly && c >= 0x7F)) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += char(c);
        }
    }
  }
  return out + "\"";
}

std::string SummaryText(const SRecordingSummary& s, const SExportOptions& options,
                        const SExportResult* exported, const std::string& outputPath) {
  ETimeSource source;
  const double seconds = RecordingSeconds(s, options, source);
  std::string t;
  t += "recording:  " + s.dataPath + "\n";
  t += "index:      " + s.indexPath + "\n";
  t += "frames:     " + N(s.frames) + " (" + N(s.keyFrames) + " key frames, " + N(s.pictures) +
       " pictures)\n";
  t += "duration:   " + Fixed(seconds, 3) + " s (" + TimeSourceName(source) + ")\n";
  if (s.firstStampUs != 0) {
    t += "captured:   " + UtcText(int64_t(s.firstStampUs)) + " .. " +
         UtcText(int64_t(s.lastStampUs)) + " (first and last picture" +
         (s.stampsUsable ? "" : "; the times are not plausible throughout") + ")\n";
  }
  if (s.holeCount == 0) {
    t += "holes:      none\n";
  } else {
    t += "holes:      " + N(s.holeCount) + "\n";
    for (const SHole& h : s.holes) t += "hole:       " + HoleText(h) + "\n";
  }
  t += "size:       " + N(s.dataFileBytes) + " bytes data, " + N(s.indexFileBytes) +
       " bytes index\n";
  if (s.State() == ERecordingState::kOpen) {
    t += "state:      open (being written: its writer holds the lock; " + N(s.frames) +
         " frames so far)\n";
  } else if (s.State() == ERecordingState::kRepaired) {
    t += "state:      repaired (cut back to its last whole frame after it was cut short)\n";
    t += "repaired:   " + N(s.repair.droppedFrames) + " frames, " + N(s.repair.droppedDataBytes) +
         " data bytes, " + N(s.repair.droppedIndexBytes) + " index bytes dropped; " +
         N(s.repair.releasedBytes) + " reserved bytes released; " + s.repair.reason + "\n";
  } else if (s.Consistent()) {
    t += "state:      consistent\n";
  } else {
    t += "state:      damaged, recovered up to frame " + N(s.frames) + "\n";
    t += "dropped:    " + N(s.droppedFrames) + " frames, " + N(s.droppedDataBytes) +
         " data bytes, " + N(s.droppedIndexBytes) + " index bytes\n";
    for (const std::string& p : s.problems) t += "reason:     " + p + "\n";
  }
  if (exported != nullptr) {
    if (exported->cutPictures > 0) {
      t += "cut:        " + N(exported->cutPictures) + " pictures over " + N(kMaxAccessUnitBytes) +
           " bytes were cut short\n";
    }
    t += "exported:   " + outputPath + ": " + N(exported->pictures) + " pictures (" +
         N(exported->keyPictures) + " IDR), " + N(exported->bytes) + " bytes, from frame " +
         N(exported->firstFrame) + " (" + N(exported->skippedFrames) +
         " frames before the first decodable picture skipped)\n";
  }
  return t;
}

std::string SummaryJson(const SRecordingSummary& s, const SExportOptions& options,
                        const SExportResult* exported, const std::string& outputPath) {
  ETimeSource source;
  const double seconds = RecordingSeconds(s, options, source);
  std::string j = "{";
  j += "\"data\":" + JsonString(s.dataPath);
  j += ",\"index\":" + JsonString(s.indexPath);
  j += ",\"frames\":" + N(s.frames);
  j += ",\"keyFrames\":" + N(s.keyFrames);
  j += ",\"pictures\":" + N(s.pictures);
  j += ",\"durationSeconds\":" + Fixed(seconds, 3);
  j += ",\"timeSource\":" + JsonString(TimeSourceName(source));
  j += ",\"firstCaptureUtc\":" +
       (s.firstStampUs != 0 ? JsonString(UtcText(int64_t(s.firstStampUs))) : "null");
  j += ",\"lastCaptureUtc\":" +
       (s.firstStampUs != 0 ? JsonString(UtcText(int64_t(s.lastStampUs))) : "null");
  j += ",\"holeCount\":" + N(s.holeCount);
  j += ",\"holes\":[";
  for (size_t i = 0; i < s.holes.size(); ++i) {
    const SHole& h = s.holes[i];
    j += std::string(i ? "," : "") + "{\"frame\":" + N(h.frame) +
         ",\"kind\":" + (h.counter ? "\"counter\"" : "\"time\"") + ",\"before\":" + N(h.before) +
         ",\"after\":" + N(h.after) + "}";
  }
  j += "]";
  j += ",\"dataBytes\":" + N(s.dataFileBytes);
  j += ",\"indexBytes\":" + N(s.indexFileBytes);
  j += std::string(",\"consistent\":") + (s.Consistent() ? "true" : "false");
  j += std::string(",\"state\":") + JsonString(StateName(s.State()));
  if (s.repaired) {
    std::string note = RepairNoteText(s.repair);
    note.pop_back();  // its line end
    j += ",\"repair\":" + note;
  }
  j += ",\"dropped\":{\"frames\":" + N(s.droppedFrames) +
       ",\"dataBytes\":" + N(s.droppedDataBytes) + ",\"indexBytes\":" + N(s.droppedIndexBytes) +
       "}";
  j += ",\"problems\":[";
  for (size_t i = 0; i < s.problems.size(); ++i) j += (i ? "," : "") + JsonString(s.problems[i]);
  j += "]";
  if (exported != nullptr) {
    j += ",\"export\":{\"output\":" + JsonString(outputPath) +
         ",\"pictures\":" + N(exported->pictures) + ",\"keyPictures\":" + N(exported->keyPictures) +
         ",\"bytes\":" + N(exported->bytes) + ",\"firstFrame\":" + N(exported->firstFrame) +
         ",\"skippedFrames\":" + N(exported->skippedFrames) +
         ",\"cutPictures\":" + N(exported->cutPictures) +
         ",\"durationSeconds\":" + Fixed(exported->durationSeconds, 3) +
         ",\"timeSource\":" + JsonString(TimeSourceName(exported->timeSource)) + "}";
  }
  return j + "}\n";
}

}  // namespace qnvrec
