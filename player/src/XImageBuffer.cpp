#include "XImageBuffer.h"

#include <X11/Xutil.h>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace qnv::player {

std::unique_ptr<XImageBuffer> XImageBuffer::Create(Display* display, Visual* visual, int depth,
                                                   int width, int height, bool useShm,
                                                   XErrorState* errors) {
  if (width <= 0 || height <= 0) return nullptr;
  std::unique_ptr<XImageBuffer> b(new XImageBuffer(display));
  if (useShm && b->AttachShared(visual, depth, width, height, errors)) return b;
  b.reset(new XImageBuffer(display));
  b->m_image = XCreateImage(display, visual, unsigned(depth), ZPixmap, 0, nullptr, unsigned(width),
                            unsigned(height), 32, 0);
  if (b->m_image == nullptr) return nullptr;
  b->m_pixels.resize(size_t(b->m_image->bytes_per_line) * size_t(height));
  b->m_image->data = b->m_pixels.data();
  return b;
}

bool XImageBuffer::AttachShared(Visual* visual, int depth, int width, int height,
                                XErrorState* errors) {
  m_image = XShmCreateImage(m_display, visual, unsigned(depth), ZPixmap, nullptr, &m_shm,
                            unsigned(width), unsigned(height));
  if (m_image == nullptr) return false;
  m_shared = true;
  m_shm.shmid =
      shmget(IPC_PRIVATE, size_t(m_image->bytes_per_line) * size_t(height), IPC_CREAT | 0600);
  if (m_shm.shmid < 0) return false;
  void* addr = shmat(m_shm.shmid, nullptr, 0);
  if (addr == reinterpret_cast<void*>(-1)) {
    shmctl(m_shm.shmid, IPC_RMID, nullptr);
    m_shm.shmid = -1;
    return false;
  }
  m_shm.shmaddr = m_image->data = static_cast<char*>(addr);
  m_shm.readOnly = False;
  // A server on another machine, or one that may not see our segment,
  // refuses the attach with an error; the round trip makes it arrive now.
  const unsigned before = errors->errors.load();
  const bool sent = XShmAttach(m_display, &m_shm) != 0;
  XSync(m_display, False);
  m_attached = sent && errors->errors.load() == before && !errors->connectionLost.load();
  // The segment goes away by itself once both sides have detached.
  shmctl(m_shm.shmid, IPC_RMID, nullptr);
  return m_attached;
}

void XImageBuffer::Put(Window window, GC gc) const {
  if (m_shared) {
    XShmPutImage(m_display, window, gc, m_image, 0, 0, 0, 0, unsigned(m_image->width),
                 unsigned(m_image->height), False);
  } else {
    XPutImage(m_display, window, gc, m_image, 0, 0, 0, 0, unsigned(m_image->width),
              unsigned(m_image->height));
  }
}

XImageBuffer::~XImageBuffer() {
  if (m_image == nullptr) return;
  if (m_shared) {
    if (m_attached) {
      XShmDetach(m_display, &m_shm);
      XSync(m_display, False);
    }
    if (m_shm.shmaddr != nullptr) shmdt(m_shm.shmaddr);
  }
  // The pixels are not Xlib's to free.
  m_image->data = nullptr;
  XDestroyImage(m_image);
}

}  // namespace qnv::player
