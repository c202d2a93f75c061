#include "x11/x11_shm_segment.h"

#include <sys/mman.h>
#include <unistd.h>
#include <xcb/shm.h>

namespace halvorine::x11 {

ShmSegment::ShmSegment(XConnection& connection) : x_(connection) {}

ShmSegment::~ShmSegment() {
  release();
}

void ShmSegment::release() {
  if (data_ != nullptr) munmap(data_, size_);
  if (fd_ >= 0) close(fd_);
  data_ = nullptr;
  fd_ = -1;
  size_ = 0;
}

bool ShmSegment::prepare(xcb_connection_t* c, size_t bytes) {
  const uint64_t generation = x_.generation();
  if (unusableOn_ == generation) return false;
  if (data_ == nullptr || size_ < bytes) {
    // The server must not keep writing into memory that is about to go.
    if (attachedOn_ == generation) xcb_shm_detach(c, id_);
    attachedOn_ = 0;
    if (!grow(bytes)) return false;
  }
  return attachedOn_ == generation || attach(c);
}

bool ShmSegment::grow(size_t bytes) {
  release();
  const int fd = memfd_create("halvorine-capture", MFD_CLOEXEC);
  if (fd < 0) return false;
  if (ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
    close(fd);
    return false;
  }
  void* addr = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (addr == MAP_FAILED) {
    close(fd);
    return false;
  }
  fd_ = fd;
  data_ = static_cast<uint8_t*>(addr);
  size_ = bytes;
  return true;
}

bool ShmSegment::attach(xcb_connection_t* c) {
  const uint64_t generation = x_.generation();
  const xcb_query_extension_reply_t* ext = x_.extension(xcb_shm_id);
  if (ext == nullptr) return false;  // the connection failed on the way
  if (ext->present == 0) {
    unusableOn_ = generation;
    return false;
  }
  auto version = x_.reply<xcb_shm_query_version_reply_t>(xcb_shm_query_version(c));
  if (!x_.connected()) return false;
  // File descriptors arrived with version 1.2.
  if (!version || (version->major_version == 1 && version->minor_version < 2)) {
    unusableOn_ = generation;
    return false;
  }
  const int fd = dup(fd_);
  if (fd < 0) return false;
  id_ = xcb_generate_id(c);
  // The request carries the descriptor and closes it once sent. Not read-only: the server writes
  // the screen reads into it (a read-only segment makes every ShmGetImage fail with BadAccess).
  xcb_shm_attach_fd(c, id_, fd, 0);
  attachedOn_ = generation;
  return true;
}

void ShmSegment::readRefused() {
  attachedOn_ = 0;
  if (++refusals_ >= 2) unusableOn_ = x_.generation();
}

}  // namespace halvorine::x11
