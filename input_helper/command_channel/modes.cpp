#include "command_channel/modes.h"

#include <unistd.h>

#include <cerrno>

#include "command_channel/stream_lines.h"
#include "wire/wire_names.h"

namespace halvorine {

Switches parseSwitches(std::span<const std::string_view> arguments) {
  bool permissionStatus = false, stream = false, prompt = false;
  for (std::string_view a : arguments) {
    permissionStatus |= a == "--permission-status";
    stream |= a == "--stream";
    prompt |= a == "--prompt";
  }
  if (permissionStatus) return {Mode::permissionStatus, prompt};
  return {stream ? Mode::stream : Mode::oneShot, false};
}

namespace {

// The answer to input that is missing or not a command: no type, and a fresh trust check.
HelperOutput channelFailure(const Helper& helper, std::string_view reason) {
  HelperOutput failure;
  failure.applied = false;
  failure.reason = std::string(reason);
  failure.trusted = helper.isTrusted(false);
  return failure;
}

}  // namespace

int runPermissionStatus(const Helper& helper, bool prompt, AnswerOutput& out) {
  const bool trusted = helper.isTrusted(prompt);
  const Point at = helper.pointerLocation();
  HelperOutput status;
  status.ok = true;
  status.type = std::string(wire::type::permissionStatus);
  status.applied = false;
  status.trusted = trusted;
  status.x = at.x;
  status.y = at.y;
  out.write(status);
  return exitSuccess;
}

int runOneShot(const Helper& helper, int inFd, AnswerOutput& out) {
  std::string input;
  size_t filled = 0;
  for (;;) {
    if (input.size() - filled < 65536) input.resize(std::max(input.size() * 2, filled + 65536));
    const ssize_t n = ::read(inFd, input.data() + filled, input.size() - filled);
    if (n > 0) {
      filled += static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      break;  // end of input; unreadable input counts as ended
    }
  }
  input.resize(filled);
  // A line that did not go out whole (the reader left, or took nothing for the stall limit) must
  // not be vouched for by a status that says the answer is there: the host may find its first
  // part in the pipe.
  auto answer = [&out](const HelperOutput& result, int status) {
    return out.write(result) ? status : exitOutputClosed;
  };
  if (input.empty()) {
    return answer(channelFailure(helper, wire::reason::missingInputCommand), exitInvalidInput);
  }
  const std::optional<InputCommand> command = decodeInputCommand(input);
  if (!command)
    return answer(channelFailure(helper, wire::reason::invalidInputCommand), exitInvalidInput);
  const HelperOutput result = helper.handle(*command);
  return answer(result, result.ok ? exitSuccess : exitRequestFailed);
}

int runStream(const Helper& helper, int inFd, AnswerOutput& out) {
  LineReader reader(inFd);
  std::string scratch;
  std::string_view raw;
  while (reader.next(raw)) {
    const std::optional<std::string_view> line = prepareStreamLine(raw, scratch);
    if (!line) continue;
    const std::optional<InputCommand> command = decodeInputCommand(*line);
    const HelperOutput result = command ? helper.handle(*command)
                                        : channelFailure(helper, wire::reason::invalidInputCommand);
    if (!out.write(result)) return exitOutputClosed;
  }
  return exitSuccess;
}

int runHelper(const Switches& switches, const Helper& helper, int inFd, AnswerOutput& out) {
  switch (switches.mode) {
    case Mode::permissionStatus:
      return runPermissionStatus(helper, switches.prompt, out);
    case Mode::stream:
      return runStream(helper, inFd, out);
    case Mode::oneShot:
      break;
  }
  return runOneShot(helper, inFd, out);
}

}  // namespace halvorine
