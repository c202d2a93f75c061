// The real HalvorineFileTransferHelper, run as an unprivileged user on files in a private folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <ctime>

#include "sandbox.h"

namespace halvorine::file_transfer::e2e {
namespace {

// "0081;<hex time>;Halvorine;<upper-case v4 UUID>": the time digits, or nullopt if malformed.
std::optional<std::string> quarantineTime(const std::string& v) {
  const std::string head = "0081;", agent = ";Halvorine;";
  const auto agentAt = v.find(agent);
  if (v.rfind(head, 0) != 0 || agentAt == std::string::npos) return std::nullopt;
  const std::string hex = v.substr(head.size(), agentAt - head.size());
  const std::string uuid = v.substr(agentAt + agent.size());
  if (hex.empty() || hex.find_first_not_of("0123456789abcdef") != std::string::npos) {
    return std::nullopt;
  }
  if (uuid.size() != 36) return std::nullopt;
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? uuid[i] != '-' : !std::isxdigit(uuid[i]) || std::islower(uuid[i])) {
      return std::nullopt;
    }
  }
  if (uuid[14] != '4' || std::string("89AB").find(uuid[19]) == std::string::npos) {
    return std::nullopt;
  }
  return hex;
}

class FileTransferHelper : public ::testing::Test {
 protected:
  Sandbox box;
  std::string outcomeOrCode(const Reply& r) {
    return r.ok() ? r.json.value("outcome", std::string("?")) : r.code();
  }
};

TEST_F(FileTransferHelper, DecodingFailuresAndDispatch) {
  const std::string f = box.file("plain");
  struct Case {
    const char* name;
    std::string input;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"empty input", "", "invalid_request"},
      {"white space only", "\n", "invalid_request"},
      {"not JSON", "read the file please", "invalid_request"},
      {"array", "[1,2]", "invalid_request"},
      {"string", R"("read_quarantine")", "invalid_request"},
      {"no operation", R"({"sourcePath":")" + f + R"("})", "invalid_request"},
      {"operation null", R"({"operation":null})", "invalid_request"},
      {"operation number", R"({"operation":42})", "invalid_request"},
      {"letter case", request("Read_Quarantine", f).dump(), "invalid_request"},
      {"other word", request("shred", f).dump(), "invalid_request"},
      {"source number", R"({"operation":"apply_quarantine","sourcePath":12})", "invalid_request"},
      {"source null", R"({"operation":"apply_quarantine","sourcePath":null})", "path_invalid"},
      {"source missing", request("read_quarantine", std::nullopt).dump(), "path_invalid"},
      {"source empty", request("read_quarantine", "").dump(), "path_invalid"},
      {"source relative", request("read_quarantine", "hft-rel/x").dump(), "path_invalid"},
      {"source with NUL", R"({"operation":"read_quarantine","sourcePath":")" + f + R"(\u0000"})",
       "path_invalid"},
      {"move without destination of a missing source",
       request("move_no_replace", box.path("nowhere")).dump(), "path_invalid"},
      {"replace with relative destination", request("replace_atomically", f, "hft-rel/y").dump(),
       "path_invalid"},
      {"unknown keys are ignored",
       R"({"operation":"read_quarantine","sourcePath":")" + f +
           R"(","secretNote":"hunter2-hunter2","n":[1,2,{"x":null}]})",
       "inspected"},
      {"quarantine ignores a relative destination",
       request("read_quarantine", f, "hft-rel/z").dump(), "inspected"},
      {"final line feed", request("read_quarantine", f).dump() + "\n", "inspected"},
      {"raw NUL and more after the object",
       request("read_quarantine", f).dump() + std::string("\0garbage", 8), "invalid_request"},
      {"number beyond double range in an unknown key",
       R"({"operation":"read_quarantine","sourcePath":")" + f + R"(","x":1e400,"n":-)" +
           std::string(401, '9') + "}",
       "inspected"},
      {"byte order mark", "\xEF\xBB\xBF" + request("read_quarantine", f).dump(), "invalid_request"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outcomeOrCode(box.run(c.input)), c.expected);
  }
}

TEST_F(FileTransferHelper, RequestSizeBound) {
  const std::string body = request("read_quarantine", box.file("plain")).dump();
  const std::string exact = body + std::string(131072 - body.size(), ' ');
  EXPECT_EQ(outcomeOrCode(box.run(exact)), "inspected");
  EXPECT_EQ(outcomeOrCode(box.run(exact + " ")), "invalid_request");
  // Far more than the bound: refused without waiting for the rest.
  EXPECT_EQ(outcomeOrCode(box.run(std::string(8 << 20, '{'))), "invalid_request");
}

TEST_F(FileTransferHelper, PathLengthBound) {
  // 32767 bytes pass the textual check and fail on the file system; one more is refused as text.
  const std::string longest = "/" + std::string(32766, 'x');
  EXPECT_EQ(outcomeOrCode(box.run(request("read_quarantine", longest))), "source_invalid");
  EXPECT_EQ(outcomeOrCode(box.run(request("read_quarantine", longest + "x"))), "path_invalid");
}

TEST_F(FileTransferHelper, ParentComponentsAndRepeatedSlashesAreUsedAsGiven) {
  box.directory("sub");
  const std::string src = box.file("plain", "payload");
  auto r = box.run(request("move_no_replace", box.dir() + "/sub/..//plain", box.dir() + "/sub/x"));
  EXPECT_EQ(outcomeOrCode(r), "moved");
  EXPECT_EQ(Sandbox::contents(box.path("sub/x")), "payload");
  EXPECT_FALSE(Sandbox::exists(src));
}

// Files that fail the checks, as source of every operation and as the file a replace overwrites.
TEST_F(FileTransferHelper, FileChecks) {
  const std::string good = box.file("good", "good");
  const std::string target = box.file("target", "target");
  box.directory("folder");
  box.symlink("link", good);
  box.symlink("dangling", box.path("nothing"));
  mkfifo(box.path("fifo").c_str(), 0644);
  box.own(box.path("fifo"));
  const std::string twice = box.file("twice");
  box.hardlink(twice, "twice-too");
  struct Case {
    const char* name;
    const char* asSource;
    const char* asDestination;
  };
  std::vector<Case> cases = {
      {"missing", "source_invalid", "destination_invalid"},
      {"folder", "source_invalid", "destination_invalid"},
      {"link", "source_invalid", "destination_invalid"},
      {"dangling", "source_invalid", "destination_invalid"},
      {"fifo", "source_invalid", "destination_invalid"},
      {"twice", "hard_link_denied", "hard_link_denied"},
      {"good/inside", "source_invalid", "destination_invalid"},
  };
  if (runningAsRoot()) {
    box.file("foreign", "foreign", otherUid);
    const std::string foreignTwice = box.file("foreign-twice", "x", otherUid);
    box.hardlink(foreignTwice, "foreign-twice-too");
    symlink(box.path("foreign").c_str(), box.path("foreign-link").c_str());
    lchown(box.path("foreign-link").c_str(), otherUid, otherUid);
    cases.push_back({"foreign", "ownership_denied", "ownership_denied"});
    cases.push_back({"foreign-twice", "ownership_denied", "ownership_denied"});
    cases.push_back({"foreign-link", "source_invalid", "destination_invalid"});
  } else {
    std::printf("note: cases with another user's files need root; running the rest\n");
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string p = box.path(c.name);
    EXPECT_EQ(outcomeOrCode(box.run(request("apply_quarantine", p))), c.asSource);
    EXPECT_EQ(outcomeOrCode(box.run(request("read_quarantine", p))), c.asSource);
    EXPECT_EQ(outcomeOrCode(box.run(request("move_no_replace", p, box.path("new")))), c.asSource);
    EXPECT_EQ(outcomeOrCode(box.run(request("replace_atomically", p, target))), c.asSource);
    EXPECT_EQ(outcomeOrCode(box.run(request("replace_atomically", good, p))), c.asDestination);
  }
  // Nothing moved, nothing marked.
  EXPECT_FALSE(Sandbox::exists(box.path("new")));
  EXPECT_EQ(Sandbox::contents(good), "good");
  EXPECT_EQ(Sandbox::contents(target), "target");
  for (const char* name : {"good", "target", "twice"}) {
    EXPECT_FALSE(Sandbox::attribute(box.path(name))) << name;
  }
  // A bad source is reported before the destination is examined.
  EXPECT_EQ(outcomeOrCode(
                box.run(request("replace_atomically", box.path("missing"), box.path("missing2")))),
            "source_invalid");
}

TEST_F(FileTransferHelper, MoveNoReplace) {
  const std::string src = box.file("incoming", "new content");
  box.file("taken", "keep me");
  box.directory("folder");
  box.symlink("link", box.path("taken"));
  for (const char* occupied : {"taken", "folder", "link"}) {
    SCOPED_TRACE(occupied);
    EXPECT_EQ(outcomeOrCode(box.run(request("move_no_replace", src, box.path(occupied)))),
              "destination_exists");
    EXPECT_EQ(Sandbox::contents(src), "new content");
  }
  EXPECT_EQ(Sandbox::contents(box.path("taken")), "keep me");
  EXPECT_EQ(outcomeOrCode(box.run(request("move_no_replace", src, box.path("absent/x")))),
            "atomic_operation_failed");
  EXPECT_EQ(outcomeOrCode(box.run(request("move_no_replace", src, src))), "destination_exists");

  auto r = box.run(request("move_no_replace", src, box.path("final")));
  EXPECT_EQ(outcomeOrCode(r), "moved");
  EXPECT_EQ(r.json["cleanupDeferred"], false);
  EXPECT_EQ(Sandbox::contents(box.path("final")), "new content");
  EXPECT_FALSE(Sandbox::exists(src));
}

TEST_F(FileTransferHelper, ReplaceAtomically) {
  const std::string src = box.file("incoming", "new content");
  const std::string dst = box.file("current", "old content");
  EXPECT_EQ(outcomeOrCode(box.run(request("replace_atomically", src, box.path("absent")))),
            "destination_invalid");
  auto r = box.run(request("replace_atomically", src, dst));
  EXPECT_EQ(outcomeOrCode(r), "replaced");
  EXPECT_EQ(r.json["cleanupDeferred"], false);
  EXPECT_EQ(Sandbox::contents(dst), "new content");
  EXPECT_FALSE(Sandbox::exists(src));
  EXPECT_EQ(std::filesystem::directory_iterator(box.dir())->path(), dst);
}

// Two spellings of one file: swapping it with itself and removing the old name would lose it.
TEST_F(FileTransferHelper, ReplaceOfAFileWithItselfIsRefused) {
  const std::string only = box.file("only", "the only copy");
  box.directory("sub");
  for (const std::string& other :
       {box.dir() + "//only", box.dir() + "/./only", box.dir() + "/sub/../only", only}) {
    SCOPED_TRACE(other);
    EXPECT_EQ(outcomeOrCode(box.run(request("replace_atomically", only, other))),
              "destination_invalid");
    EXPECT_EQ(Sandbox::contents(only), "the only copy");
  }
}

TEST_F(FileTransferHelper, RenamesIntoAFolderTheUserCannotWrite) {
  REQUIRE_ROOT("make a folder the helper's user cannot write");
  const std::string src = box.file("incoming", "new");
  box.directory("locked", /*owner=*/uid_t{0});
  const std::string dst = box.file("locked/current", "old");
  EXPECT_EQ(outcomeOrCode(box.run(request("move_no_replace", src, box.path("locked/new")))),
            "permission_denied");
  EXPECT_EQ(outcomeOrCode(box.run(request("replace_atomically", src, dst))), "permission_denied");
  EXPECT_EQ(Sandbox::contents(src), "new");
  EXPECT_EQ(Sandbox::contents(dst), "old");
}

TEST_F(FileTransferHelper, AcrossFileSystemsNothingIsCopied) {
  REQUIRE_ROOT("mount a second file system");
  const std::string other = box.mount("other", "tmpfs", "size=1m");
  const std::string src = box.file("incoming", "new");
  const std::string dst = box.file("other/current", "old");
  EXPECT_EQ(outcomeOrCode(box.run(request("move_no_replace", src, other + "/landed"))),
            "atomic_operation_failed");
  EXPECT_EQ(outcomeOrCode(box.run(request("replace_atomically", src, dst))),
            "atomic_operation_failed");
  EXPECT_FALSE(Sandbox::exists(other + "/landed"));
  EXPECT_EQ(Sandbox::contents(src), "new");
  EXPECT_EQ(Sandbox::contents(dst), "old");
}

TEST_F(FileTransferHelper, QuarantineMark) {
  const std::string f = box.file("recv", "payload");
  auto unmarked = box.run(request("read_quarantine", f));
  EXPECT_EQ(outcomeOrCode(unmarked), "inspected");
  EXPECT_EQ(unmarked.json["quarantinePresent"], false);

  const auto before = std::time(nullptr);
  auto applied = box.run(request("apply_quarantine", f));
  const auto after = std::time(nullptr);
  EXPECT_EQ(outcomeOrCode(applied), "quarantined");
  EXPECT_EQ(applied.json["quarantinePresent"], true);
  const auto first = Sandbox::attribute(f);
  ASSERT_TRUE(first);
  const auto hex = quarantineTime(*first);
  ASSERT_TRUE(hex) << *first;
  EXPECT_NE(hex->front(), '0');
  const long long stamp = std::stoll(*hex, nullptr, 16);
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);
  EXPECT_EQ(Sandbox::contents(f), "payload");

  auto marked = box.run(request("read_quarantine", f));
  EXPECT_EQ(marked.json["quarantinePresent"], true);

  EXPECT_EQ(outcomeOrCode(box.run(request("apply_quarantine", f))), "quarantined");
  const auto second = Sandbox::attribute(f);
  ASSERT_TRUE(second);
  EXPECT_NE(second->substr(second->size() - 36), first->substr(first->size() - 36));
  const auto secondHex = quarantineTime(*second);
  ASSERT_TRUE(secondHex) << *second;
  EXPECT_GE(std::stoll(*secondHex, nullptr, 16), stamp);

  // An empty or foreign value counts as present.
  const std::string other = box.file("foreign-value");
  ASSERT_EQ(lsetxattr(other.c_str(), attributeName, "", 0, 0), 0);
  EXPECT_EQ(box.run(request("read_quarantine", other)).json["quarantinePresent"], true);
}

TEST_F(FileTransferHelper, QuarantineAndFileModes) {
  // Without write permission the owner may not set user attributes; reading still works.
  const std::string readOnly = box.file("unwritable", "x", std::nullopt, 0444);
  EXPECT_EQ(outcomeOrCode(box.run(request("apply_quarantine", readOnly))), "permission_denied");
  EXPECT_FALSE(Sandbox::attribute(readOnly));
  EXPECT_EQ(outcomeOrCode(box.run(request("read_quarantine", readOnly))), "inspected");
  // Without read permission the file is still the owner's to mark.
  const std::string writeOnly = box.file("unreadable", "x", std::nullopt, 0200);
  EXPECT_EQ(outcomeOrCode(box.run(request("apply_quarantine", writeOnly))), "quarantined");
  chmod(writeOnly.c_str(), 0600);  // so that a test run without root can read the mark back
  EXPECT_TRUE(Sandbox::attribute(writeOnly));
}

// Run as root, the helper answers before reading: the request stays unread in the pipe.
TEST(FileTransferHelperRoot, RefusesRootWithoutReadingInput) {
  REQUIRE_ROOT("run the helper as root");
  int in[2], out[2], err[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  ASSERT_EQ(pipe(err), 0);
  const std::string pending = R"({"operation":"read_quarantine","sourcePath":"/etc/passwd"})";
  ASSERT_EQ(write(in[1], pending.data(), pending.size()), static_cast<ssize_t>(pending.size()));
  const std::string binary = testing::binaryPath("HalvorineFileTransferHelper");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::string answer, errors;
  char buf[4096];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) answer.append(buf, n);
  while ((n = read(err[0], buf, sizeof buf)) > 0) errors.append(buf, n);
  EXPECT_EQ(checks::responseProblem(answer), "");
  EXPECT_NE(answer.find(R"("errorCode":"root_denied")"), std::string::npos) << answer;
  EXPECT_EQ(checks::leakedPiece(answer, {"/etc/passwd"}), "");
  EXPECT_EQ(errors, "");
  close(in[1]);
  std::string left;
  while ((n = read(in[0], buf, sizeof buf)) > 0) left.append(buf, n);
  EXPECT_EQ(left, pending) << "the helper read its input";
  for (int fd : {in[0], out[0], err[0]}) close(fd);
}

// With the host gone before the answer, the helper still ends with its status, not by a signal.
TEST_F(FileTransferHelper, ClosedOutputDoesNotKillTheHelper) {
  const std::string f = box.file("plain");
  testing::RunOptions options;
  if (runningAsRoot()) options.uid = options.gid = helperUid;
  testing::ChildProcess child({testing::binaryPath("HalvorineFileTransferHelper")}, options);
  child.closeStdout();
  child.write(request("read_quarantine", f).dump());
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(child.termSignal(), 0);
  EXPECT_EQ(child.err(), "");
}

}  // namespace
}  // namespace halvorine::file_transfer::e2e
