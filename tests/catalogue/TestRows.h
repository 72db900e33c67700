// Rows and folders the catalogue's tests share.
#ifndef QNV_TESTS_CATALOGUE_TESTROWS_H
#define QNV_TESTS_CATALOGUE_TESTROWS_H

#include <unistd.h>

#include <filesystem>
#include <string>

#include "qnvcatalogue/ICatalogue.h"
#include "qnvcatalogue/Rows.h"

namespace qnvcat::test {

inline constexpr int64_t kSecond = 1000000;
inline constexpr int64_t kT0 = 1714572000LL * kSecond;  // 2024-05-01T14:00:00Z

// A temporary folder, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "qnv-catalogue-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) m_path = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& Path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

// Events of any camera and rule in the first `seconds` from kT0.
inline SEventQuery FirstSeconds(int64_t seconds) {
  SEventQuery q;
  q.fromUs = kT0;
  q.toUs = kT0 + seconds * kSecond;
  return q;
}

inline SEventRow MakeEvent(const std::string& camera, int64_t timeUs, uint32_t rule) {
  SEventRow e;
  e.recorder = "r1";
  e.camera = camera;
  e.timeUs = timeUs;
  e.rule = rule;
  e.channel = 1;
  e.box = SBox{10, 20, 30, 40};
  e.sequence = uint64_t(timeUs % 1000);
  e.segment = "/root/" + camera + "/2024-05-01/140000.qnv";
  return e;
}

inline SSegmentRow MakeSegment(const std::string& path, int64_t first, int64_t last,
                               ESegmentState state = ESegmentState::kClosed,
                               const std::string& camera = "gate",
                               const std::string& recorder = "r1") {
  return SSegmentRow{recorder, camera, path, first, last, EClock::kCapture, 250, 1000, state};
}

}  // namespace qnvcat::test

#endif  // QNV_TESTS_CATALOGUE_TESTROWS_H
