#pragma once

#include <functional>
#include <span>
#include <string_view>

#include "command_channel/answer_output.h"
#include "platform/geometry.h"
#include "wire/helper_output.h"
#include "wire/input_command.h"

namespace halvorine {

// Exit statuses of the input helper.
inline constexpr int exitSuccess = 0;
inline constexpr int exitInvalidInput = 2;   // one-shot: empty or undecodable input
inline constexpr int exitRequestFailed = 3;  // one-shot: the answer has ok false
// An answer could not be written whole because nobody reads standard output any more (the pipe's
// reader is gone, standard output is closed, or the reader took nothing for the stall limit). The
// stream loop stops at once instead of carrying out requests whose answers would be lost; one-shot
// mode ends with this status instead of the request's own.
inline constexpr int exitOutputClosed = 4;

enum class Mode { oneShot, stream, permissionStatus };

struct Switches {
  Mode mode = Mode::oneShot;
  bool prompt = false;  // only meaningful with Mode::permissionStatus
};

// Switches are matched exactly, anywhere on the command line; other arguments are ignored.
Switches parseSwitches(std::span<const std::string_view> arguments);

// What the modes need of the rest of the helper: the program fills it with the dispatcher over the
// platform (helperOver in dispatch.h), tests and fuzzers with stand-ins.
struct Helper {
  // Answers one decoded request.
  std::function<HelperOutput(const InputCommand&)> handle;
  // Whether input may be injected, asked anew on every call.
  std::function<bool(bool prompt)> isTrusted;
  // The pointer's position, (0, 0) when it cannot be read.
  std::function<Point()> pointerLocation;
};

// Each mode reads requests from inFd, writes answer lines to out and returns the exit status.
int runPermissionStatus(const Helper& helper, bool prompt, AnswerOutput& out);
int runOneShot(const Helper& helper, int inFd, AnswerOutput& out);
int runStream(const Helper& helper, int inFd, AnswerOutput& out);
int runHelper(const Switches& switches, const Helper& helper, int inFd, AnswerOutput& out);

}  // namespace halvorine
