#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace halvorine::testing {

// A private X server for one test: Xvfb started on a free display number (-displayfd) with
// -noreset, so that pointer position, monitors and keymap survive clients that disconnect.
class XvfbServer {
 public:
  struct Options {
    int width = 1280;
    int height = 800;
    int depth = 24;
    std::vector<std::string> extraArgs;  // e.g. {"-extension", "XTEST"}
  };

  XvfbServer();
  explicit XvfbServer(Options options);
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // ":N", for DISPLAY.
  const std::string& display() const { return display_; }
  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0; }

  // Ends the server and waits for it.
  void stop();
  // Starts a new server on the same display number.
  void restart();

 private:
  void start(const std::string& displayNumber);

  Options options_;
  std::string display_;
  pid_t pid_ = -1;
};

}  // namespace halvorine::testing
