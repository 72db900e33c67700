#include "qnvrecording/SummaryFormat.h"

#include <cstdio>

namespace qnvrec {

namespace {

std::string Fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string N(uint64_t v) { return std::to_string(v); }

}  // namespace

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

std::string SummaryText(const SRecordingSummary& s, double fps, const SExportResult* exported,
                        const std::string& outputPath) {
  std::string t;
  t += "recording:  " + s.dataPath + "\n";
  t += "index:      " + s.indexPath + "\n";
  t += "frames:     " + N(s.frames) + " (" + N(s.keyFrames) + " key frames, " + N(s.pictures) +
       " pictures)\n";
  t += "duration:   " + Fixed(double(s.pictures) / fps, 3) + " s at " + Fixed(fps, 3) + " fps\n";
  t += "size:       " + N(s.dataFileBytes) + " bytes data, " + N(s.indexFileBytes) +
       " bytes index\n";
  if (s.Consistent()) {
    t += "state:      consistent\n";
  } else {
    t += "state:      damaged, recovered up to frame " + N(s.frames) + "\n";
    t += "dropped:    " + N(s.droppedFrames) + " frames, " + N(s.droppedDataBytes) +
         " data bytes, " + N(s.droppedIndexBytes) + " index bytes\n";
    for (const std::string& p : s.problems) t += "reason:     " + p + "\n";
  }
  if (exported != nullptr) {
    t += "exported:   " + outputPath + ": " + N(exported->pictures) + " pictures (" +
         N(exported->keyPictures) + " IDR), " + N(exported->bytes) + " bytes, from frame " +
         N(exported->firstFrame) + " (" + N(exported->skippedFrames) +
         " frames before the first decodable picture skipped)\n";
  }
  return t;
}

std::string SummaryJson(const SRecordingSummary& s, double fps, const SExportResult* exported,
                        const std::string& outputPath) {
  std::string j = "{";
  j += "\"data\":" + JsonString(s.dataPath);
  j += ",\"index\":" + JsonString(s.indexPath);
  j += ",\"frames\":" + N(s.frames);
  j += ",\"keyFrames\":" + N(s.keyFrames);
  j += ",\"pictures\":" + N(s.pictures);
  j += ",\"fps\":" + Fixed(fps, 3);
  j += ",\"durationSeconds\":" + Fixed(double(s.pictures) / fps, 3);
  j += ",\"dataBytes\":" + N(s.dataFileBytes);
  j += ",\"indexBytes\":" + N(s.indexFileBytes);
  j += std::string(",\"consistent\":") + (s.Consistent() ? "true" : "false");
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
         ",\"skippedFrames\":" + N(exported->skippedFrames) + "}";
  }
  return j + "}\n";
}

}  // namespace qnvrec
