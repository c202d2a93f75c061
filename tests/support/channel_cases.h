#pragma once

// The command channel's cases for a helper that is trusted, which every backend answers alike:
// modes, blank and broken lines, repaired text, exit statuses.
#include <string>
#include <vector>

namespace halvorine::testing {

struct ChannelCase {
  const char* name;
  std::vector<std::string> args;
  std::string input;
  std::string out;
  int status;
};

inline std::string channelFailure(const char* reason, bool trusted) {
  return std::string(R"({"applied":false,"ok":false,"reason":")") + reason + R"(","trusted":)" +
         (trusted ? "true" : "false") + "}\n";
}

inline const std::string probeOk = R"({"applied":false,"ok":true,"trusted":true,"type":"probe"})"
                                   "\n";

inline std::vector<ChannelCase> trustedChannelCases() {
  using namespace std::string_literals;
  const std::string stream =
      "{\"type\":\"probe\"}\n"
      "\n"
      "  \t\n"
      "\r\n"
      "\xC2\xA0{\"type\":\"probe\"}\n"                 // no-break space: not blank, not JSON
      "{\"type\":\"probe\",\"text\":\"a\xFF\"}\n"      // repaired to U+FFFD, then handled
      "{\"type\":\"pr\xC3obe\"}\r\n"                   // repaired type reaches input dispatch
      "{\"type\":\"probe\"} {\"type\":\"probe\"}\n"    // two objects on one line
      "{\"type\":\"probe\"}\0{\"type\":\"probe\"}\n"s  // a NUL byte ends nothing
      "{\"type\":\"Probe\"}\n"                         // not a probe
      "{\"type\":\"probe\"}";                          // last line without line feed
  return {
      {"EmptyInput", {}, "", channelFailure("missing_input_command", true), 2},
      {"LineFeedOnly", {}, "\n", channelFailure("invalid_input_command", true), 2},
      {"Probe", {}, "{\"type\":\"probe\"}\n", probeOk, 0},
      {"ProbeWithPrompt", {}, R"({"type":"probe","promptForPermission":true})", probeOk, 0},
      {"InvalidUtf8OneShot",
       {},
       "{\"type\":\"probe\",\"text\":\"a\xFF\"}",
       channelFailure("invalid_input_command", true),
       2},
      {"UnknownType",
       {},
       R"({"type":"warp"})",
       R"({"applied":false,"ok":false,"reason":"unsupported_input_type","trusted":true,)"
       R"("type":"warp"})"
       "\n",
       3},
      {"Stream",
       {"--stream"},
       stream,
       probeOk + channelFailure("invalid_input_command", true) + probeOk +
           "{\"applied\":false,\"ok\":false,\"reason\":\"unsupported_input_type\","
           "\"trusted\":true,\"type\":\"pr\xEF\xBF\xBDobe\"}\n" +
           channelFailure("invalid_input_command", true) +
           channelFailure("invalid_input_command", true) +
           R"({"applied":false,"ok":false,"reason":"unsupported_input_type","trusted":true,)"
           R"("type":"Probe"})"
           "\n" +
           probeOk,
       0},
  };
}

}  // namespace halvorine::testing
