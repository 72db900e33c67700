#include "qnvcatalogue/CameraCheck.h"

#include <set>
#include <vector>

namespace qnvcat {
namespace {

// A fleet may hold many cameras: the message names this many at most.
constexpr size_t kMaxNamesListed = 40;

}  // namespace

bool CheckCamera(ICatalogue& catalogue, const std::string& camera, std::string& error,
                 bool& failed) {
  failed = false;
  std::vector<SCameraInfo> cameras;
  if (!catalogue.Cameras(cameras, error)) {
    failed = true;
    return false;
  }
  std::set<std::string> names;  // one per camera, whichever recorders hold it
  for (const SCameraInfo& c : cameras) {
    if (c.camera == camera) return true;
    names.insert(c.camera);
  }
  error = "unknown camera " + camera;
  if (names.empty()) {
    error += " (" + catalogue.Where() + " holds no camera)";
    return false;
  }
  error += " (known: ";
  size_t listed = 0;
  for (const std::string& name : names) {
    if (listed == kMaxNamesListed) {
      error += ", and " + std::to_string(names.size() - listed) + " more";
      break;
    }
    error += (listed++ == 0 ? "" : ", ") + name;
  }
  error += ")";
  return false;
}

}  // namespace qnvcat
