#include "WindowRenderer.h"

#include <X11/Xproto.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

namespace qnv::player {
namespace {

// The libswscale layout that matches an X image's pixels, or NONE.
AVPixelFormat PixelFormatFor(const XImage& image, const Visual& visual) {
  const bool lsb = image.byte_order == LSBFirst;
  const unsigned long r = visual.red_mask, g = visual.green_mask, b = visual.blue_mask;
  if (image.bits_per_pixel == 32 && g == 0xff00) {
    if (r == 0xff0000 && b == 0xff) return lsb ? AV_PIX_FMT_BGR0 : AV_PIX_FMT_0RGB;
    if (r == 0xff && b == 0xff0000) return lsb ? AV_PIX_FMT_RGB0 : AV_PIX_FMT_0BGR;
  }
  if (image.bits_per_pixel == 24 && g == 0xff00) {
    if (r == 0xff0000 && b == 0xff) return lsb ? AV_PIX_FMT_BGR24 : AV_PIX_FMT_RGB24;
    if (r == 0xff && b == 0xff0000) return lsb ? AV_PIX_FMT_RGB24 : AV_PIX_FMT_BGR24;
  }
  if (image.bits_per_pixel == 16 && r == 0xf800 && g == 0x07e0 && b == 0x001f) {
    return lsb ? AV_PIX_FMT_RGB565LE : AV_PIX_FMT_RGB565BE;
  }
  return AV_PIX_FMT_NONE;
}

}  // namespace

std::unique_ptr<WindowRenderer> WindowRenderer::Open(Window window) {
  std::unique_ptr<WindowRenderer> r(new WindowRenderer);
  r->m_display = XErrorRouter::Instance().Open(&r->m_errors);
  if (r->m_display == nullptr) return nullptr;
  if (!r->Setup(window)) return nullptr;
  return r;
}

bool WindowRenderer::Setup(Window window) {
  m_window = window;
  XWindowAttributes attributes{};
  const Status got = XGetWindowAttributes(m_display, m_window, &attributes);
  if (got == 0 || !Healthy()) return false;
  if (attributes.visual == nullptr ||
      (attributes.visual->c_class != TrueColor && attributes.visual->c_class != DirectColor)) {
    return false;
  }
  m_visual = attributes.visual;
  m_depth = attributes.depth;
  m_width = attributes.width;
  m_height = attributes.height;
  // Size changes, destruction and exposure reach this connection as events,
  // so drawing needs no round trip to learn the window's state.
  XSelectInput(m_display, m_window, StructureNotifyMask | ExposureMask);
  m_gc = XCreateGC(m_display, m_window, 0, nullptr);
  XSync(m_display, False);
  if (!Healthy()) return false;

  // The pixel layout, from a one-pixel probe image of the window's visual.
  XImage* probe =
      XCreateImage(m_display, m_visual, unsigned(m_depth), ZPixmap, 0, nullptr, 1, 1, 32, 0);
  if (probe == nullptr) return false;
  m_format = PixelFormatFor(*probe, *m_visual);
  XDestroyImage(probe);
  if (m_format == AV_PIX_FMT_NONE) return false;
  m_useShm = XShmQueryExtension(m_display) != 0;
  return true;
}

bool WindowRenderer::Healthy() {
  if (m_dead) return false;
  if (m_errors.connectionLost.load()) {
    m_dead = true;
    return false;
  }
  const unsigned errors = m_errors.errors.load();
  if (errors != m_seenErrors) {
    m_seenErrors = errors;
    // Any error on this connection concerns the window or drawing into it:
    // the window was destroyed, or the server refused the image.
    const int code = m_errors.lastCode.load();
    if (code == BadWindow || code == BadDrawable || code == BadGC || code == BadMatch) {
      m_dead = true;
      return false;
    }
    // Shared memory refused at draw time: carry on with ordinary images.
    if (m_image && m_image->shared()) {
      m_useShm = false;
      m_image.reset();
    }
  }
  return true;
}

bool WindowRenderer::ProcessEvents() {
  if (!Healthy()) return false;
  bool expose = false;
  while (XPending(m_display) > 0) {
    XEvent event;
    XNextEvent(m_display, &event);
    if (event.xany.window != m_window) continue;
    switch (event.type) {
      case ConfigureNotify:
        m_width = event.xconfigure.width;
        m_height = event.xconfigure.height;
        break;
      case DestroyNotify:
        m_dead = true;
        return false;
      case Expose:
        expose = true;
        break;
      default:
        break;
    }
  }
  if (!Healthy()) return false;
  if (expose && m_drawn && m_image && m_image->width() == m_width &&
      m_image->height() == m_height) {
    return Put();
  }
  return true;
}

bool WindowRenderer::Put() {
  m_image->Put(m_window, m_gc);
  // The round trip keeps the shared image from being overwritten while the
  // server still reads it, and brings any error back before the next frame.
  XSync(m_display, False);
  return Healthy();
}

bool WindowRenderer::Draw(const AVFrame& picture) {
  if (!ProcessEvents()) return false;
  if (m_width <= 0 || m_height <= 0) return true;
  if (!m_image || m_image->width() != m_width || m_image->height() != m_height) {
    m_drawn = false;
    m_image.reset();
    m_image =
        XImageBuffer::Create(m_display, m_visual, m_depth, m_width, m_height, m_useShm, &m_errors);
    if (!Healthy()) {
      m_image.reset();
      return !m_dead;
    }
    if (!m_image) return true;
    if (m_useShm && !m_image->shared()) m_useShm = false;
  }
  uint8_t* planes[4] = {reinterpret_cast<uint8_t*>(m_image->image()->data), nullptr, nullptr,
                        nullptr};
  const int strides[4] = {m_image->image()->bytes_per_line, 0, 0, 0};
  const PictureScaler::Target target{m_width, m_height, m_format, true, planes, strides};
  if (!m_scaler.Scale(picture, target)) return true;
  m_drawn = true;
  return Put();
}

WindowRenderer::~WindowRenderer() {
  if (m_display == nullptr) return;
  m_image.reset();
  if (m_gc != nullptr) XFreeGC(m_display, m_gc);
  XErrorRouter::Instance().Close(m_display);
}

}  // namespace qnv::player
