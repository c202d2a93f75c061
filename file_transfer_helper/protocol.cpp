#include "protocol.h"

#include <nlohmann/json.hpp>

#include "common/json_events.h"

namespace halvorine::file_transfer {

namespace {

// A member of the request as its last occurrence left it: as in a document tree, a key given
// twice counts with its later value, whatever the earlier one was.
struct Member {
  enum class Given { absent, null, string, otherType } given = Given::absent;
  std::string value;
};

// Keeps the three members of the request; the values of every other key are only checked for
// being JSON.
class RequestReader {
 public:
  Member operation, sourcePath, destinationPath;

  bool null() { return scalar(Member::Given::null); }
  bool boolean(bool) { return other(); }
  bool number_integer(std::int64_t) { return other(); }
  bool number_unsigned(std::uint64_t) { return other(); }
  // An infinity for a literal beyond the range of a double.
  bool number_float(double) { return other(); }
  bool string(std::string& value) {
    if (!scalar(Member::Given::string)) return false;
    if (depth_ == 1 && member_) member_->value = std::move(value);
    return true;
  }
  bool start_object(std::size_t = 0) {
    if (depth_ == 1 && member_) member_->given = Member::Given::otherType;
    ++depth_;
    return true;
  }
  bool start_array(std::size_t) {
    if (depth_ == 0) return false;  // the top level must be an object
    return start_object();
  }
  bool end_object() { return end_container(); }
  bool end_array() { return end_container(); }
  bool key(const std::string& name) {
    if (depth_ == 1) {
      member_ = name == "operation"         ? &operation
                : name == "sourcePath"      ? &sourcePath
                : name == "destinationPath" ? &destinationPath
                                            : nullptr;
    }
    return true;
  }
  bool end_container() {
    --depth_;
    return true;
  }

 private:
  bool other() { return scalar(Member::Given::otherType); }
  bool scalar(Member::Given given) {
    if (depth_ == 0) return false;  // the top level must be an object
    if (depth_ == 1 && member_) {
      member_->given = given;
      member_->value.clear();
    }
    return true;
  }

  std::size_t depth_ = 0;
  Member* member_ = nullptr;
};

// Absent and null both mean "not given"; any other non-string type is undecodable.
bool optionalString(const Member& member, std::optional<std::string>& out) {
  switch (member.given) {
    case Member::Given::absent:
    case Member::Given::null:
      return true;
    case Member::Given::string:
      out = member.value;
      return true;
    case Member::Given::otherType:
      break;
  }
  return false;
}

}  // namespace

std::variant<Request, HelperError> decodeRequest(std::string_view input) {
  const HelperError invalid = HelperError::of(HelperErrorKind::invalidRequest);
  if (input.empty() || input.size() > maximumRequestBytes) return invalid;
  // Valid JSON text never holds a raw NUL, and the lexer would take one for the end of input,
  // silently dropping whatever follows it.
  if (input.find('\0') != std::string_view::npos) return invalid;
  // The lexer would skip a byte order mark; only white space may surround the value.
  if (input.starts_with("\xEF\xBB\xBF")) return invalid;
  try {
    RequestReader reader;
    if (!readJson(input, reader) || reader.operation.given != Member::Given::string) {
      return invalid;
    }
    Request request;
    request.operation = std::move(reader.operation.value);
    if (!optionalString(reader.sourcePath, request.sourcePath) ||
        !optionalString(reader.destinationPath, request.destinationPath)) {
      return invalid;
    }
    return request;
  } catch (...) {
    // Out of memory while reading: the request cannot be decoded.
    return invalid;
  }
}

std::variant<std::string, HelperError> validateAbsolutePath(
    const std::optional<std::string>& path) {
  const HelperError invalid = HelperError::of(HelperErrorKind::pathInvalid);
  if (!path || path->empty() || path->size() > maximumPathBytes || path->front() != '/' ||
      path->find('\0') != std::string::npos) {
    return invalid;
  }
  return *path;
}

Response response(ResponseParts parts) {
  return Response{.ok = !parts.errorCode.has_value(),
                  .operation = std::move(parts.operation),
                  .outcome = std::move(parts.outcome),
                  .quarantinePresent = parts.quarantinePresent,
                  .cleanupDeferred = parts.cleanupDeferred,
                  .errorCode = std::move(parts.errorCode)};
}

Response failureResponse(const std::string& errorCode) {
  return response({.operation = "unknown", .errorCode = errorCode});
}

std::string encodeResponse(const Response& r) {
  nlohmann::ordered_json j;
  j["ok"] = r.ok;
  j["operation"] = r.operation;
  if (r.outcome) j["outcome"] = *r.outcome;
  if (r.quarantinePresent) j["quarantinePresent"] = *r.quarantinePresent;
  j["cleanupDeferred"] = r.cleanupDeferred;
  if (r.errorCode) j["errorCode"] = *r.errorCode;
  j["pathRecorded"] = r.pathRecorded;
  j["payloadRecorded"] = r.payloadRecorded;
  j["commandLinePathUsed"] = r.commandLinePathUsed;
  j["rootAuthorityUsed"] = r.rootAuthorityUsed;
  return j.dump();
}

std::string quarantineValue(std::int64_t secondsSinceEpoch, const std::string& uuidUpper) {
  static constexpr char digits[] = "0123456789abcdef";
  // Work on the magnitude as unsigned so that the most negative value cannot overflow.
  std::uint64_t magnitude = secondsSinceEpoch < 0
                                ? ~static_cast<std::uint64_t>(secondsSinceEpoch) + 1
                                : static_cast<std::uint64_t>(secondsSinceEpoch);
  std::string hex;
  do {
    hex.insert(hex.begin(), digits[magnitude % 16]);
    magnitude /= 16;
  } while (magnitude != 0);
  if (secondsSinceEpoch < 0) hex.insert(hex.begin(), '-');
  return "0081;" + hex + ";Halvorine;" + uuidUpper;
}

}  // namespace halvorine::file_transfer
