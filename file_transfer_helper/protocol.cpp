#include "protocol.h"

#include <cerrno>
#include <nlohmann/json.hpp>

namespace halvorine::file_transfer {

std::string stableErrorCode(const HelperError& error) {
  const int e = error.errnoValue;
  switch (error.kind) {
    case HelperErrorKind::operationFailed:
      if (e == EEXIST) return "destination_exists";
      if (e == ENOSPC || e == EDQUOT) return "disk_full";
      if (e == EACCES || e == EPERM) return "permission_denied";
      return "atomic_operation_failed";
    case HelperErrorKind::quarantineFailed:
      if (e == ENOSPC || e == EDQUOT) return "disk_full";
      if (e == EACCES || e == EPERM) return "permission_denied";
      return "quarantine_failed";
    case HelperErrorKind::invalidRequest:
      return "invalid_request";
    case HelperErrorKind::rootDenied:
      return "root_denied";
    case HelperErrorKind::pathInvalid:
      return "path_invalid";
    case HelperErrorKind::sourceInvalid:
      return "source_invalid";
    case HelperErrorKind::destinationInvalid:
      return "destination_invalid";
    case HelperErrorKind::ownershipDenied:
      return "ownership_denied";
    case HelperErrorKind::hardLinkDenied:
      return "hard_link_denied";
  }
  return stableErrorCodeForUnknownFailure();
}

std::string stableErrorCodeForUnknownFailure() {
  return "helper_failed";
}

namespace {

// Absent and null both mean "not given"; any other non-string type is undecodable.
bool optionalString(const nlohmann::json& object, const char* key,
                    std::optional<std::string>& out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (!it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

}  // namespace

std::variant<Request, HelperError> decodeRequest(std::string_view input) {
  const HelperError invalid = HelperError::of(HelperErrorKind::invalidRequest);
  if (input.empty() || input.size() > maximumRequestBytes) return invalid;
  // Valid JSON text never holds a raw NUL, and the parser would take one for the end of input,
  // silently dropping whatever follows it.
  if (input.find('\0') != std::string_view::npos) return invalid;
  try {
    const auto value = nlohmann::json::parse(input.begin(), input.end(), nullptr, false);
    if (value.is_discarded() || !value.is_object()) return invalid;
    Request request;
    auto op = value.find("operation");
    if (op == value.end() || !op->is_string()) return invalid;
    request.operation = op->get<std::string>();
    if (!optionalString(value, "sourcePath", request.sourcePath) ||
        !optionalString(value, "destinationPath", request.destinationPath)) {
      return invalid;
    }
    return request;
  } catch (...) {
    // Out of memory while building the value: the request cannot be decoded.
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

Response response(const std::string& operation, std::optional<std::string> outcome,
                  std::optional<bool> quarantinePresent, bool cleanupDeferred,
                  std::optional<std::string> errorCode) {
  Response r;
  r.ok = !errorCode.has_value();
  r.operation = operation;
  r.outcome = std::move(outcome);
  r.quarantinePresent = quarantinePresent;
  r.cleanupDeferred = cleanupDeferred;
  r.errorCode = std::move(errorCode);
  return r;
}

Response failureResponse(const std::string& errorCode) {
  return response("unknown", std::nullopt, std::nullopt, false, errorCode);
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
