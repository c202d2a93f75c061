// The real HalvorineIdentityMigrationHelper: one fixed line and exit status 3 whatever it is given.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "process.h"

namespace {

using halvorine::testing::binaryPath;

const std::string expected =
    R"({"credentialContentRecorded":false,"errorCode":"keychain_operations_disabled",)"
    R"("identityRecreated":false,"keychainDatabaseRecorded":false,"ok":false,)"
    R"("privateKeyExported":false})"
    "\n";

struct Outcome {
  int status = -1;
  std::string out, err, leftInput;
};

// Starts the helper with the given standard input (a pipe kept open, with `pending` waiting in
// it, or closed altogether) and reports what stayed unread.
Outcome start(const std::vector<std::string>& args, const std::string& pending, bool closedInput) {
  int in[2], out[2], err[2];
  EXPECT_EQ(pipe(in), 0);
  EXPECT_EQ(pipe(out), 0);
  EXPECT_EQ(pipe(err), 0);
  if (!pending.empty()) {
    EXPECT_EQ(write(in[1], pending.data(), pending.size()), ssize_t(pending.size()));
  }
  const std::string binary = binaryPath("HalvorineIdentityMigrationHelper");
  pid_t pid = fork();
  if (pid == 0) {
    if (closedInput) {
      close(0);
    } else {
      dup2(in[0], 0);
    }
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    std::vector<char*> argv{const_cast<char*>(binary.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  Outcome run;
  char buf[4096];
  ssize_t n;
  // The write end of its input stays open here: a helper that read would wait forever.
  while ((n = read(out[0], buf, sizeof buf)) > 0) run.out.append(buf, n);
  while ((n = read(err[0], buf, sizeof buf)) > 0) run.err.append(buf, n);
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  close(in[1]);
  while ((n = read(in[0], buf, sizeof buf)) > 0) run.leftInput.append(buf, n);
  for (int fd : {in[0], out[0], err[0]}) close(fd);
  return run;
}

TEST(IdentityMigrationHelper, SameLineAndStatusWhateverItIsGiven) {
  ASSERT_EQ(expected.size(), 176u);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string pending;
    bool closedInput;
  };
  const std::vector<Case> cases = {
      {"no input, input left open", {}, "", false},
      {"input waiting",
       {},
       R"({"operation":"migrate"})"
       "\n",
       false},
      {"input closed", {}, "", true},
      {"arguments", {"--export", "/tmp/keychain", "", "--stream"}, "x", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = start(c.args, c.pending, c.closedInput);
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.leftInput, c.pending) << "standard input was read";
  }
}

TEST(IdentityMigrationHelper, ClosedOutputStillEndsWithStatusThree) {
  halvorine::testing::ChildProcess child({binaryPath("HalvorineIdentityMigrationHelper")});
  child.closeStdout();
  EXPECT_EQ(child.wait(), 3);
  EXPECT_EQ(child.termSignal(), 0);
}

}  // namespace
