#include "storage/Storage.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace qnvrecorder {
namespace {

bool IsDateFolder(const std::string& name) {
  int y, m, d;
  char tail;
  return name.size() == 10 && std::sscanf(name.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) == 3;
}

}  // namespace

std::string NewSegmentPath(const std::string& root, const std::string& camera, time_t when) {
  tm utc{};
  gmtime_r(&when, &utc);
  char date[16], name[16];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday);
  std::snprintf(name, sizeof name, "%02d%02d%02d", utc.tm_hour, utc.tm_min, utc.tm_sec);
  const std::string folder = root + "/" + camera + "/" + date + "/";
  std::string stem = name;
  std::error_code ec;
  for (int n = 1; fs::exists(folder + stem + kSegmentExtension, ec) ||
                  fs::exists(folder + stem + kIndexExtension, ec);
       ++n) {
    stem = std::string(name) + "-" + std::to_string(n);
  }
  return folder + stem + kSegmentExtension;
}

std::vector<SSegment> ListSegments(const std::string& root) {
  std::map<std::string, SSegment> byStem;
  std::error_code ec;
  for (const auto& cam : fs::directory_iterator(root, ec)) {
    if (!cam.is_directory(ec)) continue;
    const std::string camera = cam.path().filename().string();
    for (const auto& day : fs::directory_iterator(cam.path(), ec)) {
      const std::string date = day.path().filename().string();
      if (!day.is_directory(ec) || !IsDateFolder(date)) continue;
      for (const auto& file : fs::directory_iterator(day.path(), ec)) {
        const std::string ext = file.path().extension().string();
        if (!file.is_regular_file(ec) ||
            (ext != kSegmentExtension && ext != kIndexExtension && ext != kMp4Extension)) {
          continue;
        }
        fs::path stem = file.path();
        stem.replace_extension();
        SSegment& s = byStem[stem.string()];
        s.camera = camera;
        s.key = date + "/" + stem.filename().string();
        s.stemPath = stem.string();
        std::error_code sizeError;
        uint64_t size = file.file_size(sizeError);
        if (!sizeError) s.bytes += size;
        auto written = file.last_write_time(sizeError);
        if (!sizeError) {
          auto system = std::chrono::file_clock::to_sys(written);
          s.modified = std::max(s.modified, std::chrono::system_clock::to_time_t(system));
        }
      }
    }
  }
  std::vector<SSegment> list;
  list.reserve(byStem.size());
  for (auto& [stem, s] : byStem) list.push_back(std::move(s));
  std::sort(list.begin(), list.end(), [](const SSegment& a, const SSegment& b) {
    return a.key != b.key ? a.key < b.key : a.camera < b.camera;
  });
  return list;
}

SRetentionPlan PlanRetention(const std::vector<SSegment>& segments,
                             const std::map<std::string, SRetentionLimits>& perCamera,
                             const SRetentionLimits& defaults, uint64_t overallBytes,
                             const std::set<std::string>& open, time_t now) {
  std::vector<bool> removed(segments.size(), false);
  std::map<std::string, uint64_t> cameraBytes;
  uint64_t total = 0;
  for (const SSegment& s : segments) {
    cameraBytes[s.camera] += s.bytes;
    total += s.bytes;
  }
  auto limits = [&](const std::string& camera) -> const SRetentionLimits& {
    auto it = perCamera.find(camera);
    return it == perCamera.end() ? defaults : it->second;
  };
  auto remove = [&](size_t i) {
    removed[i] = true;
    cameraBytes[segments[i].camera] -= segments[i].bytes;
    total -= segments[i].bytes;
  };
  for (size_t i = 0; i < segments.size(); ++i) {
    const SSegment& s = segments[i];
    if (open.count(s.stemPath)) continue;
    const double days = limits(s.camera).keepDays;
    if (days > 0 && static_cast<double>(now - s.modified) > days * 86400.0) remove(i);
  }
  for (size_t i = 0; i < segments.size(); ++i) {
    const SSegment& s = segments[i];
    const uint64_t budget = limits(s.camera).keepBytes;
    if (!removed[i] && !open.count(s.stemPath) && budget > 0 && cameraBytes[s.camera] > budget) {
      remove(i);
    }
  }
  for (size_t i = 0; i < segments.size() && overallBytes > 0 && total > overallBytes; ++i) {
    if (!removed[i] && !open.count(segments[i].stemPath)) remove(i);
  }
  SRetentionPlan plan;
  for (size_t i = 0; i < segments.size(); ++i) {
    if (removed[i]) plan.remove.push_back(&segments[i]);
  }
  return plan;
}

uint64_t RemoveSegment(const SSegment& segment) {
  uint64_t freed = 0;
  std::error_code ec;
  for (const char* ext : {kMp4Extension, kSegmentExtension, kIndexExtension}) {
    const fs::path p = segment.stemPath + ext;
    uint64_t size = fs::file_size(p, ec);
    if (!ec && fs::remove(p, ec)) freed += size;
  }
  // The date folder goes with its last segment; a failure just means it is not empty.
  fs::remove(fs::path(segment.stemPath).parent_path(), ec);
  return freed;
}

uint64_t FreeBytes(const std::string& path) {
  struct statvfs st {};
  if (::statvfs(path.c_str(), &st) != 0) return UINT64_MAX;
  return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

}  // namespace qnvrecorder
