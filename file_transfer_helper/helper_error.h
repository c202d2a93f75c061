#pragma once

#include <string>

namespace halvorine::file_transfer {

// Every failure of the helper, carried unchanged from the step that failed to the entry point.
// The two errno-carrying kinds keep the value the failing system call left.
enum class HelperErrorKind {
  operationFailed,
  quarantineFailed,
  invalidRequest,
  rootDenied,
  pathInvalid,
  sourceInvalid,
  destinationInvalid,
  ownershipDenied,
  hardLinkDenied,
};

struct HelperError {
  HelperErrorKind kind;
  int errnoValue = 0;

  static HelperError operationFailed(int e) { return {HelperErrorKind::operationFailed, e}; }
  static HelperError quarantineFailed(int e) { return {HelperErrorKind::quarantineFailed, e}; }
  static HelperError of(HelperErrorKind kind) { return {kind, 0}; }

  bool operator==(const HelperError&) const = default;
};

// The one fixed snake-case code for a failure. Anything that is not a HelperError (a failure to
// encode a success response) is "helper_failed".
std::string stableErrorCode(const HelperError& error);
std::string stableErrorCodeForUnknownFailure();

}  // namespace halvorine::file_transfer
