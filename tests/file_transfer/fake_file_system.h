#pragma once

// An in-memory file system for the unit tests and the fuzz target: names map to nodes, several
// names may share a node, and each system call can be made to fail or to run a hook first.
#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "file_system.h"

namespace halvorine::file_transfer::fake {

enum class Kind { regular, directory, symlink, fifo };

struct Node {
  Kind kind = Kind::regular;
  std::uint32_t owner = 1000;
  std::string content;
  std::map<std::string, std::string> attributes;
  std::uint64_t inode = 0;
};

class FakeFileSystem : public FileSystem {
 public:
  std::uint32_t euid = 1000;
  std::map<std::string, std::shared_ptr<Node>> names;
  // Errors to report (0: none).
  int renameError = 0;
  int setAttributeError = 0;
  int hasAttributeError = 0;
  int openError = 0;  // applied only to regular files
  bool removeFails = false;
  // Runs just before the named call, to change the names as another process would.
  std::function<void()> beforeRename;
  std::function<void()> afterRename;
  // Other spellings of a name ("/d//a" for "/d/a"): they reach the same entry, not a new link.
  std::map<std::string, std::string> spellings;
  std::int64_t clock = 0x6756ecf0;
  int uuidCounter = 0;

  std::shared_ptr<Node> add(const std::string& path, Kind kind = Kind::regular,
                            std::uint32_t owner = 1000, const std::string& content = "") {
    auto node = std::make_shared<Node>();
    node->kind = kind;
    node->owner = owner;
    node->content = content;
    node->inode = ++nextInode_;
    names[path] = node;
    return node;
  }
  void link(const std::string& existing, const std::string& path) { names[path] = names[existing]; }
  std::string canon(const std::string& path) const {
    auto it = spellings.find(path);
    return it == spellings.end() ? path : it->second;
  }
  std::shared_ptr<Node> at(const std::string& path) const {
    auto it = names.find(canon(path));
    return it == names.end() ? nullptr : it->second;
  }

  std::uint32_t effectiveUserId() override { return euid; }

  std::optional<FileStatus> statNoFollow(const std::string& path) override {
    auto node = at(path);
    if (!node) return std::nullopt;
    return statusOf(node);
  }

  int renameNoReplace(const std::string& from, const std::string& to) override {
    if (beforeRename) beforeRename();
    if (renameError) return renameError;
    if (!at(from)) return ENOENT;
    if (at(to)) return EEXIST;
    names[canon(to)] = names[canon(from)];
    names.erase(canon(from));
    if (afterRename) afterRename();
    return 0;
  }

  int renameExchange(const std::string& a, const std::string& b) override {
    if (beforeRename) beforeRename();
    if (renameError) return renameError;
    if (!at(a) || !at(b)) return ENOENT;
    std::swap(names[canon(a)], names[canon(b)]);
    if (afterRename) afterRename();
    return 0;
  }

  bool removeName(const std::string& path) override {
    if (removeFails || !at(path)) return false;
    names.erase(canon(path));
    return true;
  }

  std::unique_ptr<AttributeFile> openForAttributes(const std::string& path, int& error) override {
    auto node = at(path);
    if (!node) {
      error = ENOENT;
      return nullptr;
    }
    if (node->kind == Kind::symlink) {
      error = ELOOP;
      return nullptr;
    }
    if (node->kind == Kind::regular && openError) {
      error = openError;
      return nullptr;
    }
    return std::make_unique<File>(*this, node);
  }

  std::int64_t secondsSinceEpoch() override { return clock; }
  std::string newUuid() override {
    char text[37];
    std::snprintf(text, sizeof text, "%08X-0000-4000-8000-000000000000", ++uuidCounter);
    return text;
  }

 private:
  class File : public AttributeFile {
   public:
    File(FakeFileSystem& fs, std::shared_ptr<Node> node) : fs_(fs), node_(std::move(node)) {}
    std::optional<FileStatus> status() override { return fs_.statusOf(node_); }
    int setAttribute(std::string_view name, std::string_view value) override {
      if (fs_.setAttributeError) return fs_.setAttributeError;
      node_->attributes[std::string(name)] = std::string(value);
      return 0;
    }
    int hasAttribute(std::string_view name, bool& present) override {
      if (fs_.hasAttributeError) return fs_.hasAttributeError;
      present = node_->attributes.count(std::string(name)) != 0;
      return 0;
    }

   private:
    FakeFileSystem& fs_;
    std::shared_ptr<Node> node_;
  };

  FileStatus statusOf(const std::shared_ptr<Node>& node) const {
    FileStatus s;
    s.regular = node->kind == Kind::regular;
    s.owner = node->owner;
    s.inode = node->inode;
    s.device = 1;
    for (const auto& [name, n] : names) s.links += n == node ? 1 : 0;
    return s;
  }

  std::uint64_t nextInode_ = 0;
};

}  // namespace halvorine::file_transfer::fake
