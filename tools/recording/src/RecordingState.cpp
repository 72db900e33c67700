#include "qnvrecording/RecordingState.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "qnvrecording/SummaryFormat.h"

namespace qnvrec {
namespace {

// The number after "\"key\":" in a one-line object of ours.
bool NumberField(std::string_view text, std::string_view key, uint64_t& value) {
  const std::string k = "\"" + std::string(key) + "\":";
  const size_t at = text.find(k);
  if (at == std::string_view::npos) return false;
  size_t i = at + k.size();
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + uint64_t(text[i] - '0');
  }
  return true;
}

bool StringField(std::string_view text, std::string_view key, std::string& value) {
  const std::string k = "\"" + std::string(key) + "\":\"";
  const size_t at = text.find(k);
  if (at == std::string_view::npos) return false;
  value.clear();
  for (size_t i = at + k.size(); i < text.size(); ++i) {
    if (text[i] == '"') return true;
    if (text[i] == '\\' && i + 1 < text.size()) {
      ++i;
      if (text[i] == 'u' && i + 4 < text.size()) {
        value += char(std::strtol(std::string(text.substr(i + 1, 4)).c_str(), nullptr, 16));
        i += 4;
        continue;
      }
      value += text[i] == 'n' ? '\n' : text[i] == 't' ? '\t' : text[i] == 'r' ? '\r' : text[i];
      continue;
    }
    value += text[i];
  }
  return false;
}

}  // namespace

const char* StateName(ERecordingState state) {
  switch (state) {
    case ERecordingState::kConsistent:
      return "consistent";
    case ERecordingState::kOpen:
      return "open";
    case ERecordingState::kRepaired:
      return "repaired";
    case ERecordingState::kDamaged:
      return "damaged";
  }
  return "damaged";
}

std::string RepairNotePathFor(const std::string& dataPath) {
  const size_t slash = dataPath.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = dataPath.rfind('.');
  if (dot == std::string::npos || dot < nameStart) return dataPath + kRepairNoteExtension;
  return dataPath.substr(0, dot) + kRepairNoteExtension;
}

std::string RepairNoteText(const SRepairNote& n) {
  return "{\"repaired\":" + std::to_string(n.repairedUnix) +
         ",\"frames\":" + std::to_string(n.frames) +
         ",\"dropped_frames\":" + std::to_string(n.droppedFrames) +
         ",\"dropped_data_bytes\":" + std::to_string(n.droppedDataBytes) +
         ",\"dropped_index_bytes\":" + std::to_string(n.droppedIndexBytes) +
         ",\"released_bytes\":" + std::to_string(n.releasedBytes) +
         ",\"reason\":" + JsonString(n.reason, true) + "}\n";
}

bool ParseRepairNote(std::string_view text, SRepairNote& note) {
  SRepairNote n;
  uint64_t when = 0;
  if (text.empty() || text[0] != '{' || !NumberField(text, "repaired", when) ||
      !NumberField(text, "frames", n.frames)) {
    return false;
  }
  n.repairedUnix = int64_t(when);
  NumberField(text, "dropped_frames", n.droppedFrames);
  NumberField(text, "dropped_data_bytes", n.droppedDataBytes);
  NumberField(text, "dropped_index_bytes", n.droppedIndexBytes);
  NumberField(text, "released_bytes", n.releasedBytes);
  StringField(text, "reason", n.reason);
  note = std::move(n);
  return true;
}

bool ReadRepairNote(const std::string& dataPath, SRepairNote& note) {
  const std::string path = RepairNotePathFor(dataPath);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  std::string text;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < 4096) {
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) text.assign(buffer, size_t(n));
  }
  ::close(fd);
  return ParseRepairNote(text, note);
}

bool TakeWriterLock(int fd) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool WriterHoldsLock(int fd) {
  while (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
    if (errno != EINTR) return errno == EWOULDBLOCK;
  }
  return false;
}

}  // namespace qnvrec
