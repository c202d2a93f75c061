// The three modes against a fake helper: exit statuses, which lines are answered, the fresh trust
// check of the channel's own failure answers, and a reader that goes away.
#include "command_channel/modes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <string_view>

namespace halvorine {
namespace {

struct FakeServices {
  bool trusted = true;
  int trustQueries = 0;
  int promptQueries = 0;
  std::vector<InputCommand> handled;

  Helper helper() {
    return Helper{
        .handle =
            [this](const InputCommand& command) {
              handled.push_back(command);
              // Answers every request with its own type; "fail" fails, "nan" cannot be encoded.
              HelperOutput r = output(command.type != "fail", command.type, true);
              if (command.type == "nan") r.x = std::nan("");
              return r;
            },
        .isTrusted =
            [this](bool prompt) {
              ++trustQueries;
              promptQueries += prompt;
              return trusted;
            },
        .pointerLocation =
            [] {
              return Point{12.5, -3};
            },
    };
  }
};

int memoryFile(std::string_view content) {
  int fd = memfd_create("channel", 0);
  EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  lseek(fd, 0, SEEK_SET);
  return fd;
}

std::string contents(int fd) {
  std::string s;
  lseek(fd, 0, SEEK_SET);
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}

struct Outcome {
  int status;
  std::string out;
};

Outcome run(Mode mode, std::string_view input, FakeServices& services, bool prompt = false) {
  const int in = memoryFile(input);
  const int outFd = memfd_create("out", 0);
  AnswerOutput out(outFd);
  Outcome r;
  r.status = runHelper(Switches{mode, prompt}, services.helper(), in, out);
  r.out = contents(outFd);
  close(in);
  close(outFd);
  return r;
}

const std::string missingTrusted =
    R"({"applied":false,"ok":false,"reason":"missing_input_command","trusted":true})"
    "\n";
const std::string invalidTrusted =
    R"({"applied":false,"ok":false,"reason":"invalid_input_command","trusted":true})"
    "\n";
const std::string invalidUntrusted =
    R"({"applied":false,"ok":false,"reason":"invalid_input_command","trusted":false})"
    "\n";

TEST(Switches, ModeChoice) {
  using A = std::vector<std::string_view>;
  const std::pair<A, Switches> cases[] = {
      {A{}, {Mode::oneShot, false}},
      {A{"--stream"}, {Mode::stream, false}},
      {A{"--prompt"}, {Mode::oneShot, false}},
      {A{"--prompt", "--stream"}, {Mode::stream, false}},
      {A{"--stream", "--permission-status"}, {Mode::permissionStatus, false}},
      {A{"x", "--prompt", "--permission-status"}, {Mode::permissionStatus, true}},
      {A{"--STREAM", "--stream=1", "-stream"}, {Mode::oneShot, false}},
  };
  for (const auto& [args, want] : cases) {
    const Switches got = parseSwitches(args);
    EXPECT_EQ(got.mode, want.mode);
    EXPECT_EQ(got.prompt, want.prompt);
  }
}

TEST(OneShot, StatusesAndLines) {
  struct Case {
    std::string input;
    bool trusted;
    int status;
    std::string out;
  };
  const Case cases[] = {
      {"", true, exitInvalidInput, missingTrusted},
      {"", false, exitInvalidInput,
       R"({"applied":false,"ok":false,"reason":"missing_input_command","trusted":false})"
       "\n"},
      {"\n", true, exitInvalidInput, invalidTrusted},
      {"  \t ", false, exitInvalidInput, invalidUntrusted},
      {"{\"type\":\"ok\"}\n", true, exitSuccess,
       R"({"applied":true,"ok":true,"trusted":true,"type":"ok"})"
       "\n"},
      {"{\"type\":\"fail\"}", true, exitRequestFailed,
       R"({"applied":true,"ok":false,"trusted":true,"type":"fail"})"
       "\n"},
      {"{\"type\":\"nan\"}", true, exitSuccess, std::string(jsonEncodeFailedLine)},
      {"{\"type\":\"a\"}\n{\"type\":\"b\"}\n", true, exitInvalidInput, invalidTrusted},
      {"{\"type\":\"a\xFF\"}", true, exitInvalidInput, invalidTrusted},  // no repair here
  };
  for (const Case& c : cases) {
    FakeServices services;
    services.trusted = c.trusted;
    const Outcome r = run(Mode::oneShot, c.input, services);
    EXPECT_EQ(r.status, c.status) << c.input;
    EXPECT_EQ(r.out, c.out) << c.input;
  }
}

TEST(OneShot, AnswerThatDoesNotGoOutWholeEndsWithOutputClosed) {
  signal(SIGPIPE, SIG_IGN);
  struct Case {
    const char* name;
    std::string input;
    bool readerGone;  // otherwise the reader is there but takes nothing
  };
  const Case cases[] = {
      {"line longer than the pipe holds", R"({"type":")" + std::string(1 << 20, 'k') + R"("})",
       false},
      {"reader gone, request ok", R"({"type":"ok"})", true},
      {"reader gone, request failed", R"({"type":"fail"})", true},
      {"reader gone, input invalid", "nope", true},
      {"reader gone, input empty", "", true},
  };
  for (const Case& c : cases) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    if (c.readerGone) close(p[0]);
    FakeServices services;
    const int in = memoryFile(c.input);
    AnswerOutput out(p[1], std::chrono::milliseconds(50));
    EXPECT_EQ(runOneShot(services.helper(), in, out), exitOutputClosed) << c.name;
    close(in);
    close(p[1]);
    if (!c.readerGone) close(p[0]);
  }
}

TEST(OneShot, FailureAnswerAsksTrustFreshWithoutPrompt) {
  FakeServices services;
  run(Mode::oneShot, "nope", services);
  EXPECT_EQ(services.trustQueries, 1);
  EXPECT_EQ(services.promptQueries, 0);
}

TEST(PermissionStatus, ReportsTrustAndPointerWithoutReadingInput) {
  for (bool prompt : {false, true}) {
    FakeServices services;
    services.trusted = false;
    const Outcome r = run(Mode::permissionStatus, "{\"type\":\"ok\"}", services, prompt);
    EXPECT_EQ(r.status, exitSuccess);
    EXPECT_EQ(r.out, R"({"applied":false,"ok":true,"trusted":false,"type":"permission_status",)"
                     R"("x":12.5,"y":-3})"
                     "\n");
    EXPECT_TRUE(services.handled.empty());
    EXPECT_EQ(services.promptQueries, prompt ? 1 : 0);
  }
}

TEST(Stream, AnswersEachNonBlankLineInOrder) {
  FakeServices services;
  const std::string input =
      "{\"type\":\"a\"}\n"
      "\n"
      "   \t\n"
      "\r\n"
      "\xC2\xA0\xE2\x80\xA8 \n"             // only blank characters
      "\xC2\xA0{\"type\":\"nbsp\"}\n"       // not blank, not JSON
      "{\"type\":\"b\xFF\"}\r\n"            // repaired, then decoded
      "{\"type\":\"c\"}{\"type\":\"d\"}\n"  // two objects
      "{\"type\":\"fail\"}\n"               // a failed request does not end the loop
      "  {\"type\":\"e\"}  \n"              // whitespace around JSON is fine
      "{\"type\":\"last\"}";                // no line feed
  const Outcome r = run(Mode::stream, input, services);
  EXPECT_EQ(r.status, exitSuccess);
  EXPECT_EQ(r.out,
            R"({"applied":true,"ok":true,"trusted":true,"type":"a"})"
            "\n" +
                invalidTrusted +
                "{\"applied\":true,\"ok\":true,\"trusted\":true,\"type\":\"b\xEF\xBF\xBD\"}\n" +
                invalidTrusted +
                R"({"applied":true,"ok":false,"trusted":true,"type":"fail"})"
                "\n"
                R"({"applied":true,"ok":true,"trusted":true,"type":"e"})"
                "\n"
                R"({"applied":true,"ok":true,"trusted":true,"type":"last"})"
                "\n");
  // One fresh trust check for each of the two failure answers, none for blank lines.
  EXPECT_EQ(services.trustQueries, 2);
}

TEST(Stream, EmptyInputAndBlankInputEndQuietly) {
  for (std::string_view input : {"", "\n\n", " \r\n\t"}) {
    FakeServices services;
    const Outcome r = run(Mode::stream, input, services);
    EXPECT_EQ(r.status, exitSuccess);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(services.trustQueries, 0);
  }
}

TEST(Stream, EveryRequestFailingStillEndsWithZero) {
  FakeServices services;
  services.trusted = false;
  const Outcome r = run(Mode::stream, "x\n[1]\n{\"type\":1}\n", services);
  EXPECT_EQ(r.status, exitSuccess);
  EXPECT_EQ(r.out, invalidUntrusted + invalidUntrusted + invalidUntrusted);
}

TEST(Stream, StopsWhenNobodyReadsTheAnswers) {
  signal(SIGPIPE, SIG_IGN);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[0]);
  FakeServices services;
  const int in = memoryFile("{\"type\":\"a\"}\n{\"type\":\"b\"}\n");
  AnswerOutput out(p[1]);
  EXPECT_EQ(runStream(services.helper(), in, out), exitOutputClosed);
  EXPECT_EQ(services.handled.size(), 1u);  // the second request is never carried out
  close(in);
  close(p[1]);
}

}  // namespace
}  // namespace halvorine
