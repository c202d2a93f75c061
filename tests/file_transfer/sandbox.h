#pragma once

// A private folder of files owned by the uid the helper runs as, and a runner that checks every
// answer of the real helper against the wire rules.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"
#include "response_checks.h"

namespace halvorine::file_transfer::e2e {

// Fixed ids that need no account: the helper's user and a second user.
constexpr uid_t helperUid = 4242;
constexpr uid_t otherUid = 4343;
inline constexpr const char* attributeName = "user.com.apple.quarantine";

inline bool runningAsRoot() {
  return geteuid() == 0;
}

// Skips a test that needs root (a second user, mounts), saying why on standard output too.
#define REQUIRE_ROOT(why)                            \
  if (!runningAsRoot()) {                            \
    std::printf("skipped: needs root to %s\n", why); \
    GTEST_SKIP() << "needs root to " << why;         \
  }

struct Reply {
  int exitStatus = -1;
  std::string raw;
  nlohmann::json json;
  std::string code() const {
    return json.contains("errorCode") ? json["errorCode"].get<std::string>() : "";
  }
  bool ok() const { return json.value("ok", false); }
};

class Sandbox {
 public:
  Sandbox() {
    uid_ = runningAsRoot() ? helperUid : geteuid();
    gid_ = runningAsRoot() ? helperUid : getegid();
    char tmpl[] = "/tmp/hft.XXXXXX";
    dir_ = mkdtemp(tmpl);
    own(dir_);
  }
  ~Sandbox() {
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  uid_t uid() const { return uid_; }
  const std::string& dir() const { return dir_; }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  void own(const std::string& p, std::optional<uid_t> owner = std::nullopt) {
    if (runningAsRoot()) {
      ASSERT_EQ(lchown(p.c_str(), owner.value_or(uid_), owner.value_or(gid_)), 0) << p;
    }
  }
  std::string file(const std::string& name, const std::string& content = "content",
                   std::optional<uid_t> owner = std::nullopt, mode_t mode = 0644) {
    const std::string p = path(name);
    std::ofstream(p, std::ios::binary) << content;
    chmod(p.c_str(), mode);
    own(p, owner);
    return p;
  }
  std::string directory(const std::string& name, std::optional<uid_t> owner = std::nullopt,
                        mode_t mode = 0755) {
    const std::string p = path(name);
    mkdir(p.c_str(), mode);
    own(p, owner);
    return p;
  }
  std::string symlink(const std::string& name, const std::string& target) {
    const std::string p = path(name);
    EXPECT_EQ(::symlink(target.c_str(), p.c_str()), 0);
    own(p);
    return p;
  }
  std::string hardlink(const std::string& existing, const std::string& name) {
    const std::string p = path(name);
    EXPECT_EQ(::link(existing.c_str(), p.c_str()), 0);
    return p;
  }
  // Mounts a fresh file system of the given type at a new folder owned by the helper's user.
  std::string mount(const std::string& name, const std::string& type,
                    const std::string& options = "") {
    const std::string p = directory(name);
    std::string opts = options;
    if (type == "tmpfs") opts += std::string(opts.empty() ? "" : ",") + "mode=0755";
    if (::mount("ft-test", p.c_str(), type.c_str(), 0, opts.empty() ? nullptr : opts.c_str()) !=
        0) {
      ADD_FAILURE() << "mount " << type << " failed: " << std::strerror(errno);
      return p;
    }
    mounts_.push_back(p);
    own(p);
    return p;
  }
  void remountReadOnly(const std::string& p) {
    ASSERT_EQ(::mount(nullptr, p.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << std::strerror(errno);
  }

  // Runs the real helper as the sandbox user with the given request bytes. Every answer is held to
  // the wire rules, and no piece of any string value of the request may appear in it.
  Reply run(const std::string& request) {
    testing::RunOptions options;
    options.stdinData = request;
    if (runningAsRoot()) {
      options.uid = uid_;
      options.gid = gid_;
    }
    auto result =
        testing::runProcess({testing::binaryPath("HalvorineFileTransferHelper")}, options);
    Reply reply;
    reply.exitStatus = result.exitStatus;
    reply.raw = result.out;
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.err, "") << "stderr must stay empty";
    EXPECT_EQ(checks::responseProblem(result.out), "") << result.out;
    if (checks::responseProblem(result.out).empty()) {
      reply.json = nlohmann::json::parse(result.out);
      EXPECT_EQ(reply.exitStatus, reply.ok() ? 0 : 1) << result.out;
      EXPECT_EQ(checks::leakedPiece(result.out, requestValues(request)), "") << result.out;
    }
    return reply;
  }
  Reply run(const nlohmann::json& request) { return run(request.dump()); }

  static std::optional<std::string> attribute(const std::string& p) {
    char buf[4096];
    ssize_t n = lgetxattr(p.c_str(), attributeName, buf, sizeof buf);
    if (n < 0) return std::nullopt;
    return std::string(buf, static_cast<std::size_t>(n));
  }
  static std::optional<std::string> contents(const std::string& p) {
    struct stat st {};
    if (lstat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static bool exists(const std::string& p) {
    struct stat st {};
    return lstat(p.c_str(), &st) == 0;
  }

 private:
  // Every string in the request, except the four operation words, which belong to the answer's
  // own vocabulary.
  static std::vector<std::string> requestValues(const std::string& request) {
    std::vector<std::string> values;
    static const std::set<std::string> words = {"move_no_replace", "replace_atomically",
                                                "apply_quarantine", "read_quarantine"};
    auto j = nlohmann::json::parse(request, nullptr, false);
    if (j.is_discarded()) {
      // Text the library cannot read whole (not JSON, or a number beyond the range of a double):
      // every string literal in it as written, or the whole text if it holds none.
      for (std::size_t i = request.find('"'); i != std::string::npos;
           i = request.find('"', i + 1)) {
        std::string literal;
        for (++i; i < request.size() && request[i] != '"'; ++i) {
          if (request[i] == '\\' && i + 1 < request.size()) literal += request[i++];
          literal += request[i];
        }
        if (!words.count(literal) && literal != "operation" && literal != "sourcePath" &&
            literal != "destinationPath") {
          values.push_back(literal);
        }
        if (i >= request.size()) break;
      }
      if (values.empty()) values.push_back(request);
      return values;
    }
    std::function<void(const nlohmann::json&, const std::string&)> walk =
        [&](const nlohmann::json& v, const std::string& key) {
          if (v.is_string() && !(key == "operation" && words.count(v.get<std::string>()))) {
            values.push_back(v.get<std::string>());
          }
          if (v.is_structured()) {
            for (const auto& [k, child] : v.items()) {
              if (v.is_object() && k.size() >= 4 && k != "operation" && k != "sourcePath" &&
                  k != "destinationPath") {
                values.push_back(k);
              }
              walk(child, v.is_object() ? k : key);
            }
          }
        };
    walk(j, "");
    return values;
  }

  uid_t uid_;
  gid_t gid_;
  std::string dir_;
  std::vector<std::string> mounts_;
};

inline nlohmann::json request(const std::string& op, const std::optional<std::string>& src,
                              const std::optional<std::string>& dst = std::nullopt) {
  nlohmann::json j = {{"operation", op}};
  if (src) j["sourcePath"] = *src;
  if (dst) j["destinationPath"] = *dst;
  return j;
}

}  // namespace halvorine::file_transfer::e2e
