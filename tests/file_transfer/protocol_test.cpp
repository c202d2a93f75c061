#include <gtest/gtest.h>

#include <cerrno>
#include <regex>

#include "protocol.h"

namespace halvorine::file_transfer {
namespace {

struct DecodeCase {
  const char* name;
  std::string input;
  bool decodes;
};

std::string kind(const std::variant<Request, HelperError>& r) {
  return std::holds_alternative<Request>(r) ? "request" : stableErrorCode(std::get<HelperError>(r));
}

TEST(DecodeRequest, AcceptsOnlyObjectsWithAStringOperationAndStringOrNullPaths) {
  const std::vector<DecodeCase> cases = {
      {"minimal", R"({"operation":"x"})", true},
      {"surrounding white space", " \n\t{\"operation\":\"x\"}\r\n ", true},
      {"null paths", R"({"operation":"x","sourcePath":null,"destinationPath":null})", true},
      {"unknown keys of any type", R"({"operation":"x","a":[1,{}],"b":null})", true},
      {"empty", "", false},
      {"only white space", " \n", false},
      {"not JSON", "operation", false},
      {"array", R"([{"operation":"x"}])", false},
      {"string", R"("move_no_replace")", false},
      {"no operation", R"({"sourcePath":"/a"})", false},
      {"operation null", R"({"operation":null})", false},
      {"operation number", R"({"operation":1})", false},
      {"source number", R"({"operation":"x","sourcePath":1})", false},
      {"destination object", R"({"operation":"x","destinationPath":{}})", false},
      {"source boolean", R"({"operation":"x","sourcePath":false})", false},
      {"trailing bytes", R"({"operation":"x"} {})", false},
      {"truncated", R"({"operation":"x")", false},
      {"invalid UTF-8", "{\"operation\":\"\xff\"}", false},
      {"lone surrogate", R"({"operation":"\ud800"})", false},
      {"comment", "{\"operation\":\"x\"} // c", false},
      {"raw NUL after the object", std::string("{\"operation\":\"x\"}\0{", 19), false},
      {"raw NUL as white space", std::string("\0{\"operation\":\"x\"}", 18), false},
      {"byte order mark", "\xEF\xBB\xBF{\"operation\":\"x\"}", false},
      {"byte order mark after white space", " \xEF\xBB\xBF{\"operation\":\"x\"}", false},
      {"number beyond double range in an unknown key", R"({"operation":"x","x":1e400})", true},
      {"negative one, nested", R"({"operation":"x","a":[{"b":-1e400}],"c":1E+99999})", true},
      {"401-digit integer in an unknown key",
       R"({"operation":"x","n":)" + std::string(401, '9') + "}", true},
      {"number beyond double range as a path", R"({"operation":"x","sourcePath":1e400})", false},
      {"number beyond double range as operation", R"({"operation":-1e400})", false},
      {"malformed number in an unknown key", R"({"operation":"x","n":01})", false},
      {"exponent without digits in an unknown key", R"({"operation":"x","n":1e})", false},
      {"trailing comma", R"({"operation":"x",})", false},
      {"later duplicate of the wrong type", R"({"operation":"x","sourcePath":"/a","sourcePath":1})",
       false},
      {"earlier duplicates of the wrong type",
       R"({"operation":null,"operation":"x","sourcePath":[1],"sourcePath":"/a"})", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kind(decodeRequest(c.input)), c.decodes ? "request" : "invalid_request") << c.name;
  }
}

TEST(DecodeRequest, KeepsValuesExactlyAndKeysCaseSensitive) {
  auto r = decodeRequest(R"({"operation":"Move","SourcePath":5,"sourcePath":"/a/../b\u0000c"})");
  ASSERT_TRUE(std::holds_alternative<Request>(r));
  const auto& req = std::get<Request>(r);
  EXPECT_EQ(req.operation, "Move");
  EXPECT_EQ(req.sourcePath, std::string("/a/../b\0c", 9));
  EXPECT_FALSE(req.destinationPath.has_value());
}

TEST(DecodeRequest, SizeBoundIsInclusive) {
  const std::string head = R"({"operation":"x"})";
  std::string exact = head + std::string(maximumRequestBytes - head.size(), ' ');
  EXPECT_EQ(kind(decodeRequest(exact)), "request");
  EXPECT_EQ(kind(decodeRequest(exact + " ")), "invalid_request");
}

TEST(DecodeRequest, DeepNestingIsRefusedWithoutCrashing) {
  std::string deep =
      R"({"operation":"x","a":)" + std::string(60000, '[') + std::string(60000, ']') + "}";
  EXPECT_EQ(kind(decodeRequest(deep)), "request");
  EXPECT_EQ(kind(decodeRequest(std::string(maximumRequestBytes, '['))), "invalid_request");
}

TEST(ValidateAbsolutePath, TextualRules) {
  struct Case {
    const char* name;
    std::optional<std::string> path;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"absent", std::nullopt, false},
      {"empty", "", false},
      {"relative", "a/b", false},
      {"dot relative", "./a", false},
      {"NUL inside", std::string("/a\0b", 4), false},
      {"NUL at end", std::string("/a\0", 3), false},
      {"root", "/", true},
      {"parent component", "/a/../b", true},
      {"repeated and trailing slashes", "//a//b/", true},
      {"longest", "/" + std::string(maximumPathBytes - 1, 'x'), true},
      {"one byte too long", "/" + std::string(maximumPathBytes, 'x'), false},
  };
  for (const auto& c : cases) {
    auto r = validateAbsolutePath(c.path);
    EXPECT_EQ(std::holds_alternative<std::string>(r), c.valid) << c.name;
    if (c.valid) {
      EXPECT_EQ(std::get<std::string>(r), *c.path) << c.name;
    }
  }
  // 32768 bytes made of three-byte characters: over the bound although fewer characters.
  std::string multibyte = "/";
  while (multibyte.size() + 3 <= maximumPathBytes + 1) multibyte += "\xe2\x82\xac";
  multibyte += std::string(maximumPathBytes + 1 - multibyte.size(), 'x');
  EXPECT_TRUE(std::holds_alternative<HelperError>(validateAbsolutePath(multibyte)));
}

TEST(StableErrorCode, MapsEveryCase) {
  struct Case {
    HelperError error;
    const char* code;
  };
  using K = HelperErrorKind;
  const std::vector<Case> cases = {
      {HelperError::operationFailed(EEXIST), "destination_exists"},
      {HelperError::operationFailed(ENOSPC), "disk_full"},
      {HelperError::operationFailed(EDQUOT), "disk_full"},
      {HelperError::operationFailed(EACCES), "permission_denied"},
      {HelperError::operationFailed(EPERM), "permission_denied"},
      {HelperError::operationFailed(EXDEV), "atomic_operation_failed"},
      {HelperError::operationFailed(EINVAL), "atomic_operation_failed"},
      {HelperError::operationFailed(ENOENT), "atomic_operation_failed"},
      {HelperError::quarantineFailed(EEXIST), "quarantine_failed"},
      {HelperError::quarantineFailed(ENOSPC), "disk_full"},
      {HelperError::quarantineFailed(EDQUOT), "disk_full"},
      {HelperError::quarantineFailed(EACCES), "permission_denied"},
      {HelperError::quarantineFailed(EPERM), "permission_denied"},
      {HelperError::quarantineFailed(EROFS), "quarantine_failed"},
      {HelperError::quarantineFailed(ENOTSUP), "quarantine_failed"},
      {HelperError::of(K::invalidRequest), "invalid_request"},
      {HelperError::of(K::rootDenied), "root_denied"},
      {HelperError::of(K::pathInvalid), "path_invalid"},
      {HelperError::of(K::sourceInvalid), "source_invalid"},
      {HelperError::of(K::destinationInvalid), "destination_invalid"},
      {HelperError::of(K::ownershipDenied), "ownership_denied"},
      {HelperError::of(K::hardLinkDenied), "hard_link_denied"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(stableErrorCode(c.error), c.code)
        << static_cast<int>(c.error.kind) << " errno " << c.error.errnoValue;
  }
  EXPECT_EQ(stableErrorCodeForUnknownFailure(), "helper_failed");
}

TEST(EncodeResponse, WritesTheDocumentedLines) {
  EXPECT_EQ(encodeResponse(response({.operation = "move_no_replace", .outcome = "moved"})),
            R"({"ok":true,"operation":"move_no_replace","outcome":"moved","cleanupDeferred":false,)"
            R"("pathRecorded":false,"payloadRecorded":false,"commandLinePathUsed":false,)"
            R"("rootAuthorityUsed":false})");
  EXPECT_EQ(
      encodeResponse(response(
          {.operation = "read_quarantine", .outcome = "inspected", .quarantinePresent = true})),
      R"({"ok":true,"operation":"read_quarantine","outcome":"inspected",)"
      R"("quarantinePresent":true,"cleanupDeferred":false,"pathRecorded":false,)"
      R"("payloadRecorded":false,"commandLinePathUsed":false,"rootAuthorityUsed":false})");
  EXPECT_EQ(
      encodeResponse(failureResponse("path_invalid")),
      R"({"ok":false,"operation":"unknown","cleanupDeferred":false,"errorCode":"path_invalid",)"
      R"("pathRecorded":false,"payloadRecorded":false,"commandLinePathUsed":false,)"
      R"("rootAuthorityUsed":false})");
  EXPECT_NE(encodeResponse(response({.operation = "replace_atomically",
                                     .outcome = "replaced",
                                     .cleanupDeferred = true}))
                .find(R"("cleanupDeferred":true)"),
            std::string::npos);
}

TEST(QuarantineValue, FormatIsExact) {
  const std::string uuid = "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F0";
  EXPECT_EQ(quarantineValue(0x6756ecf0, uuid), "0081;6756ecf0;Halvorine;" + uuid);
  EXPECT_EQ(quarantineValue(0x6756ecf0, uuid).size(), 60u);
  EXPECT_EQ(quarantineValue(0, uuid), "0081;0;Halvorine;" + uuid);
  EXPECT_EQ(quarantineValue(0xf, uuid), "0081;f;Halvorine;" + uuid);
  EXPECT_EQ(quarantineValue(0x100000000LL, uuid), "0081;100000000;Halvorine;" + uuid);
  EXPECT_EQ(quarantineValue(INT64_MIN, uuid), "0081;-8000000000000000;Halvorine;" + uuid);
}

}  // namespace
}  // namespace halvorine::file_transfer
