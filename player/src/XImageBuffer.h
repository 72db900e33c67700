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

namespace qnv::player {

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

  XImage* image() const { return m_image; }
  bool shared() const { return m_shared; }
  int width() const { return m_image->width; }
  int height() const { return m_image->height; }
  // Sends the image to the window; errors arrive through the error state.
  void Put(Window window, GC gc) const;

 private:
  explicit XImageBuffer(Display* display) : m_display(display) {}
  bool AttachShared(Visual* visual, int depth, int width, int height, XErrorState* errors);

  Display* m_display;
  XImage* m_image = nullptr;
  bool m_shared = false;
  bool m_attached = false;
  XShmSegmentInfo m_shm{};
  std::vector<char> m_pixels;  // the pixels when not shared
};

}  // namespace qnv::player

#endif  // QNVPLAYER_XIMAGEBUFFER_H
