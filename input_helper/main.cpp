#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "command_channel/dispatch.h"
#include "command_channel/modes.h"
#include "screen_capture/screen_capture.h"
#include "wayland/wayland_backend.h"
#include "wire/helper_output.h"
#include "x11/x11_platform.h"
#include "x11/x_connection.h"

namespace {

// A standard descriptor that the parent left closed would otherwise be taken by the first file
// this process opens (the X connection's socket), and answers would go to the X server. Standard
// output gets a descriptor that refuses writes, so a helper without a reader ends at the first
// answer; standard input reads as empty.
void occupyClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) continue;
    const int opened = ::open("/dev/null", fd == STDERR_FILENO ? O_WRONLY : O_RDONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

// The seams of a backend that cannot be had: input is never trusted and nothing is sent.
class UnavailableAccessibility final : public halvorine::Accessibility {
 public:
  bool isTrusted(bool) override { return false; }
};

class UnavailableDesktop final : public halvorine::Desktop {
 public:
  std::optional<halvorine::Point> pointerLocation() override { return std::nullopt; }
  uint32_t mainDisplayId() override { return 0; }
  halvorine::Rect displayBounds(uint32_t) override { return halvorine::Rect::null(); }
  bool movePointer(halvorine::Point) override { return false; }
  bool pressButton(halvorine::MouseButton, halvorine::Point, bool) override { return false; }
  bool click(halvorine::MouseButton, halvorine::Point) override { return false; }
  bool turnWheel(int32_t) override { return false; }
  bool pressKey(uint16_t, uint64_t, bool) override { return false; }
  bool typeCharacter(std::string_view, bool) override { return false; }
  void pause(std::chrono::milliseconds) override {}
  void finishRequest() override {}
};

// Wayland is chosen only on request for now; X11 stays the default.
bool waylandChosen() {
  const char* backend = std::getenv("HALVORINE_BACKEND");
  return backend != nullptr && std::string_view(backend) == "wayland";
}

// The Wayland seams from the backend module beside this program, loaded only now so that the X11
// path never loads the Wayland libraries; empty seams when the module is missing.
halvorine::wayland::BackendSeams loadWaylandBackend() {
  namespace wl = halvorine::wayland;
  std::string path(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0 || static_cast<size_t>(n) >= path.size()) return {};
  path.resize(static_cast<size_t>(n));
  path = path.substr(0, path.rfind('/') + 1) + wl::backendModuleName;
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return {};
  const auto entry = reinterpret_cast<wl::BackendEntry>(::dlsym(module, wl::backendEntryPoint));
  return entry != nullptr ? entry() : wl::BackendSeams{};
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that has gone makes write() fail with EPIPE instead of killing the process mid-line.
  ::signal(SIGPIPE, SIG_IGN);
  occupyClosedStandardDescriptors();

  std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const halvorine::Switches switches = halvorine::parseSwitches(arguments);

  halvorine::x11::XConnection connection;
  std::unique_ptr<halvorine::Accessibility> ownAccessibility;
  std::unique_ptr<halvorine::Desktop> ownDesktop;
  halvorine::Accessibility* accessibility = nullptr;
  halvorine::Desktop* desktop = nullptr;
  if (waylandChosen()) {
    const halvorine::wayland::BackendSeams seams = loadWaylandBackend();
    accessibility = seams.accessibility;
    desktop = seams.desktop;
    if (accessibility == nullptr || desktop == nullptr) {
      ownAccessibility = std::make_unique<UnavailableAccessibility>();
      ownDesktop = std::make_unique<UnavailableDesktop>();
    }
  } else {
    ownAccessibility = halvorine::x11::makeX11Accessibility(connection);
    ownDesktop = halvorine::x11::makeX11Desktop(connection);
  }
  if (ownAccessibility) accessibility = ownAccessibility.get();
  if (ownDesktop) desktop = ownDesktop.get();
  // Screen capture stays on X11 with either input backend; under a Wayland session it reaches the
  // screen through Xwayland (DISPLAY).
  auto capturePlatform = halvorine::x11::makeX11CapturePlatform(connection);
  halvorine::ScreenCapture capture(*capturePlatform);
  const halvorine::Helper helper = halvorine::helperOver(*accessibility, *desktop, capture);

  halvorine::AnswerOutput out = halvorine::AnswerOutput::forStandardOutput();
  const int status = halvorine::runHelper(switches, helper, STDIN_FILENO, out);
  // Every answer has already been written with write(2); nothing is buffered. Leaving without
  // unwinding main's objects means no platform teardown can delay or change the exit status.
  std::exit(status);
}
