#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace halvorine::file_transfer {

// The fields of a file's status record that the checks read, plus its identity.
struct FileStatus {
  bool regular = false;
  std::uint32_t owner = 0;
  std::uint64_t links = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;

  bool sameFileAs(const FileStatus& other) const {
    return device == other.device && inode == other.inode;
  }
};

// A file opened for attribute work: opened without following a final symbolic link and without
// blocking, so that the status checked and the attribute touched belong to the same file.
class AttributeFile {
 public:
  virtual ~AttributeFile() = default;
  // Status of the open file itself; nullopt if it cannot be read.
  virtual std::optional<FileStatus> status() = 0;
  // 0 when the attribute now holds exactly these bytes, otherwise the errno.
  virtual int setAttribute(std::string_view name, std::string_view value) = 0;
  // 0 and present set when the question was answered, otherwise the errno.
  virtual int hasAttribute(std::string_view name, bool& present) = 0;
};

// Every system call of the file transfer helper. One implementation per platform; unit tests use
// an in-memory fake.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual std::uint32_t effectiveUserId() = 0;
  // Status of the name itself (a final symbolic link is not followed); nullopt if it fails.
  virtual std::optional<FileStatus> statNoFollow(const std::string& path) = 0;
  // Atomic rename that fails with EEXIST when anything exists at `to`. 0 or the errno.
  virtual int renameNoReplace(const std::string& from, const std::string& to) = 0;
  // Atomic exchange of two existing names. 0 or the errno.
  virtual int renameExchange(const std::string& a, const std::string& b) = 0;
  virtual bool removeName(const std::string& path) = 0;
  // nullptr with openError set when the file cannot be opened.
  virtual std::unique_ptr<AttributeFile> openForAttributes(const std::string& path,
                                                           int& openError) = 0;
  virtual std::int64_t secondsSinceEpoch() = 0;
  // A new random version-4 UUID, 36 characters, upper-case hexadecimal.
  virtual std::string newUuid() = 0;
};

}  // namespace halvorine::file_transfer
