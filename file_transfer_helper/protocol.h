#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "helper_error.h"

namespace halvorine::file_transfer {

inline constexpr std::size_t maximumRequestBytes = 131072;
inline constexpr std::size_t maximumPathBytes = 32767;
// Logical name of the mark; the platform layer decides how the file system stores it.
inline constexpr std::string_view quarantineName = "com.apple.quarantine";

struct Request {
  std::string operation;
  std::optional<std::string> sourcePath;
  std::optional<std::string> destinationPath;
};

// Decodes one JSON object (white space around it allowed). Anything else, including an empty or
// oversized input, is HelperErrorKind::invalidRequest; the decoder's own message is dropped.
std::variant<Request, HelperError> decodeRequest(std::string_view input);

// The textual gate every path passes before any file is looked at.
std::variant<std::string, HelperError> validateAbsolutePath(const std::optional<std::string>& path);

struct Response {
  bool ok = false;
  std::string operation;
  std::optional<std::string> outcome;
  std::optional<bool> quarantinePresent;
  bool cleanupDeferred = false;
  std::optional<std::string> errorCode;
  // Constant assertions to the host; false in every response.
  bool pathRecorded = false;
  bool payloadRecorded = false;
  bool commandLinePathUsed = false;
  bool rootAuthorityUsed = false;
};

// What a response says; the rest of it follows from these.
struct ResponseParts {
  std::string operation{};
  std::optional<std::string> outcome{};
  std::optional<bool> quarantinePresent{};
  bool cleanupDeferred = false;
  std::optional<std::string> errorCode{};
};

// Every response, success or failure, is built here: ok exactly when there is no error code, and
// the four constant assertions false.
Response response(ResponseParts parts);

Response failureResponse(const std::string& errorCode);

// Compact JSON without the final line feed. Throws only if the JSON library refuses the value.
std::string encodeResponse(const Response& response);

// "0081;<hex seconds>;Halvorine;<UUID>" from the given clock reading and upper-case UUID.
std::string quarantineValue(std::int64_t secondsSinceEpoch, const std::string& uuidUpper);

}  // namespace halvorine::file_transfer
