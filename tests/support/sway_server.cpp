#include "sway_server.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "process.h"

namespace halvorine::testing {

namespace {

constexpr char testUser[] = "halvorine-test";

using Clock = std::chrono::steady_clock;

// Starts a program in a process group of its own with exactly this environment; its output goes
// to logPath.
pid_t spawnQuiet(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 const std::string& logPath) {
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    setpgid(0, 0);
    const int devnull = open("/dev/null", O_RDONLY);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(devnull, 0);
    dup2(log >= 0 ? log : devnull, 1);
    dup2(log >= 0 ? log : devnull, 2);
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  return pid;
}

// Ends the process group of a child started by spawnQuiet: TERM, then KILL after a grace time.
void endGroup(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(-pid, SIGCONT);
  ::kill(-pid, SIGTERM);
  int status = 0;
  bool ended = false;
  for (int i = 0; i < 300 && !ended; ++i) {
    ended = waitpid(pid, &status, WNOHANG) == pid;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(-pid, SIGKILL);
  if (!ended) waitpid(pid, &status, 0);
  pid = -1;
}

std::string makeRuntimeDir() {
  char pattern[] = "/tmp/halvorine-wayland-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  chmod(pattern, 0700);
  return pattern;
}

void removeTree(const std::string& dir) {
  if (dir.empty()) return;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") unlink((dir + "/" + name).c_str());
    }
    closedir(d);
  }
  rmdir(dir.c_str());
}

// The first file in dir whose name starts with prefix and does not end with suffixToSkip.
std::string findFile(const std::string& dir, const std::string& prefix,
                     const std::string& suffixToSkip) {
  std::string found;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      const bool skipped =
          !suffixToSkip.empty() && name.size() >= suffixToSkip.size() &&
          name.compare(name.size() - suffixToSkip.size(), suffixToSkip.size(), suffixToSkip) == 0;
      if (name.rfind(prefix, 0) == 0 && !skipped) {
        found = dir + "/" + name;
        break;
      }
    }
    closedir(d);
  }
  return found;
}

std::string readFirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::vector<std::string> baseEnvironment(const std::string& runtimeDir) {
  const char* path = std::getenv("PATH");
  return {"XDG_RUNTIME_DIR=" + runtimeDir, "HOME=" + runtimeDir,
          std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin")};
}

}  // namespace

bool runAsWaylandTestUser() {
  if (geteuid() != 0) return true;
  passwd* user = getpwnam(testUser);
  if (user == nullptr) {
    runProcess(
        {"useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", testUser});
    user = getpwnam(testUser);
  }
  if (user == nullptr) return false;
  const uid_t uid = user->pw_uid;
  const gid_t gid = user->pw_gid;
  return setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 &&
         setresuid(uid, uid, uid) == 0;
}

SwayServer::SwayServer() : SwayServer(Options{}) {}

SwayServer::SwayServer(Options options) : options_(std::move(options)) {
  runtimeDir_ = makeRuntimeDir();
  std::ostringstream config;
  config << "output HEADLESS-1 resolution " << options_.width << "x" << options_.height
         << " position 0 0\n"
         << "xwayland " << (options_.xwayland ? "force" : "disable") << "\n"
         << "default_border none\n"
         << "default_floating_border none\n"
         << "focus_follows_mouse no\n"
         << "mouse_warping none\n"
         << "focus_on_window_activation focus\n";
  for (const auto& line : options_.extraConfig) config << line << "\n";
  // sway runs exec lines through sh with its Xwayland's display in DISPLAY.
  if (options_.xwayland) config << "exec echo \"$DISPLAY\" > " << runtimeDir_ << "/x-display\n";
  std::ofstream(runtimeDir_ + "/config") << config.str();
  start();
}

SwayServer::~SwayServer() {
  stop();
  removeTree(runtimeDir_);
}

void SwayServer::start() {
  std::vector<std::string> env = baseEnvironment(runtimeDir_);
  for (const char* v : {"WLR_BACKENDS=headless", "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1",
                        "WLR_HEADLESS_OUTPUTS=1"}) {
    env.emplace_back(v);
  }
  unlink((runtimeDir_ + "/x-display").c_str());
  pid_ = spawnQuiet({"sway", "-c", runtimeDir_ + "/config"}, env, runtimeDir_ + "/sway.log");
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  std::string ipc;
  while (Clock::now() < deadline) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("sway ended at start; see its log in " + runtimeDir_);
    }
    socket_ = findFile(runtimeDir_, "wayland-", ".lock");
    ipc = findFile(runtimeDir_, "sway-ipc.", "");
    if (options_.xwayland) xDisplay_ = readFirstLine(runtimeDir_ + "/x-display");
    if (!socket_.empty() && !ipc.empty() && (!options_.xwayland || !xDisplay_.empty())) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  endGroup(pid_);
  throw std::runtime_error("sway did not start");
}

bool SwayServer::command(const std::string& command) {
  const std::string ipc = findFile(runtimeDir_, "sway-ipc.", "");
  if (ipc.empty()) return false;
  RunOptions options;
  options.env["SWAYSOCK"] = ipc;
  options.timeout = std::chrono::seconds(10);
  const RunResult r = runProcess({"swaymsg", command}, options);
  return r.exitStatus == 0;
}

void SwayServer::stop() {
  endGroup(pid_);
}

void SwayServer::restart() {
  stop();
  // The old socket and lock go with the old compositor; the new one takes the same name.
  unlink(socket_.c_str());
  unlink((socket_ + ".lock").c_str());
  const std::string before = socket_;
  if (const std::string ipc = findFile(runtimeDir_, "sway-ipc.", ""); !ipc.empty()) {
    unlink(ipc.c_str());
  }
  start();
  if (socket_ != before) throw std::runtime_error("sway came back on another socket");
}

void SwayServer::pause() {
  if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

void SwayServer::resume() {
  if (pid_ > 0) ::kill(pid_, SIGCONT);
}

WestonServer::WestonServer() {
  runtimeDir_ = makeRuntimeDir();
  std::vector<std::string> env = baseEnvironment(runtimeDir_);
  pid_ = spawnQuiet({"weston", "--backend=headless-backend.so", "--socket=wayland-weston",
                     "--idle-time=0", "--no-config"},
                    env, runtimeDir_ + "/weston.log");
  socket_ = runtimeDir_ + "/wayland-weston";
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    if (access(socket_.c_str(), F_OK) == 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  endGroup(pid_);
}

WestonServer::~WestonServer() {
  endGroup(pid_);
  removeTree(runtimeDir_);
}

}  // namespace halvorine::testing
