#include "operations.h"

#include <cerrno>

namespace halvorine::file_transfer {

namespace {

HelperError err(HelperErrorKind kind) {
  return HelperError::of(kind);
}

template <typename T>
bool failed(const Result<T>& r) {
  return std::holds_alternative<HelperError>(r);
}

template <typename T>
HelperError errorOf(const Result<T>& r) {
  return std::get<HelperError>(r);
}

// The checks on a status record, in the order that decides which code is reported.
std::optional<HelperError> checkRegularOwned(FileSystem& fs, const std::optional<FileStatus>& st) {
  if (!st || !st->regular) return err(HelperErrorKind::sourceInvalid);
  if (st->owner != fs.effectiveUserId()) return err(HelperErrorKind::ownershipDenied);
  if (st->links != 1) return err(HelperErrorKind::hardLinkDenied);
  return std::nullopt;
}

// Opens the file for attribute work and checks the open descriptor itself, so that a name
// swapped after the check cannot lead the attribute call to another file.
Result<std::unique_ptr<AttributeFile>> openCheckedForAttributes(FileSystem& fs,
                                                                const std::string& path) {
  int openError = 0;
  auto file = fs.openForAttributes(path, openError);
  if (!file) {
    switch (openError) {
      case ENOENT:
      case ELOOP:  // a final symbolic link, or too many on the way
      case ENOTDIR:
      case ENAMETOOLONG:
      case ENXIO:  // a socket or a device without its driver
        return err(HelperErrorKind::sourceInvalid);
      default:
        break;
    }
    // Opening failed for another reason (no read permission, for instance): the checks on the
    // name decide the code, and a file that passes them leaves the failure to the attribute.
    if (auto e = checkRegularOwned(fs, fs.statNoFollow(path))) return *e;
    return HelperError::quarantineFailed(openError);
  }
  if (auto e = checkRegularOwned(fs, file->status())) return *e;
  return file;
}

}  // namespace

Result<FileStatus> validatedRegularOwnedFile(FileSystem& fs, const std::string& path) {
  auto st = fs.statNoFollow(path);
  if (auto e = checkRegularOwned(fs, st)) return *e;
  return *st;
}

Result<FileStatus> validateDestinationForReplace(FileSystem& fs, const std::string& path) {
  auto r = validatedRegularOwnedFile(fs, path);
  if (failed(r) && errorOf(r).kind == HelperErrorKind::sourceInvalid) {
    return err(HelperErrorKind::destinationInvalid);
  }
  return r;
}

Result<Done> moveNoReplace(FileSystem& fs, const std::string& sourcePath,
                           const std::string& destinationPath) {
  auto source = validatedRegularOwnedFile(fs, sourcePath);
  if (failed(source)) return errorOf(source);
  if (int e = fs.renameNoReplace(sourcePath, destinationPath); e != 0) {
    return HelperError::operationFailed(e);
  }
  return Done{};
}

Result<bool> replaceAtomically(FileSystem& fs, const std::string& sourcePath,
                               const std::string& destinationPath) {
  auto source = validatedRegularOwnedFile(fs, sourcePath);
  if (failed(source)) return errorOf(source);
  auto destination = validateDestinationForReplace(fs, destinationPath);
  if (failed(destination)) return errorOf(destination);
  const FileStatus newFile = std::get<FileStatus>(source);
  const FileStatus oldFile = std::get<FileStatus>(destination);
  // Two spellings of one file: swapping it with itself and removing the "old" name would delete
  // the only copy.
  if (newFile.sameFileAs(oldFile)) return err(HelperErrorKind::destinationInvalid);
  if (int e = fs.renameExchange(sourcePath, destinationPath); e != 0) {
    return HelperError::operationFailed(e);
  }
  // The names may have been changed by someone else since they were checked. Remove the source
  // name only when the swap verifiably put the checked file in place and the old destination
  // file now stands at the source name; otherwise leave everything for the host to clean up.
  auto placed = fs.statNoFollow(destinationPath);
  if (!placed || !placed->sameFileAs(newFile)) return true;
  auto leftover = fs.statNoFollow(sourcePath);
  if (!leftover || !leftover->sameFileAs(oldFile)) return true;
  return !fs.removeName(sourcePath);
}

Result<Done> setQuarantine(FileSystem& fs, const std::string& path) {
  auto opened = openCheckedForAttributes(fs, path);
  if (failed(opened)) return errorOf(opened);
  auto& file = std::get<std::unique_ptr<AttributeFile>>(opened);
  const std::string value = quarantineValue(fs.secondsSinceEpoch(), fs.newUuid());
  if (int e = file->setAttribute(quarantineName, value); e != 0) {
    return HelperError::quarantineFailed(e);
  }
  return Done{};
}

Result<bool> hasQuarantine(FileSystem& fs, const std::string& path) {
  auto opened = openCheckedForAttributes(fs, path);
  if (failed(opened)) return errorOf(opened);
  auto& file = std::get<std::unique_ptr<AttributeFile>>(opened);
  bool present = false;
  if (int e = file->hasAttribute(quarantineName, present); e != 0) {
    return HelperError::quarantineFailed(e);
  }
  return present;
}

Result<Response> run(FileSystem& fs, const InputReader& readInput) {
  // Checked before the input is read: root never gets as far as the request.
  if (fs.effectiveUserId() == 0) return err(HelperErrorKind::rootDenied);
  auto input = readInput();
  if (!input) return err(HelperErrorKind::invalidRequest);
  auto decoded = decodeRequest(*input);
  if (failed(decoded)) return errorOf(decoded);
  const Request& request = std::get<Request>(decoded);
  const std::string& op = request.operation;

  const bool moves = op == "move_no_replace" || op == "replace_atomically";
  const bool marks = op == "apply_quarantine" || op == "read_quarantine";
  if (!moves && !marks) return err(HelperErrorKind::invalidRequest);

  auto source = validateAbsolutePath(request.sourcePath);
  if (failed(source)) return errorOf(source);
  const std::string& sourcePath = std::get<std::string>(source);

  if (marks) {
    if (op == "apply_quarantine") {
      auto r = setQuarantine(fs, sourcePath);
      if (failed(r)) return errorOf(r);
      return response({.operation = op, .outcome = "quarantined", .quarantinePresent = true});
    }
    auto r = hasQuarantine(fs, sourcePath);
    if (failed(r)) return errorOf(r);
    return response(
        {.operation = op, .outcome = "inspected", .quarantinePresent = std::get<bool>(r)});
  }

  auto destination = validateAbsolutePath(request.destinationPath);
  if (failed(destination)) return errorOf(destination);
  const std::string& destinationPath = std::get<std::string>(destination);
  if (op == "move_no_replace") {
    auto r = moveNoReplace(fs, sourcePath, destinationPath);
    if (failed(r)) return errorOf(r);
    return response({.operation = op, .outcome = "moved"});
  }
  auto r = replaceAtomically(fs, sourcePath, destinationPath);
  if (failed(r)) return errorOf(r);
  return response({.operation = op, .outcome = "replaced", .cleanupDeferred = std::get<bool>(r)});
}

Answer answer(FileSystem& fs, const InputReader& readInput) {
  std::string code;
  try {
    auto result = run(fs, readInput);
    if (!failed(result)) {
      try {
        return {encodeResponse(std::get<Response>(result)) + "\n", 0};
      } catch (...) {
        code = stableErrorCodeForUnknownFailure();
      }
    } else {
      code = stableErrorCode(errorOf(result));
    }
  } catch (...) {
    // Out of memory or a platform failure outside the HelperError cases.
    code = stableErrorCodeForUnknownFailure();
  }
  try {
    return {encodeResponse(failureResponse(code)) + "\n", 1};
  } catch (...) {
    return {"", 1};
  }
}

}  // namespace halvorine::file_transfer
