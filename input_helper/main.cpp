#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>
#include <vector>

#include "command_channel/dispatch.h"
#include "command_channel/modes.h"
#include "screen_capture/screen_capture.h"
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

}  // namespace

int main(int argc, char** argv) {
  // A reader that has gone makes write() fail with EPIPE instead of killing the process mid-line.
  ::signal(SIGPIPE, SIG_IGN);
  occupyClosedStandardDescriptors();

  std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const halvorine::Switches switches = halvorine::parseSwitches(arguments);

  halvorine::x11::XConnection connection;
  auto accessibility = halvorine::x11::makeX11Accessibility(connection);
  auto desktop = halvorine::x11::makeX11Desktop(connection);
  auto capturePlatform = halvorine::x11::makeX11CapturePlatform(connection);
  halvorine::ScreenCapture capture(*capturePlatform);
  const halvorine::Helper helper = halvorine::helperOver(*accessibility, *desktop, capture);

  halvorine::AnswerOutput out = halvorine::AnswerOutput::forStandardOutput();
  const int status = halvorine::runHelper(switches, helper, STDIN_FILENO, out);
  // Every answer has already been written with write(2); nothing is buffered. Leaving without
  // unwinding main's objects means no platform teardown can delay or change the exit status.
  std::exit(status);
}
