// Port: one stream the player receives, decodes, draws and captures, behind
// one handle. Implemented by WindowPort (a thread decodes and draws every
// picture). Input and Capture may run concurrently from different threads;
// Close may run at any time, wakes waiting captures and returns once the
// port's threads are gone.
#ifndef QNVPLAYER_PORT_H
#define QNVPLAYER_PORT_H

#include <chrono>
#include <cstdint>

#include "CodedFrame.h"

namespace qnv::player {

struct PortStats {
  uint64_t framesIn = 0;      // frames accepted by Input
  uint64_t dropped = 0;       // frames thrown away (queue full, nothing to decode from)
  uint64_t pictures = 0;      // pictures decoded
  uint64_t drawn = 0;         // pictures drawn into the window
  bool windowed = false;      // opened with a window
  bool rendering = false;     // currently drawing into it
  bool sharedMemory = false;  // drawing through MIT-SHM images
};

class Port {
 public:
  virtual ~Port() = default;
  // Takes one frame's H.264 payload; the bytes are valid only during the call.
  virtual void Input(const uint8_t* payload, size_t size) = 0;
  // Writes the newest picture to path, waiting up to `wait` for a first one.
  // Returns a QNVPLAYER_* code.
  virtual int Capture(const char* path, std::chrono::milliseconds wait) = 0;
  virtual void Close() = 0;
  virtual PortStats Stats() = 0;
};

}  // namespace qnv::player

#endif  // QNVPLAYER_PORT_H
