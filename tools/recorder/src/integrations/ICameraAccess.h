// ICameraAccess: what an integration may ask of the cameras, given to it by
// the service. Any thread; each call returns at once or within the capture's
// own bounds, and none holds a lock of the service while the library works.
#pragma once

#include <string>

namespace qnvrecorder {

class ICameraAccess {
 public:
  virtual ~ICameraAccess() = default;
  // Writes the camera's latest picture to path (JPEG) with the library's
  // capture on its channel without a window. False with error when the
  // camera is unknown or not connected, or the capture failed.
  virtual bool Capture(const std::string& camera, const std::string& path, std::string& error) = 0;
};

}  // namespace qnvrecorder
