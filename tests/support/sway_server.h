#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace halvorine::testing {

// Wayland tests run the compositor and their own Wayland clients as an unprivileged user: sway
// refuses root, and Xwayland refuses clients whose uid has no passwd entry. When the test runs
// as root, this makes sure the user "halvorine-test" exists (useradd) and drops the whole test
// process to it. Returns false when that fails.
bool runAsWaylandTestUser();

// A private headless sway for one test (wlroots headless backend, pixman renderer, no input
// devices), with its own runtime folder, and Xwayland unless disabled. The config gives windows
// no borders and keeps focus where the test puts it.
class SwayServer {
 public:
  struct Options {
    int width = 1280;
    int height = 800;
    bool xwayland = true;
    std::vector<std::string> extraConfig;
  };

  SwayServer();
  explicit SwayServer(Options options);
  ~SwayServer();
  SwayServer(const SwayServer&) = delete;
  SwayServer& operator=(const SwayServer&) = delete;

  bool running() const { return pid_ > 0; }
  // The absolute socket path, for WAYLAND_DISPLAY or a connection's display name.
  const std::string& waylandDisplay() const { return socket_; }
  const std::string& runtimeDir() const { return runtimeDir_; }
  // ":N" of sway's Xwayland; empty without Xwayland.
  const std::string& xDisplay() const { return xDisplay_; }

  // Runs one sway command through swaymsg; true when sway reports success.
  bool command(const std::string& command);
  // Ends the compositor (and its Xwayland) and waits for it.
  void stop();
  // Starts a new compositor on the same socket.
  void restart();
  // Stops or continues the compositor, for tests of a compositor that does not answer.
  void pause();
  void resume();

 private:
  void start();

  Options options_;
  std::string runtimeDir_;
  std::string socket_;
  std::string xDisplay_;
  pid_t pid_ = -1;
};

// weston's headless backend: a Wayland compositor without the virtual input protocols.
class WestonServer {
 public:
  WestonServer();
  ~WestonServer();
  WestonServer(const WestonServer&) = delete;
  WestonServer& operator=(const WestonServer&) = delete;

  bool running() const { return pid_ > 0; }
  const std::string& waylandDisplay() const { return socket_; }

 private:
  std::string runtimeDir_;
  std::string socket_;
  pid_t pid_ = -1;
};

}  // namespace halvorine::testing
