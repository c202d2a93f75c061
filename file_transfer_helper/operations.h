#pragma once

#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "file_system.h"
#include "helper_error.h"
#include "protocol.h"

namespace halvorine::file_transfer {

template <typename T>
using Result = std::variant<T, HelperError>;
struct Done {};

Result<FileStatus> validatedRegularOwnedFile(FileSystem& fs, const std::string& path);
Result<FileStatus> validateDestinationForReplace(FileSystem& fs, const std::string& path);

Result<Done> moveNoReplace(FileSystem& fs, const std::string& sourcePath,
                           const std::string& destinationPath);
// Returns cleanupDeferred: true when the old file was not removed after the swap.
Result<bool> replaceAtomically(FileSystem& fs, const std::string& sourcePath,
                               const std::string& destinationPath);
Result<Done> setQuarantine(FileSystem& fs, const std::string& path);
Result<bool> hasQuarantine(FileSystem& fs, const std::string& path);

// Reads the whole request: the bytes, or nullopt once more than maximumRequestBytes arrived.
using InputReader = std::function<std::optional<std::string>()>;

// Refuses root before reading, decodes, checks and performs one operation.
Result<Response> run(FileSystem& fs, const InputReader& readInput);

struct Answer {
  std::string line;  // one JSON object and its line feed, or empty if nothing could be encoded
  int exitStatus = 1;
};

// The entry point without the process around it: run, encode, and turn any failure into the
// failure response.
Answer answer(FileSystem& fs, const InputReader& readInput);

}  // namespace halvorine::file_transfer
