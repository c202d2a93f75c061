// Hostile surroundings for the real helper: names swapped while it works, full, read-only and
// attribute-less file systems.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <thread>

#include "sandbox.h"

namespace halvorine::file_transfer::e2e {
namespace {

struct Snapshot {
  std::optional<std::string> content;
  std::optional<std::string> attribute;
  struct timespec mtime {};
  struct timespec ctime {};
  bool operator==(const Snapshot& o) const {
    return content == o.content && attribute == o.attribute && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

Snapshot snapshot(const std::string& p) {
  Snapshot s;
  s.content = Sandbox::contents(p);
  s.attribute = Sandbox::attribute(p);
  struct stat st {};
  lstat(p.c_str(), &st);
  s.mtime = st.st_mtim;
  s.ctime = st.st_ctim;
  return s;
}

std::string outcomeOrCode(const Reply& r) {
  return r.ok() ? r.json.value("outcome", std::string("?")) : r.code();
}

class HostileFileSystems : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_ROOT("mount small file systems"); }
  Sandbox box;
};

TEST_F(HostileFileSystems, FullFileSystemRefusesTheMark) {
  // Two inodes: the root folder and one file. tmpfs charges user attributes to the inode space,
  // so there is no room left for the mark.
  const std::string mnt = box.mount("tiny", "tmpfs", "size=64k,nr_inodes=2");
  const std::string f = box.file("tiny/recv", "payload");
  const Snapshot before = snapshot(f);
  EXPECT_EQ(outcomeOrCode(box.run(request("apply_quarantine", f))), "disk_full");
  EXPECT_EQ(snapshot(f), before);
  EXPECT_EQ(outcomeOrCode(box.run(request("read_quarantine", f))), "inspected");
}

TEST_F(HostileFileSystems, ReadOnlyFileSystemChangesNothing) {
  const std::string mnt = box.mount("ro", "tmpfs", "size=1m");
  const std::string f = box.file("ro/recv", "payload");
  const std::string g = box.file("ro/current", "old");
  box.remountReadOnly(mnt);
  const Snapshot beforeF = snapshot(f), beforeG = snapshot(g);
  EXPECT_EQ(outcomeOrCode(box.run(request("apply_quarantine", f))), "quarantine_failed");
  auto read = box.run(request("read_quarantine", f));
  EXPECT_EQ(outcomeOrCode(read), "inspected");
  EXPECT_EQ(read.json["quarantinePresent"], false);
  EXPECT_EQ(outcomeOrCode(box.run(request("move_no_replace", f, mnt + "/landed"))),
            "atomic_operation_failed");
  EXPECT_EQ(outcomeOrCode(box.run(request("replace_atomically", f, g))), "atomic_operation_failed");
  EXPECT_EQ(snapshot(f), beforeF);
  EXPECT_EQ(snapshot(g), beforeG);
  EXPECT_FALSE(Sandbox::exists(mnt + "/landed"));
}

TEST_F(HostileFileSystems, FileSystemWithoutUserAttributes) {
  // ramfs keeps no extended attributes at all.
  const std::string mnt = box.mount("plain", "ramfs");
  const std::string f = box.file("plain/recv", "payload");
  const Snapshot before = snapshot(f);
  EXPECT_EQ(outcomeOrCode(box.run(request("apply_quarantine", f))), "quarantine_failed");
  EXPECT_EQ(outcomeOrCode(box.run(request("read_quarantine", f))), "quarantine_failed");
  EXPECT_EQ(snapshot(f), before);
}

// Another process of the same user keeps exchanging the source name with a name that holds a
// symbolic link to a different file, while the helper moves, replaces or marks the source.
class SwapRace : public ::testing::Test {
 protected:
  static constexpr int runs = 1000;

  void SetUp() override {
    REQUIRE_ROOT("run the helper and the swapping process as another user");
    shared_ = static_cast<std::atomic<long>*>(mmap(nullptr, sizeof(std::atomic<long>) * 2,
                                                   PROT_READ | PROT_WRITE,
                                                   MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(shared_, MAP_FAILED);
    new (&shared_[0]) std::atomic<long>(pausedState);
    new (&shared_[1]) std::atomic<long>(0);
    src = box.path("rcv");
    alt = box.path("swp");
    dst = box.path("dst");
    bystander = box.path("byst");
    startSwapper();
  }
  void TearDown() override {
    if (swapper_ > 0) {
      shared_[0] = quitState;
      waitpid(swapper_, nullptr, 0);
    }
    if (shared_ && shared_ != MAP_FAILED) munmap(shared_, sizeof(std::atomic<long>) * 2);
  }

  void startSwapper() {
    swapper_ = fork();
    if (swapper_ == 0) {
      if (setgid(helperUid) != 0 || setuid(helperUid) != 0) _exit(1);
      for (;;) {
        const long s = shared_[0].load();
        if (s == quitState) _exit(0);
        if (s == pauseRequested) shared_[0] = pausedState;
        if (s != runningState) {
          usleep(20);
          continue;
        }
        if (renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, alt.c_str(), RENAME_EXCHANGE) == 0) {
          ++shared_[1];
        }
      }
    }
  }
  void pause() {
    long expected = runningState;
    shared_[0].compare_exchange_strong(expected, pauseRequested);
    while (shared_[0].load() != pausedState) std::this_thread::yield();
  }
  void resume() { shared_[0] = runningState; }

  // A fresh round: the received file, a link to the user's other file, and for a replace the
  // file it overwrites. All names owned by the helper's user.
  void prepare(int i, bool withDestination) {
    for (const auto& p : {src, alt, dst, bystander}) unlink(p.c_str());
    box.file("rcv", payload(i));
    box.file("byst", "bystander " + std::to_string(i));
    box.symlink("swp", bystander);
    if (withDestination) box.file("dst", "old " + std::to_string(i));
  }
  static std::string payload(int i) { return "payload " + std::to_string(i); }

  // The received content is still under one of the names, as a regular file.
  void expectPayloadKept(int i) {
    int found = 0;
    for (const auto& p : {src, alt, dst}) found += Sandbox::contents(p) == payload(i) ? 1 : 0;
    EXPECT_EQ(found, 1) << "round " << i;
    EXPECT_EQ(Sandbox::contents(bystander), "bystander " + std::to_string(i)) << "round " << i;
    EXPECT_FALSE(Sandbox::attribute(bystander)) << "round " << i;
  }

  void report(const char* op, const std::map<std::string, int>& outcomes) {
    std::printf("%s under swapping (%ld exchanges):", op, shared_[1].load());
    for (const auto& [k, n] : outcomes) std::printf(" %s=%d", k.c_str(), n);
    std::printf("\n");
    EXPECT_GT(shared_[1].load(), 0);
  }

  static constexpr long runningState = 0, pauseRequested = 1, pausedState = 2, quitState = 3;
  Sandbox box;
  std::string src, alt, dst, bystander;
  std::atomic<long>* shared_ = nullptr;
  pid_t swapper_ = -1;
};

TEST_F(SwapRace, MoveLosesNothing) {
  std::map<std::string, int> outcomes;
  for (int i = 0; i < runs && !HasFailure(); ++i) {
    prepare(i, false);
    resume();
    auto r = box.run(request("move_no_replace", src, dst));
    pause();
    ++outcomes[outcomeOrCode(r)];
    expectPayloadKept(i);
  }
  report("move_no_replace", outcomes);
}

TEST_F(SwapRace, ReplaceLosesNothing) {
  std::map<std::string, int> outcomes;
  for (int i = 0; i < runs && !HasFailure(); ++i) {
    prepare(i, true);
    resume();
    auto r = box.run(request("replace_atomically", src, dst));
    pause();
    ++outcomes[outcomeOrCode(r) + (r.ok() && r.json["cleanupDeferred"] == true ? "+deferred" : "")];
    expectPayloadKept(i);
    // The old content may be gone only when the swap succeeded.
    if (!r.ok()) {
      EXPECT_EQ(Sandbox::contents(dst), "old " + std::to_string(i)) << "round " << i;
    }
  }
  report("replace_atomically", outcomes);
}

TEST_F(SwapRace, MarkTouchesOnlyTheCheckedFile) {
  std::map<std::string, int> outcomes;
  for (int i = 0; i < runs && !HasFailure(); ++i) {
    prepare(i, false);
    resume();
    auto r = box.run(request("apply_quarantine", src));
    pause();
    ++outcomes[outcomeOrCode(r)];
    expectPayloadKept(i);
    const std::string received = Sandbox::contents(src) == payload(i) ? src : alt;
    EXPECT_EQ(Sandbox::attribute(received).has_value(), r.ok()) << "round " << i;
  }
  report("apply_quarantine", outcomes);
}

}  // namespace
}  // namespace halvorine::file_transfer::e2e
