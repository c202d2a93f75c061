#include "xvfb_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace halvorine::testing {

XvfbServer::XvfbServer() : XvfbServer(Options{}) {}

XvfbServer::XvfbServer(Options options) : options_(std::move(options)) {
  start("");
}

XvfbServer::~XvfbServer() {
  stop();
}

void XvfbServer::start(const std::string& displayNumber) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const std::string screen = std::to_string(options_.width) + "x" +
                             std::to_string(options_.height) + "x" + std::to_string(options_.depth);
  std::vector<std::string> args = {"Xvfb"};
  if (!displayNumber.empty()) args.push_back(":" + displayNumber);
  for (const char* a : {"-displayfd", "", "-noreset", "-nolisten", "tcp", "-screen", "0"}) {
    args.emplace_back(a);
  }
  args[args.size() - 6] = std::to_string(fds[1]);
  args.push_back(screen);
  for (const auto& a : options_.extraArgs) args.push_back(a);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // Only the display-number pipe stays open in the server; its output goes nowhere.
    fcntl(fds[1], F_SETFD, 0);
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    dup2(devnull, 2);
    setpgid(0, 0);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp("Xvfb", argv.data());
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0 || poll(&p, 1, left) <= 0) break;
    char c;
    ssize_t n = read(fds[0], &c, 1);
    if (n <= 0 || c == '\n') break;
    number.push_back(c);
  }
  close(fds[0]);
  if (number.empty()) {
    ::kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    throw std::runtime_error("Xvfb did not start");
  }
  pid_ = pid;
  display_ = ":" + number;
}

void XvfbServer::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
}

void XvfbServer::restart() {
  stop();
  // The old server's lock file and socket go with it; a few tries cover the short window in which
  // they are still being removed.
  for (int attempt = 0;; ++attempt) {
    try {
      start(display_.substr(1));
      return;
    } catch (const std::exception&) {
      if (attempt >= 20) throw;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
}

}  // namespace halvorine::testing
