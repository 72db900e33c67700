// WindowRenderer: draws decoded pictures into a host's X11 window, scaled to
// the window's current size, over a display connection of its own. Follows
// the window's size through its events and redraws on exposure. Created,
// used and destroyed on one thread (its port's decoding thread); the window
// itself belongs to the host and may vanish at any time, which the renderer
// reports instead of failing.
#ifndef QNVPLAYER_WINDOWRENDERER_H
#define QNVPLAYER_WINDOWRENDERER_H

#include <X11/Xlib.h>

#include <memory>

#include "PictureScaler.h"
#include "XErrorRouter.h"
#include "XImageBuffer.h"

namespace qnv::player {

class WindowRenderer {
 public:
  // Null when no display can be opened, the window does not exist or its
  // pixel layout is not one the renderer can produce.
  static std::unique_ptr<WindowRenderer> Open(Window window);
  WindowRenderer(const WindowRenderer&) = delete;
  WindowRenderer& operator=(const WindowRenderer&) = delete;
  ~WindowRenderer();

  // Handles the window's pending events. False once the window is gone or
  // the connection failed; the renderer is then of no further use.
  bool ProcessEvents();
  // Draws one picture and waits until the server has taken it. False as
  // for ProcessEvents.
  bool Draw(const AVFrame& picture);
  bool shared() const { return m_image && m_image->shared(); }

 private:
  WindowRenderer() = default;
  bool Setup(Window window);
  bool Put();
  // False when the connection is lost or a window error was reported.
  bool Healthy();

  XErrorState m_errors;
  Display* m_display = nullptr;
  Window m_window = 0;
  GC m_gc = nullptr;
  Visual* m_visual = nullptr;
  int m_depth = 0;
  int m_width = 0;
  int m_height = 0;
  AVPixelFormat m_format = AV_PIX_FMT_NONE;
  bool m_useShm = false;
  bool m_dead = false;
  bool m_drawn = false;  // the image holds a picture that an exposure may redraw
  unsigned m_seenErrors = 0;
  std::unique_ptr<XImageBuffer> m_image;
  PictureScaler m_scaler;
};

}  // namespace qnv::player

#endif  // QNVPLAYER_WINDOWRENDERER_H
