#pragma once

#include <span>
#include <string_view>

#include "command_channel/answer_output.h"
#include "command_channel/dispatch.h"
#include "wire/helper_output.h"
#include "wire/input_command.h"
#include "platform/geometry.h"

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

// What the modes need of the rest of the helper; a seam so the modes run against fakes.
class ChannelServices {
 public:
  virtual ~ChannelServices() = default;
  virtual HelperOutput handle(const InputCommand& command) = 0;
  virtual bool isTrusted(bool prompt) = 0;
  virtual Point currentMouseLocation() = 0;
};

// The helper's own services: handle() and isTrusted() of the dispatcher on the given context.
class ContextChannelServices final : public ChannelServices {
 public:
  explicit ContextChannelServices(HelperContext& context) : context_(context) {}
  HelperOutput handle(const InputCommand& command) override;
  bool isTrusted(bool prompt) override;
  Point currentMouseLocation() override;

 private:
  HelperContext& context_;
};

// Each mode reads requests from inFd, writes answer lines to out and returns the exit status.
int runPermissionStatus(ChannelServices& services, bool prompt, AnswerOutput& out);
int runOneShot(ChannelServices& services, int inFd, AnswerOutput& out);
int runStream(ChannelServices& services, int inFd, AnswerOutput& out);
int runHelper(const Switches& switches, ChannelServices& services, int inFd, AnswerOutput& out);

}  // namespace halvorine
