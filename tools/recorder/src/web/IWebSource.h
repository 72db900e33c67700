// IWebSource: what the web page shows of the recorder, asked for by the web
// server's thread. Each call must return at once (no disk walk, no waiting
// on a camera): the recorder answers from what it keeps anyway.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cameras/CCamera.h"
#include "integrations/StatusFile.h"

namespace qnvrecorder {

struct SWebCameraDisk {
  std::string camera;
  uint64_t bytes = 0;      // its segments' disk blocks
  int64_t oldestUnix = 0;  // the start of its oldest segment (0: none)
  double keepDays = 0;     // 0: no age limit
  double keepGb = 0;       // 0: no size limit of its own
};

struct SWebDisk {
  bool storage = false;  // false: live only
  std::string root, instance;
  uint64_t freeBytes = 0;
  bool full = false;
  double keepDays = 0, keepGb = 0, minFreeMb = 0;
  int64_t measuredUnix = 0;  // when the figures below were taken (0: not yet)
  std::vector<SWebCameraDisk> cameras;
};

class IWebSource {
 public:
  virtual ~IWebSource() = default;
  virtual std::vector<SCameraStatus> WebCameras() = 0;
  virtual SWebDisk WebDisk() = 0;
  // What the recorder holds now (status.json's "process").
  virtual SProcessStatus WebProcess() = 0;
};

}  // namespace qnvrecorder
