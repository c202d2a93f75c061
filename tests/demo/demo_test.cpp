// `make demo` as a new user runs it: on a private Xvfb with a terminal, to its end, and without
// leaving any process it started behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process.h"

namespace halvorine::testing {
namespace {

using namespace std::chrono_literals;

// The processes whose parent is this one and that have not ended yet (zombies have).
std::vector<pid_t> livingChildren() {
  std::vector<pid_t> living;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto nameEnd = stat.rfind(')');  // the command name may hold spaces and parentheses
    if (nameEnd == std::string::npos) continue;
    std::istringstream fields(stat.substr(nameEnd + 1));
    char state = 0;
    pid_t parent = 0;
    fields >> state >> parent;
    if (parent == getpid() && state != 'Z') living.push_back(std::stoi(name));
  }
  return living;
}

std::string commandLine(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
  std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (char& c : line) c = c == '\0' ? ' ' : c;
  return line;
}

TEST(Demo, RunsOnAPrivateDisplayAndLeavesNothingBehind) {
  // Whatever the demo leaves behind is handed to this process instead of to init, so that it can
  // be found here (and cleaned up).
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  RunOptions options;
  options.env = {{"HALVORINE_DEMO_USE_DISPLAY", std::nullopt}, {"DISPLAY", std::nullopt}};
  options.timeout = 120s;
  const RunResult r = runProcess({"bash", HALVORINE_DEMO_SCRIPT, HALVORINE_BUILD_DIR}, options);
  const std::vector<pid_t> left = livingChildren();

  EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("demo: private X server on"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("demo: helper exited with status 0"), std::string::npos) << r.out;
  std::string names;
  for (pid_t pid : left) names += std::to_string(pid) + ": " + commandLine(pid) + "\n";
  EXPECT_TRUE(left.empty()) << "still running after the demo returned:\n" << names;

  // Leave nothing for the next test either.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  for (;;) {
    for (pid_t pid : livingChildren()) kill(pid, SIGKILL);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    if (livingChildren().empty() || std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(50ms);
  }
}

}  // namespace
}  // namespace halvorine::testing
