// The wire writer: compact, keys in ascending order, only set fields, escaping as the host's JSON
// reader expects, numbers that read back exactly, and the fixed line for what JSON cannot carry.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <poll.h>
#include <signal.h>
#include <cmath>
#include <cstdlib>
#include <limits>

#include <cstring>
#include <random>
#include <thread>

#include "command_channel/answer_output.h"
#include "wire/helper_output.h"

namespace halvorine {
namespace {

std::string encoded(const HelperOutput& r) {
  return encodeHelperOutput(r).value_or("<failed>");
}

HelperOutput everyField() {
  HelperOutput r = output(true, "capture_frame", true, "none", true, 1.5, -2.0, "k", 7);
  r.frameMimeType = "image/jpeg";
  r.frameBase64 = "ab/+";
  r.frameBytes = 3;
  r.frameWidth = 640;
  r.frameHeight = 480;
  r.frameUnchanged = false;
  r.sourceWidth = 1280;
  r.sourceHeight = 960;
  r.screenLeft = -1280;
  r.screenTop = 0;
  r.screenWidth = 1280;
  r.screenHeight = 960;
  r.captureElapsedMs = 12.25;
  r.scaleElapsedMs = 0;
  r.encodeElapsedMs = 3.5;
  r.scaleMode = "bilinear";
  // Constructed in place: assigning a one-letter literal to an optional<string> makes g++ 12
  // at -O3 report a false -Wrestrict.
  r.captureBackend.emplace("c");
  r.dispatchBackend.emplace("d");
  r.nativeRuntime.emplace("n");
  return r;
}

TEST(Writer, ExamplesByteForByte) {
  EXPECT_EQ(encoded(output(false, std::nullopt, false, "missing_input_command")),
            R"({"applied":false,"ok":false,"reason":"missing_input_command","trusted":true})"
            "\n");
  EXPECT_EQ(encoded(output(true, "probe", false)),
            R"({"applied":false,"ok":true,"trusted":true,"type":"probe"})"
            "\n");
  HelperOutput onlyOk;
  onlyOk.ok = true;
  EXPECT_EQ(encoded(onlyOk), "{\"ok\":true}\n");
}

TEST(Writer, EveryFieldInAscendingKeyOrder) {
  EXPECT_EQ(encoded(everyField()),
            R"({"applied":true,"captureBackend":"c","captureElapsedMs":12.25,)"
            R"("dispatchBackend":"d","encodeElapsedMs":3.5,"frameBase64":"ab\/+",)"
            R"("frameBytes":3,"frameHeight":480,"frameMimeType":"image\/jpeg",)"
            R"("frameUnchanged":false,"frameWidth":640,"key":"k","nativeRuntime":"n",)"
            R"("ok":true,"reason":"none","scaleElapsedMs":0,"scaleMode":"bilinear",)"
            R"("screenHeight":960,"screenLeft":-1280,"screenTop":0,"screenWidth":1280,)"
            R"("sourceHeight":960,"sourceWidth":1280,"textLength":7,"trusted":true,)"
            R"("type":"capture_frame","x":1.5,"y":-2})"
            "\n");
}

TEST(Writer, UnsetFieldsLeaveNoMember) {
  HelperOutput r;
  r.textLength = 0;
  r.y = 0.5;
  EXPECT_EQ(encoded(r), "{\"ok\":false,\"textLength\":0,\"y\":0.5}\n");
}

TEST(Writer, EscapesQuoteBackslashSolidusAndControls) {
  HelperOutput r;
  r.ok = true;
  r.key = std::string("\"\\/\b\f\n\r\t\x01\x1f\x7f", 11) + std::string(1, '\0') +
          "\xC3\xA9\xE2\x80\xA8";
  EXPECT_EQ(encoded(r),
            "{\"key\":\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\\u0000"
            "\xC3\xA9\xE2\x80\xA8\",\"ok\":true}\n");
}

// Long texts are copied in blocks: a byte to escape must be found wherever it falls in a block,
// also several in one block, one as the last byte, and bytes at 0x1f/0x20 and above 0x7f.
TEST(Writer, EscapesAnywhereInLongText) {
  auto reference = [](const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
      if (c == '"' || c == '\\' || c == '/') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c == '\n') {
        out += "\\n";
      } else if (c < 0x20) {
        char u[7];
        std::snprintf(u, sizeof u, "\\u%04x", c);
        out += u;
      } else {
        out += static_cast<char>(c);
      }
    }
    return out + "\"";
  };
  const std::string specials[] = {"/", "\"", "\\", "\n", "\x1f", std::string(1, '\0'), "//\\"};
  for (size_t length : {15u, 16u, 17u, 31u, 32u, 33u, 100u}) {
    for (const std::string& special : specials) {
      for (size_t at = 0; at + special.size() <= length; ++at) {
        std::string text(length, 'A');
        for (size_t i = 0; i < length; ++i) text[i] = "Zz09+ \x20\x7f\xc3"[i % 9];
        text.replace(at, special.size(), special);
        HelperOutput r;
        r.ok = true;
        r.frameBase64 = text;
        EXPECT_EQ(encoded(r), "{\"frameBase64\":" + reference(text) + ",\"ok\":true}\n")
            << "length " << length << ", at " << at;
      }
    }
  }
}

TEST(Writer, NonFiniteInAnyFloatingPointFieldFailsWholeRecord) {
  using F = std::optional<double> HelperOutput::*;
  const F fields[] = {&HelperOutput::x,
                      &HelperOutput::y,
                      &HelperOutput::screenLeft,
                      &HelperOutput::screenTop,
                      &HelperOutput::screenWidth,
                      &HelperOutput::screenHeight,
                      &HelperOutput::captureElapsedMs,
                      &HelperOutput::scaleElapsedMs,
                      &HelperOutput::encodeElapsedMs};
  for (F field : fields) {
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity()}) {
      HelperOutput r = everyField();
      r.*field = bad;
      EXPECT_FALSE(encodeHelperOutput(r).has_value());
      std::string line = "kept";
      EXPECT_FALSE(appendHelperOutputLine(line, r));
      EXPECT_EQ(line, "kept");
    }
  }
}

TEST(Writer, DoublesReadBackAsTheSameValue) {
  std::mt19937_64 random(7);
  std::vector<double> values = {
      0.1, 1.0 / 3, -0.0, 5e-324, 1.7976931348623157e308, 1e21, 123456789012345678.0, 640, -1280.5};
  for (int i = 0; i < 2000; ++i) {
    uint64_t bits = random();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (std::isfinite(d)) values.push_back(d);
  }
  for (double v : values) {
    HelperOutput r;
    r.x = v;
    const std::string line = encoded(r);
    ASSERT_TRUE(line.starts_with("{\"ok\":false,\"x\":")) << line;
    const std::string number = line.substr(16, line.size() - 18);
    EXPECT_EQ(std::strtod(number.c_str(), nullptr), v) << number;
    EXPECT_EQ(std::signbit(std::strtod(number.c_str(), nullptr)), std::signbit(v)) << number;
  }
}

std::string readAll(int fd) {
  std::string s;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}

TEST(AnswerOutput, WritesLinesAndFixedLineForNonFinite) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  AnswerOutput out(p[1]);
  HelperOutput bad = output(true, "probe");
  bad.screenTop = std::nan("");
  EXPECT_TRUE(out.write(output(true, "probe", false)));
  EXPECT_TRUE(out.write(bad));
  close(p[1]);
  EXPECT_EQ(readAll(p[0]),
            "{\"applied\":false,\"ok\":true,\"trusted\":true,\"type\":\"probe\"}\n"
            "{\"ok\":false,\"reason\":\"json_encode_failed\"}\n");
  close(p[0]);
}

TEST(AnswerOutput, ReportsReaderThatHasGone) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[0]);
  signal(SIGPIPE, SIG_IGN);
  AnswerOutput out(p[1]);
  EXPECT_FALSE(out.write(output(true, "probe")));
  close(p[1]);
  AnswerOutput closed(p[1]);  // descriptor no longer open
  EXPECT_FALSE(closed.write(output(true, "probe")));
}

TEST(AnswerOutput, GivesUpOnStalledNonBlockingReaderAndKeepsWaitingForSlowOne) {
  int p[2];
  ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
  AnswerOutput out(p[1], std::chrono::milliseconds(200));
  HelperOutput big;
  big.frameBase64 = std::string(1 << 20, 'A');
  EXPECT_FALSE(out.write(big));  // nobody reads: fails after the stall limit, not forever

  // A reader that keeps taking bytes, however slowly, gets the whole line.
  readAll(p[0]);
  std::string drained;
  std::thread reader([&] {
    char buf[65536];
    for (;;) {
      pollfd pf{p[0], POLLIN, 0};
      if (poll(&pf, 1, 2000) <= 0) break;
      ssize_t n = read(p[0], buf, sizeof buf);
      if (n <= 0) break;
      drained.append(buf, static_cast<size_t>(n));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  EXPECT_TRUE(out.write(big));
  close(p[1]);
  reader.join();
  EXPECT_EQ(drained.size(), encoded(big).size());
  close(p[0]);
}

}  // namespace
}  // namespace halvorine
