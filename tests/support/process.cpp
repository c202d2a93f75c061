#include "process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace halvorine::testing {

namespace {

pid_t spawn(const std::vector<std::string>& argv, const RunOptions& options, int& in, int& out,
            int& err) {
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 ||
      pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    signal(SIGPIPE, SIG_DFL);
    // Programs act on the desktops the tests make: a Wayland session around the run would
    // otherwise be chosen by the helper. A test that wants one names it.
    for (const char* name : {"WAYLAND_DISPLAY", "WAYLAND_SOCKET", "HALVORINE_BACKEND"}) {
      unsetenv(name);
    }
    for (const auto& [name, value] : options.env) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    if (options.gid) {
      if (setgroups(0, nullptr) != 0 || setgid(*options.gid) != 0) _exit(126);
    }
    if (options.uid && setuid(*options.uid) != 0) _exit(126);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  in = inPipe[1];
  out = outPipe[0];
  err = errPipe[0];
  return pid;
}

}  // namespace

RunOptions onDisplay(const std::string& display, std::string stdinData) {
  RunOptions options;
  options.env["DISPLAY"] = display;
  options.stdinData = std::move(stdinData);
  return options;
}

RunOptions withoutDisplay(std::string stdinData) {
  RunOptions options;
  options.env["DISPLAY"] = std::nullopt;
  options.stdinData = std::move(stdinData);
  return options;
}

std::string binaryPath(const std::string& name) {
  const char* dir = std::getenv("HALVORINE_BIN_DIR");
#ifdef HALVORINE_DEFAULT_BIN_DIR
  if (dir == nullptr) dir = HALVORINE_DEFAULT_BIN_DIR;
#endif
  if (dir == nullptr) dir = ".";
  return std::string(dir) + "/" + name;
}

RunResult runProcess(const std::vector<std::string>& argv, const RunOptions& options) {
  signal(SIGPIPE, SIG_IGN);
  int in = -1, out = -1, err = -1;
  pid_t pid = spawn(argv, options, in, out, err);
  RunResult result;
  size_t written = 0;
  if (options.closeStdin || options.stdinData.empty()) {
    close(in);
    in = -1;
  } else {
    fcntl(in, F_SETFL, O_NONBLOCK);
  }
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  char buf[65536];
  while (out >= 0 || err >= 0) {
    std::vector<pollfd> fds;
    if (out >= 0) fds.push_back({out, POLLIN, 0});
    if (err >= 0) fds.push_back({err, POLLIN, 0});
    if (in >= 0) fds.push_back({in, POLLOUT, 0});
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds.data(), fds.size(), static_cast<int>(left)) < 0 && errno != EINTR) break;
    for (auto& p : fds) {
      if (p.revents == 0) continue;
      if (p.fd == in) {
        ssize_t n =
            ::write(in, options.stdinData.data() + written, options.stdinData.size() - written);
        if (n > 0) written += static_cast<size_t>(n);
        if (n < 0 && errno != EAGAIN) written = options.stdinData.size();
        if (written == options.stdinData.size()) {
          close(in);
          in = -1;
        }
        continue;
      }
      ssize_t n = read(p.fd, buf, sizeof buf);
      if (n > 0) {
        (p.fd == out ? result.out : result.err).append(buf, static_cast<size_t>(n));
      } else {
        close(p.fd);
        (p.fd == out ? out : err) = -1;
      }
    }
  }
  if (in >= 0) close(in);
  if (out >= 0) close(out);
  if (err >= 0) close(err);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status) && !result.timedOut) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const RunOptions& options) {
  signal(SIGPIPE, SIG_IGN);
  pid_ = spawn(argv, options, in_, out_, errFd_);
}

ChildProcess::~ChildProcess() {
  if (status_ == -2 && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {in_, out_, errFd_}) {
    if (fd >= 0) close(fd);
  }
}

bool ChildProcess::write(const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(in_, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  const auto line = readLineView(timeout);
  if (!line) return std::nullopt;
  return std::string(*line);
}

std::optional<std::string_view> ChildProcess::readLineView(std::chrono::milliseconds timeout) {
  buffer_.erase(0, handedOut_);
  handedOut_ = 0;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // Only bytes not yet looked at are searched, so a line of many blocks costs linear time; reads
  // go straight into the kept buffer in large pieces, as a host that takes capture lines would.
  constexpr size_t kRead = 1 << 20;
  size_t scanned = 0;
  for (;;) {
    if (auto pos = buffer_.find('\n', scanned); pos != std::string::npos) {
      handedOut_ = pos + 1;
      return std::string_view(buffer_.data(), pos);
    }
    scanned = buffer_.size();
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0 || out_ < 0) return std::nullopt;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    buffer_.resize(scanned + kRead);
    const ssize_t n = read(out_, buffer_.data() + scanned, kRead);
    buffer_.resize(scanned + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n <= 0) {
      close(out_);
      out_ = -1;
      return std::nullopt;
    }
  }
}

void ChildProcess::closeStdout() {
  if (out_ >= 0) close(out_);
  out_ = -1;
}

void ChildProcess::closeStdin() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
  closeStdin();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    rusage usage{};
    pid_t r = wait4(pid_, &status, WNOHANG, &usage);
    if (r == pid_) {
      maxRssKb_ = usage.ru_maxrss;
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      status_ = -1;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  char buf[4096];
  if (errFd_ >= 0) {
    fcntl(errFd_, F_SETFL, O_NONBLOCK);
    ssize_t n;
    while ((n = read(errFd_, buf, sizeof buf)) > 0) err_.append(buf, static_cast<size_t>(n));
  }
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  termSignal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return status_;
}

double pipelinedMoveThroughput(ChildProcess& helper, int count) {
  helper.write("{\"type\":\"mouse_move\",\"x\":1,\"y\":1}\n");
  if (!helper.readLine()) return 0;
  const auto start = std::chrono::steady_clock::now();
  std::thread writer([&] {
    std::string batch;
    for (int i = 0; i < count; ++i) {
      batch += "{\"type\":\"mouse_move\",\"x\":";
      batch += std::to_string(i % 1000);
      batch += ",\"y\":";
      batch += std::to_string(i % 700);
      batch += "}\n";
      if (batch.size() > 16384) {
        helper.write(batch);
        batch.clear();
      }
    }
    helper.write(batch);
  });
  int answered = 0;
  bool allOk = true;
  while (answered < count) {
    const auto line = helper.readLine();
    if (!line) break;
    allOk = allOk && line->find("\"ok\":true") != std::string::npos;
    ++answered;
  }
  writer.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  helper.closeStdin();
  helper.wait();
  return answered == count && allOk ? count / seconds : 0;
}

double averageRunMs(const std::vector<std::string>& argv, const RunOptions& options, int runs,
                    bool* allOk) {
  runProcess(argv, options);  // warm the page cache
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < runs; ++i) {
    if (runProcess(argv, options).exitStatus != 0) *allOk = false;
  }
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
             .count() /
         runs;
}

}  // namespace halvorine::testing
