#include "WindowRenderer.h"

#include <X11/Xproto.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

namespace qnvplayer {
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
  r->display_ = XErrorRouter::Instance().Open(&r->errors_);
  if (r->display_ == nullptr) return nullptr;
  if (!r->Setup(window)) return nullptr;
  return r;
}

bool WindowRenderer::Setup(Window window) {
  window_ = window;
  XWindowAttributes attributes{};
  const Status got = XGetWindowAttributes(display_, window_, &attributes);
  if (got == 0 || !Healthy()) return false;
  if (attributes.visual == nullptr ||
      (attributes.visual->c_class != TrueColor && attributes.visual->c_class != DirectColor)) {
    return false;
  }
  visual_ = attributes.visual;
  depth_ = attributes.depth;
  width_ = attributes.width;
  height_ = attributes.height;
  // Size changes, destruction and exposure reach this connection as events,
  // so drawing needs no round trip to learn the window's state.
  XSelectInput(display_, window_, StructureNotifyMask | ExposureMask);
  gc_ = XCreateGC(display_, window_, 0, nullptr);
  XSync(display_, False);
  if (!Healthy()) return false;

  // The pixel layout, from a one-pixel probe image of the window's visual.
  XImage* probe =
      XCreateImage(display_, visual_, unsigned(depth_), ZPixmap, 0, nullptr, 1, 1, 32, 0);
  if (probe == nullptr) return false;
  format_ = PixelFormatFor(*probe, *visual_);
  XDestroyImage(probe);
  if (format_ == AV_PIX_FMT_NONE) return false;
  useShm_ = XShmQueryExtension(display_) != 0;
  return true;
}

bool WindowRenderer::Healthy() {
  if (dead_) return false;
  if (errors_.connectionLost.load()) {
    dead_ = true;
    return false;
  }
  const unsigned errors = errors_.errors.load();
  if (errors != seenErrors_) {
    seenErrors_ = errors;
    // Any error on this connection concerns the window or drawing into it:
    // the window was destroyed, or the server refused the image.
    const int code = errors_.lastCode.load();
    if (code == BadWindow || code == BadDrawable || code == BadGC || code == BadMatch) {
      dead_ = true;
      return false;
    }
    // Shared memory refused at draw time: carry on with ordinary images.
    if (image_ && image_->shared()) {
      useShm_ = false;
      image_.reset();
    }
  }
  return true;
}

bool WindowRenderer::ProcessEvents() {
  if (!Healthy()) return false;
  bool expose = false;
  while (XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    if (event.xany.window != window_) continue;
    switch (event.type) {
      case ConfigureNotify:
        width_ = event.xconfigure.width;
        height_ = event.xconfigure.height;
        break;
      case DestroyNotify:
        dead_ = true;
        return false;
      case Expose:
        expose = true;
        break;
      default:
        break;
    }
  }
  if (!Healthy()) return false;
  if (expose && drawn_ && image_ && image_->width() == width_ && image_->height() == height_) {
    return Put();
  }
  return true;
}

bool WindowRenderer::Put() {
  image_->Put(window_, gc_);
  // The round trip keeps the shared image from being overwritten while the
  // server still reads it, and brings any error back before the next frame.
  XSync(display_, False);
  return Healthy();
}

bool WindowRenderer::Draw(const AVFrame& picture) {
  if (!ProcessEvents()) return false;
  if (width_ <= 0 || height_ <= 0) return true;
  if (!image_ || image_->width() != width_ || image_->height() != height_) {
    drawn_ = false;
    image_.reset();
    image_ = XImageBuffer::Create(display_, visual_, depth_, width_, height_, useShm_, &errors_);
    if (!Healthy()) {
      image_.reset();
      return !dead_;
    }
    if (!image_) return true;
    if (useShm_ && !image_->shared()) useShm_ = false;
  }
  uint8_t* planes[4] = {reinterpret_cast<uint8_t*>(image_->image()->data), nullptr, nullptr,
                        nullptr};
  const int strides[4] = {image_->image()->bytes_per_line, 0, 0, 0};
  const PictureScaler::Target target{width_, height_, format_, true, planes, strides};
  if (!scaler_.Scale(picture, target)) return true;
  drawn_ = true;
  return Put();
}

WindowRenderer::~WindowRenderer() {
  if (display_ == nullptr) return;
  image_.reset();
  if (gc_ != nullptr) XFreeGC(display_, gc_);
  XErrorRouter::Instance().Close(display_);
}

}  // namespace qnvplayer
