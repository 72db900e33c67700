#include "integrations/StatusFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "cameras/CameraFault.h"
#include "qnvtools/SafeFile.h"

namespace qnvrecorder {
namespace {

using Json = nlohmann::ordered_json;

// Far above any status (64 cameras of a few hundred bytes each).
constexpr size_t kMaxStatusBytes = 4u << 20;

// An object on one line as `{"key": value, ...}`, each value written by
// nlohmann_json: the spacing people and older readers of the file know.
std::string OneLine(const Json& object) {
  std::string line = "{";
  bool first = true;
  for (const auto& [key, value] : object.items()) {
    line += (first ? "" : ", ") + Json(key).dump() + ": " +
            (value.is_object() ? OneLine(value)
                               : value.dump(-1, ' ', true, Json::error_handler_t::replace));
    first = false;
  }
  return line + "}";
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

// A member as text whatever its type ("" when missing).
std::string Text(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return "";
  return it->is_string() ? it->get<std::string>() : it->dump();
}

int64_t Number(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_number() ? it->get<int64_t>() : 0;
}

bool ReadSmall(const std::string& path, std::string& text) {
  qnvtools::UniqueFd fd = qnvtools::OpenRegular(path, O_RDONLY);
  if (!fd.Valid()) return false;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0) return false;
    if (n == 0) return true;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > kMaxStatusBytes) return false;
  }
}

}  // namespace

Json CameraStatusJson(const SCameraStatus& s) {
  return Json{{"name", s.name},
              {"state", s.state},
              {"since", s.sinceUnix},
              {"reason", FaultCode(s.fault.kind)},
              {"last_error", s.lastError},
              {"last_frame_ms", s.lastFrameUnixMs},
              {"bytes_today", s.bytesToday},
              {"reconnects", s.reconnects},
              {"failed_attempts", s.failedAttempts},
              {"pictures", s.pictures},
              {"key_pictures", s.keyPictures},
              {"segment", s.segment}};
}

Json ProcessStatusJson(const SProcessStatus& p) {
  return Json{{"fds", p.fds},
              {"threads", p.threads},
              {"rss_kib", p.rssKiB},
              {"web_connections", p.webConnections},
              {"rtsp_clients", p.rtspClients},
              {"mqtt_queue", p.mqttQueue}};
}

SProcessBounds ProcessBoundsFor(size_t cameras, uint64_t descriptorLimit, uint64_t webConnectionCap,
                                uint64_t rtspConnectionCap, uint64_t mqttOutboxCap) {
  SProcessBounds b;
  b.fds = descriptorLimit * 3 / 4;
  b.threads = 200 + 4 * uint64_t(cameras);
  b.rssKiB = (256 + 8 * uint64_t(cameras)) * 1024;
  b.webConnections = webConnectionCap * 9 / 10;
  b.rtspClients = rtspConnectionCap * 9 / 10;
  b.mqttQueue = mqttOutboxCap / 2;
  return b;
}

std::vector<std::string> OverBounds(const SProcessStatus& p, const SProcessBounds& b) {
  std::vector<std::string> over;
  auto check = [&](const char* what, uint64_t value, uint64_t bound) {
    if (bound > 0 && value > bound)
      over.push_back(std::string(what) + " " + std::to_string(value) + " > " +
                     std::to_string(bound));
  };
  check("descriptors", p.fds, b.fds);
  check("threads", p.threads, b.threads);
  check("resident KiB", p.rssKiB, b.rssKiB);
  check("web connections", p.webConnections, b.webConnections);
  check("RTSP clients", p.rtspClients, b.rtspClients);
  check("queued MQTT messages", p.mqttQueue, b.mqttQueue);
  return over;
}

std::string StatusJson(const SStatusHeader& h, const std::vector<SCameraStatus>& cameras) {
  const Json header{{"pid", h.pid},
                    {"instance", h.instance},
                    {"written", h.writtenUnix},
                    {"disk_full", h.diskFull},
                    {"disk_free_bytes", h.diskFreeBytes},
                    {"mp4_skipped", h.mp4Skipped},
                    {"mqtt", h.mqtt},
                    {"mqtt_dropped", h.mqttDropped},
                    {"process", ProcessStatusJson(h.process)}};
  std::string json = OneLine(header);
  json.pop_back();  // the cameras follow inside the same object
  json += ", \"cameras\": [\n";
  bool first = true;
  for (const SCameraStatus& s : cameras) {
    json += std::string(first ? "" : ",\n") + "  " + OneLine(CameraStatusJson(s));
    first = false;
  }
  return json + "\n]}\n";
}

bool PrintStatusFile(const std::string& path, bool running, std::string& error) {
  std::string text;
  nlohmann::json status;
  if (ReadSmall(path, text)) status = nlohmann::json::parse(text, nullptr, false);
  if (!status.is_object() || !status.contains("pid")) {
    error = "no status in " + path + " (is a recorder writing there?)";
    return false;
  }
  const long age = static_cast<long>(time(nullptr) - Number(status, "written"));
  const double freeMiB = static_cast<double>(Number(status, "disk_free_bytes")) / 1048576.0;
  std::printf("instance %s: pid %s %s, status written %ld s ago, %.0f MiB free%s\n",
              Text(status, "instance").c_str(), Text(status, "pid").c_str(),
              running ? "running" : "NOT RUNNING", age, freeMiB,
              Text(status, "disk_full") == "true" ? ", DISK FULL (recording paused)" : "");
  if (const std::string mqtt = Text(status, "mqtt"); !mqtt.empty()) {
    std::printf("mqtt: %s, %s message(s) dropped while the broker was away\n", mqtt.c_str(),
                Text(status, "mqtt_dropped").c_str());
  }
  if (const auto p = status.find("process"); p != status.end() && p->is_object()) {
    std::printf(
        "process: %s descriptors, %s threads, %.1f MiB resident, %s web connection(s), "
        "%s RTSP client(s), %s MQTT message(s) queued\n",
        Text(*p, "fds").c_str(), Text(*p, "threads").c_str(),
        static_cast<double>(Number(*p, "rss_kib")) / 1024.0, Text(*p, "web_connections").c_str(),
        Text(*p, "rtsp_clients").c_str(), Text(*p, "mqtt_queue").c_str());
  }
  std::printf("%-16s %-10s %-20s %-20s %12s %5s  %s\n", "CAMERA", "STATE", "SINCE (UTC)",
              "LAST FRAME (UTC)", "BYTES TODAY", "RECON", "SEGMENT, OR WHY IT IS DOWN");
  const auto cameras = status.find("cameras");
  if (cameras == status.end() || !cameras->is_array()) return true;
  for (const nlohmann::json& c : *cameras) {
    if (!c.is_object()) continue;
    const std::string reason = Text(c, "reason");
    std::string last = Text(c, "segment");
    if (!reason.empty()) {
      last = reason + ": " + Text(c, "last_error");
      if (const int64_t attempts = Number(c, "failed_attempts"); attempts > 0)
        last += " (" + std::to_string(attempts) + " failed attempt(s) in this outage)";
    } else if (last.empty() && !Text(c, "last_error").empty()) {
      last = "(last error: " + Text(c, "last_error") + ")";
    }
    std::printf("%-16s %-10s %-20s %-20s %12s %5s  %s\n", Text(c, "name").c_str(),
                Text(c, "state").c_str(), UtcText(Number(c, "since")).c_str(),
                UtcText(Number(c, "last_frame_ms") / 1000).c_str(), Text(c, "bytes_today").c_str(),
                Text(c, "reconnects").c_str(), last.c_str());
  }
  return true;
}

}  // namespace qnvrecorder
