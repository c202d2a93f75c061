#include "helper_error.h"

#include <cerrno>

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

}  // namespace halvorine::file_transfer
