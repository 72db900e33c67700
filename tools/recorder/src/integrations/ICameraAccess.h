// ICameraAccess: what an integration may ask of the cameras, given to it by
// the service. Any thread; each call returns at once or within the capture's
// own bounds, and none holds a lock of the service while the library works.
#pragma once

#include <cstdint>
#include <string>

namespace qnvrecorder {

class ICameraAccess {
 public:
  virtual ~ICameraAccess() = default;
  // Writes the camera's latest picture to path (JPEG) with the library's
  // capture on its channel without a window. False with error when the
  // camera is unknown or not connected, or the capture failed.
  virtual bool Capture(const std::string& camera, const std::string& path, std::string& error) = 0;
  // Sends the device a PTZ move (four device-defined values) or a preset
  // action; waits for the device's answer (up to the library's command
  // time-out). False with error when the camera is not connected or the
  // device refused.
  virtual bool PtzMove(const std::string& camera, const uint32_t (&values)[4],
                       std::string& error) = 0;
  virtual bool PtzPreset(const std::string& camera, uint32_t action, uint32_t number,
                         std::string& error) = 0;
  // Records an event clip of the camera from now for `seconds` (with its
  // pre-record), as an alarm would. False with error when the camera records
  // continuously anyway or has no storage.
  virtual bool RecordClip(const std::string& camera, double seconds, std::string& error) = 0;
  // The size of the camera's picture as its stream's sequence parameter set
  // gives it; false until the camera has sent one.
  virtual bool PictureSize(const std::string& camera, int& width, int& height) { return false; }
};

}  // namespace qnvrecorder
