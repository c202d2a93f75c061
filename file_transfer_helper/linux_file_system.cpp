#include "linux_file_system.h"

#include <fcntl.h>
#include <stdio.h>  // renameat2 and its flags
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <ctime>

namespace halvorine::file_transfer {

namespace {

// Linux lets an unprivileged process write only the "user." namespace.
std::string platformAttributeName(std::string_view name) {
  return "user." + std::string(name);
}

FileStatus toStatus(const struct stat& st) {
  FileStatus s;
  s.regular = S_ISREG(st.st_mode);
  s.owner = st.st_uid;
  s.links = st.st_nlink;
  s.device = st.st_dev;
  s.inode = st.st_ino;
  return s;
}

class LinuxAttributeFile final : public AttributeFile {
 public:
  // pathOnly: an O_PATH descriptor, whose attributes are reached through its /proc link (the
  // f*xattr calls refuse such descriptors on older kernels). The link names this very file.
  LinuxAttributeFile(int fd, bool pathOnly) : fd_(fd), pathOnly_(pathOnly) {}
  ~LinuxAttributeFile() override { close(fd_); }
  LinuxAttributeFile(const LinuxAttributeFile&) = delete;
  LinuxAttributeFile& operator=(const LinuxAttributeFile&) = delete;

  std::optional<FileStatus> status() override {
    struct stat st {};
    if (fstat(fd_, &st) != 0) return std::nullopt;
    return toStatus(st);
  }

  int setAttribute(std::string_view name, std::string_view value) override {
    const std::string attr = platformAttributeName(name);
    const int r = pathOnly_
                      ? setxattr(procPath().c_str(), attr.c_str(), value.data(), value.size(), 0)
                      : fsetxattr(fd_, attr.c_str(), value.data(), value.size(), 0);
    return r == 0 ? 0 : errno;
  }

  int hasAttribute(std::string_view name, bool& present) override {
    const std::string attr = platformAttributeName(name);
    const ssize_t r = pathOnly_ ? getxattr(procPath().c_str(), attr.c_str(), nullptr, 0)
                                : fgetxattr(fd_, attr.c_str(), nullptr, 0);
    if (r >= 0) {
      present = true;
      return 0;
    }
    if (errno == ENODATA) {  // the attribute does not exist
      present = false;
      return 0;
    }
    return errno;
  }

 private:
  std::string procPath() const { return "/proc/self/fd/" + std::to_string(fd_); }
  int fd_;
  bool pathOnly_;
};

}  // namespace

std::uint32_t LinuxFileSystem::effectiveUserId() {
  return geteuid();
}

std::optional<FileStatus> LinuxFileSystem::statNoFollow(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return std::nullopt;
  return toStatus(st);
}

int LinuxFileSystem::renameNoReplace(const std::string& from, const std::string& to) {
  return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
}

int LinuxFileSystem::renameExchange(const std::string& a, const std::string& b) {
  return renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0 ? 0 : errno;
}

bool LinuxFileSystem::removeName(const std::string& path) {
  return unlink(path.c_str()) == 0;
}

std::unique_ptr<AttributeFile> LinuxFileSystem::openForAttributes(const std::string& path,
                                                                  int& openError) {
  // Never follow a final symbolic link, never wait on a FIFO or device that was swapped in, and
  // never become its controlling terminal.
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0) return std::make_unique<LinuxAttributeFile>(fd, false);
  openError = errno;
  if (openError != EACCES) return nullptr;
  // The owner may have withheld read permission from the file; its attributes are still theirs.
  fd = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<LinuxAttributeFile>(fd, true);
}

std::int64_t LinuxFileSystem::secondsSinceEpoch() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec);
}

std::string LinuxFileSystem::newUuid() {
  uuid_t id;
  uuid_generate_random(id);
  char text[37];
  uuid_unparse_upper(id, text);
  return std::string(text, 36);
}

}  // namespace halvorine::file_transfer
