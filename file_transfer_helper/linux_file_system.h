#pragma once

#include "file_system.h"

namespace halvorine::file_transfer {

// The platform's file system calls. The only file a port to another system replaces.
class LinuxFileSystem final : public FileSystem {
 public:
  std::uint32_t effectiveUserId() override;
  std::optional<FileStatus> statNoFollow(const std::string& path) override;
  int renameNoReplace(const std::string& from, const std::string& to) override;
  int renameExchange(const std::string& a, const std::string& b) override;
  bool removeName(const std::string& path) override;
  std::unique_ptr<AttributeFile> openForAttributes(const std::string& path,
                                                   int& openError) override;
  std::int64_t secondsSinceEpoch() override;
  std::string newUuid() override;
};

}  // namespace halvorine::file_transfer
