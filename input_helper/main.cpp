#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
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

class UnavailableCapturePlatform final : public halvorine::CapturePlatform {
 public:
  uint32_t mainDisplayId(halvorine::Deadline) override { return 0; }
  halvorine::Rect displayBounds(uint32_t, halvorine::Deadline) override {
    return halvorine::Rect::null();
  }
  // The listing fails as one does without a compositor; completions run on a thread of their own.
  void listDisplays(halvorine::Deadline, halvorine::DisplayListCompletion completion) override {
    std::thread([&] { completion(std::nullopt, halvorine::PlatformError{ENOENT}); }).join();
  }
  void grabDisplay(const halvorine::ListedDisplay&, halvorine::PixelSize, halvorine::Deadline,
                   halvorine::FrameCompletion completion) override {
    std::thread([&] { completion(nullptr, std::nullopt); }).join();
  }
  halvorine::Point currentMouseLocation(halvorine::Deadline) override { return {}; }
};

// The socket a Wayland client connects to: WAYLAND_DISPLAY as an absolute path, or a name in
// XDG_RUNTIME_DIR (libwayland's rules); empty when WAYLAND_DISPLAY is unset or empty.
std::string waylandSocketPath() {
  const char* name = std::getenv("WAYLAND_DISPLAY");
  if (name == nullptr || *name == '\0') return {};
  if (*name == '/') return name;
  const char* dir = std::getenv("XDG_RUNTIME_DIR");
  if (dir == nullptr || *dir == '\0') return {};
  return std::string(dir) + "/" + name;
}

// A compositor listens on the socket: one connect() and close(), without loading libwayland, so
// that the X11 path stays as quick as before.
bool compositorReachable() {
  const std::string path = waylandSocketPath();
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof(address.sun_path)) return false;
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool reached =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return reached;
}

enum class Choice { x11, wayland, automatic };

// HALVORINE_BACKEND=x11 or =wayland forces a backend; anything else leaves the choice to the
// session: Wayland when WAYLAND_DISPLAY names a compositor that takes connections.
Choice requestedBackend() {
  const char* backend = std::getenv("HALVORINE_BACKEND");
  const std::string_view value = backend != nullptr ? backend : "";
  if (value == "x11") return Choice::x11;
  if (value == "wayland") return Choice::wayland;
  return Choice::automatic;
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
  std::unique_ptr<halvorine::CapturePlatform> ownCapture;
  halvorine::wayland::BackendSeams seams;
  const Choice choice = requestedBackend();
  if (choice == Choice::wayland || (choice == Choice::automatic && compositorReachable())) {
    seams = loadWaylandBackend();
    const bool complete =
        seams.accessibility != nullptr && seams.desktop != nullptr && seams.capture != nullptr;
    if (!complete) seams = {};
    // Forced, a missing module is a compositor that cannot be reached; chosen by the session,
    // X11 (Xwayland) serves instead.
    if (!complete && choice == Choice::wayland) {
      ownAccessibility = std::make_unique<UnavailableAccessibility>();
      ownDesktop = std::make_unique<UnavailableDesktop>();
      ownCapture = std::make_unique<UnavailableCapturePlatform>();
    }
  }
  if (seams.accessibility == nullptr && !ownAccessibility) {
    ownAccessibility = halvorine::x11::makeX11Accessibility(connection);
    ownDesktop = halvorine::x11::makeX11Desktop(connection);
    ownCapture = halvorine::x11::makeX11CapturePlatform(connection);
  }
  halvorine::Accessibility* accessibility =
      ownAccessibility ? ownAccessibility.get() : seams.accessibility;
  halvorine::Desktop* desktop = ownDesktop ? ownDesktop.get() : seams.desktop;
  halvorine::CapturePlatform* capturePlatform = ownCapture ? ownCapture.get() : seams.capture;
  halvorine::ScreenCapture capture(*capturePlatform);
  const halvorine::Helper helper = halvorine::helperOver(*accessibility, *desktop, capture);

  halvorine::AnswerOutput out = halvorine::AnswerOutput::forStandardOutput();
  const int status = halvorine::runHelper(switches, helper, STDIN_FILENO, out);
  // Every answer has already been written with write(2); nothing is buffered. Leaving without
  // unwinding main's objects means no platform teardown can delay or change the exit status.
  std::exit(status);
}
