#include "storage/SegmentNames.h"

#include <cstdio>

#include "qnvrecording/RecordingState.h"
#include "qnvrecording/TimeText.h"

namespace qnvrecorder {
namespace {

bool Digits(std::string_view text, size_t at, size_t n, int& value) {
  if (at + n > text.size()) return false;
  value = 0;
  for (size_t i = at; i < at + n; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

// "HHMMSS" or "HHMMSS-N"; seconds may be 60 (a leap second).
bool ParseStem(std::string_view stem, int& secondOfDay, unsigned& suffix) {
  int h, m, s;
  if (!Digits(stem, 0, 2, h) || !Digits(stem, 2, 2, m) || !Digits(stem, 4, 2, s) || h > 23 ||
      m > 59 || s > 60) {
    return false;
  }
  secondOfDay = h * 3600 + m * 60 + s;
  suffix = 0;
  if (stem.size() == 6) return true;
  if (stem[6] != '-' || stem.size() < 8 || stem.size() > 11 || stem[7] == '0') return false;
  int n;
  if (!Digits(stem, 7, stem.size() - 7, n)) return false;
  suffix = static_cast<unsigned>(n);
  return true;
}

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

constexpr std::string_view kPartMarker = ".mp4.part-";
constexpr size_t kPartRandom = 6;  // mkstemp's XXXXXX

}  // namespace

std::string DateFolderName(time_t when) { return qnvrec::DayText(int64_t(when) * 1000000, true); }

std::string StemName(time_t when, unsigned suffix) {
  tm utc{};
  gmtime_r(&when, &utc);
  char text[32];
  std::snprintf(text, sizeof text, "%02d%02d%02d", utc.tm_hour, utc.tm_min, utc.tm_sec);
  return suffix == 0 ? std::string(text) : std::string(text) + "-" + std::to_string(suffix);
}

std::string SegmentFileName(const std::string& stem, ESegmentFile kind) {
  switch (kind) {
    case ESegmentFile::kData:
      return stem + kSegmentExtension;
    case ESegmentFile::kIndex:
      return stem + kIndexExtension;
    case ESegmentFile::kMp4:
      return stem + kMp4Extension;
    case ESegmentFile::kRepairNote:
      return stem + qnvrec::kRepairNoteExtension;
    case ESegmentFile::kMp4Part:
      break;
  }
  return std::string();
}

bool IsDateFolderName(std::string_view name) {
  int y, m, d;
  if (name.size() != 10 || name[4] != '-' || name[7] != '-' || !Digits(name, 0, 4, y) ||
      !Digits(name, 5, 2, m) || !Digits(name, 8, 2, d) || y < 1970 || m < 1 || m > 12 || d < 1) {
    return false;
  }
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d <= (m == 2 && !leap ? 28 : kDays[m - 1]);
}

bool ParseSegmentFileName(std::string_view name, std::string& stem, ESegmentFile& kind) {
  int second;
  unsigned suffix;
  if (!name.empty() && name[0] == '.') {
    // ".STEM.mp4.part-XXXXXX": an MP4 copy that a crash left unfinished.
    const size_t marker = name.find(kPartMarker);
    if (marker == std::string_view::npos ||
        name.size() != marker + kPartMarker.size() + kPartRandom)
      return false;
    for (char c : name.substr(marker + kPartMarker.size())) {
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
        return false;
    }
    const std::string_view s = name.substr(1, marker - 1);
    if (!ParseStem(s, second, suffix)) return false;
    stem = std::string(s);
    kind = ESegmentFile::kMp4Part;
    return true;
  }
  struct {
    std::string_view ext;
    ESegmentFile kind;
  } const kinds[] = {{kSegmentExtension, ESegmentFile::kData},
                     {kIndexExtension, ESegmentFile::kIndex},
                     {kMp4Extension, ESegmentFile::kMp4},
                     {qnvrec::kRepairNoteExtension, ESegmentFile::kRepairNote}};
  for (const auto& k : kinds) {
    if (!EndsWith(name, k.ext)) continue;
    const std::string_view s = name.substr(0, name.size() - k.ext.size());
    if (!ParseStem(s, second, suffix)) return false;
    stem = std::string(s);
    kind = k.kind;
    return true;
  }
  return false;
}

uint64_t StemOrder(std::string_view stem) {
  int second;
  unsigned suffix;
  if (!ParseStem(stem, second, suffix)) return 0;
  return uint64_t(second) * (kMaxStemSuffix + 1) + suffix + 1;
}

int64_t NextBoundaryMs(int64_t unixMs, int segmentSeconds) {
  const int64_t length = int64_t(segmentSeconds) * 1000;
  return (unixMs / length + 1) * length;
}

}  // namespace qnvrecorder
