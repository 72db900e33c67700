// XImageBuffer: one client-side image of a window's size, in the window's
// pixel layout, in MIT-SHM shared memory when the server takes it or in
// ordinary memory otherwise. Owned and used by one WindowRenderer on its
// port's thread; the display connection must outlive it.
#ifndef QNVPLAYER_XIMAGEBUFFER_H
#define QNVPLAYER_XIMAGEBUFFER_H

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "XErrorRouter.h"

namespace qnvplayer {

class XImageBuffer {
 public:
  // Null when no image of that size can be made. With useShm the image is
  // put in shared memory if the server can attach it (checked with a
  // round trip); otherwise it falls back to ordinary memory.
  static std::unique_ptr<XImageBuffer> Create(Display* display, Visual* visual, int depth,
                                              int width, int height, bool useShm,
                                              XErrorState* errors);
  XImageBuffer(const XImageBuffer&) = delete;
  XImageBuffer& operator=(const XImageBuffer&) = delete;
  ~XImageBuffer();

  XImage* image() const { return image_; }
  bool shared() const { return shared_; }
  int width() const { return image_->width; }
  int height() const { return image_->height; }
  // Sends the image to the window; errors arrive through the error state.
  void Put(Window window, GC gc) const;

 private:
  explicit XImageBuffer(Display* display) : display_(display) {}
  bool AttachShared(Visual* visual, int depth, int width, int height, XErrorState* errors);

  Display* display_;
  XImage* image_ = nullptr;
  bool shared_ = false;
  bool attached_ = false;
  XShmSegmentInfo shm_{};
  std::vector<char> pixels_;  // the pixels when not shared
};

}  // namespace qnvplayer

#endif  // QNVPLAYER_XIMAGEBUFFER_H
