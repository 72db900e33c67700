#include "XImageBuffer.h"

#include <X11/Xutil.h>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace qnvplayer {

std::unique_ptr<XImageBuffer> XImageBuffer::Create(Display* display, Visual* visual, int depth,
                                                   int width, int height, bool useShm,
                                                   XErrorState* errors) {
  if (width <= 0 || height <= 0) return nullptr;
  std::unique_ptr<XImageBuffer> b(new XImageBuffer(display));
  if (useShm && b->AttachShared(visual, depth, width, height, errors)) return b;
  b.reset(new XImageBuffer(display));
  b->image_ = XCreateImage(display, visual, unsigned(depth), ZPixmap, 0, nullptr, unsigned(width),
                           unsigned(height), 32, 0);
  if (b->image_ == nullptr) return nullptr;
  b->pixels_.resize(size_t(b->image_->bytes_per_line) * size_t(height));
  b->image_->data = b->pixels_.data();
  return b;
}

bool XImageBuffer::AttachShared(Visual* visual, int depth, int width, int height,
                                XErrorState* errors) {
  image_ = XShmCreateImage(display_, visual, unsigned(depth), ZPixmap, nullptr, &shm_,
                           unsigned(width), unsigned(height));
  if (image_ == nullptr) return false;
  shared_ = true;
  shm_.shmid =
      shmget(IPC_PRIVATE, size_t(image_->bytes_per_line) * size_t(height), IPC_CREAT | 0600);
  if (shm_.shmid < 0) return false;
  void* addr = shmat(shm_.shmid, nullptr, 0);
  if (addr == reinterpret_cast<void*>(-1)) {
    shmctl(shm_.shmid, IPC_RMID, nullptr);
    shm_.shmid = -1;
    return false;
  }
  shm_.shmaddr = image_->data = static_cast<char*>(addr);
  shm_.readOnly = False;
  // A server on another machine, or one that may not see our segment,
  // refuses the attach with an error; the round trip makes it arrive now.
  const unsigned before = errors->errors.load();
  const bool sent = XShmAttach(display_, &shm_) != 0;
  XSync(display_, False);
  attached_ = sent && errors->errors.load() == before && !errors->connectionLost.load();
  // The segment goes away by itself once both sides have detached.
  shmctl(shm_.shmid, IPC_RMID, nullptr);
  return attached_;
}

void XImageBuffer::Put(Window window, GC gc) const {
  if (shared_) {
    XShmPutImage(display_, window, gc, image_, 0, 0, 0, 0, unsigned(image_->width),
                 unsigned(image_->height), False);
  } else {
    XPutImage(display_, window, gc, image_, 0, 0, 0, 0, unsigned(image_->width),
              unsigned(image_->height));
  }
}

XImageBuffer::~XImageBuffer() {
  if (image_ == nullptr) return;
  if (shared_) {
    if (attached_) {
      XShmDetach(display_, &shm_);
      XSync(display_, False);
    }
    if (shm_.shmaddr != nullptr) shmdt(shm_.shmaddr);
  }
  // The pixels are not Xlib's to free.
  image_->data = nullptr;
  XDestroyImage(image_);
}

}  // namespace qnvplayer
