#include "integrations/StatusFile.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "cameras/CameraFault.h"
#include "qnvrecording/SummaryFormat.h"

namespace qnvrecorder {
namespace {

std::string Json(const std::string& text) { return qnvrec::JsonString(text, true); }

// A value of the file's one-line objects (our own output: strings escape
// quotes, backslashes, control characters and bytes from 0x7F up as \uXXXX).
std::string Field(const std::string& line, const char* name) {
  const std::string key = std::string("\"") + name + "\": ";
  size_t at = line.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  std::string value;
  if (at >= line.size() || line[at] != '"') {
    while (at < line.size() && line[at] != ',' && line[at] != '}') value += line[at++];
    return value;
  }
  for (++at; at < line.size() && line[at] != '"'; ++at) {
    if (line[at] == '\\' && at + 1 < line.size()) {
      ++at;
      if (line[at] == 'u' && at + 4 < line.size()) {
        const long c = std::strtol(line.substr(at + 1, 4).c_str(), nullptr, 16);
        value += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
        at += 4;
        continue;
      }
      value += line[at] == 'n' || line[at] == 'r' || line[at] == 't' ? ' ' : line[at];
      continue;
    }
    value += line[at];
  }
  return value;
}

std::string UtcText(int64_t unixSeconds) {
  if (unixSeconds <= 0) return "-";
  const time_t t = static_cast<time_t>(unixSeconds);
  tm utc{};
  gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  return text;
}

}  // namespace

std::string StatusJson(const SStatusHeader& h, const std::vector<SCameraStatus>& cameras) {
  std::string json = "{\"pid\": " + std::to_string(h.pid) + ", \"instance\": " + Json(h.instance) +
                     ", \"written\": " + std::to_string(h.writtenUnix) +
                     ", \"disk_full\": " + (h.diskFull ? "true" : "false") +
                     ", \"disk_free_bytes\": " + std::to_string(h.diskFreeBytes) +
                     ", \"mp4_skipped\": " + std::to_string(h.mp4Skipped) +
                     ", \"mqtt\": " + Json(h.mqtt) +
                     ", \"mqtt_dropped\": " + std::to_string(h.mqttDropped) + ", \"cameras\": [\n";
  bool first = true;
  for (const SCameraStatus& s : cameras) {
    json += std::string(first ? "" : ",\n") + "  {\"name\": " + Json(s.name) +
            ", \"state\": " + Json(s.state) + ", \"since\": " + std::to_string(s.sinceUnix) +
            ", \"reason\": " + Json(FaultCode(s.fault.kind)) +
            ", \"last_error\": " + Json(s.lastError) +
            ", \"last_frame_ms\": " + std::to_string(s.lastFrameUnixMs) +
            ", \"bytes_today\": " + std::to_string(s.bytesToday) +
            ", \"reconnects\": " + std::to_string(s.reconnects) +
            ", \"pictures\": " + std::to_string(s.pictures) +
            ", \"key_pictures\": " + std::to_string(s.keyPictures) +
            ", \"segment\": " + Json(s.segment) + "}";
    first = false;
  }
  return json + "\n]}\n";
}

bool PrintStatusFile(const std::string& path, bool running, std::string& error) {
  std::ifstream in(path);
  std::string header;
  if (!in || !std::getline(in, header) || header.rfind("{\"pid\": ", 0) != 0) {
    error = "no status in " + path + " (is a recorder writing there?)";
    return false;
  }
  const long age = static_cast<long>(time(nullptr)) - std::atol(Field(header, "written").c_str());
  const double freeMiB = std::atof(Field(header, "disk_free_bytes").c_str()) / 1048576.0;
  std::printf("instance %s: pid %s %s, status written %ld s ago, %.0f MiB free%s\n",
              Field(header, "instance").c_str(), Field(header, "pid").c_str(),
              running ? "running" : "NOT RUNNING", age, freeMiB,
              Field(header, "disk_full") == "true" ? ", DISK FULL (recording paused)" : "");
  if (const std::string mqtt = Field(header, "mqtt"); !mqtt.empty()) {
    std::printf("mqtt: %s, %s message(s) dropped while the broker was away\n", mqtt.c_str(),
                Field(header, "mqtt_dropped").c_str());
  }
  std::printf("%-16s %-10s %-20s %-20s %12s %5s  %s\n", "CAMERA", "STATE", "SINCE (UTC)",
              "LAST FRAME (UTC)", "BYTES TODAY", "RECON", "SEGMENT, OR WHY IT IS DOWN");
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("\"name\"") == std::string::npos) continue;
    const long long ms = std::atoll(Field(line, "last_frame_ms").c_str());
    const std::string state = Field(line, "state");
    const std::string reason = Field(line, "reason");
    std::string last = Field(line, "segment");
    if (!reason.empty()) {
      last = reason + ": " + Field(line, "last_error");
    } else if (last.empty() && !Field(line, "last_error").empty()) {
      last = "(last error: " + Field(line, "last_error") + ")";
    }
    std::printf("%-16s %-10s %-20s %-20s %12s %5s  %s\n", Field(line, "name").c_str(),
                state.c_str(), UtcText(std::atoll(Field(line, "since").c_str())).c_str(),
                UtcText(ms / 1000).c_str(), Field(line, "bytes_today").c_str(),
                Field(line, "reconnects").c_str(), last.c_str());
  }
  return true;
}

}  // namespace qnvrecorder
