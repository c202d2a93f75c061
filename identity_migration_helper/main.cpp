// HalvorineIdentityMigrationHelper: keychain identity migration is disabled. Every start answers
// with the same line and exit status 3; standard input and arguments are never looked at.
#include <unistd.h>

#include <csignal>
#include <nlohmann/json.hpp>
#include <string>

#include "common/write_all.h"

namespace {

constexpr int exitStatus = 3;

}  // namespace

int main() {
  std::signal(SIGPIPE, SIG_IGN);
  std::string line;
  try {
    // nlohmann::json keeps object keys sorted in byte order, which is the wire order.
    const nlohmann::json response = {
        {"ok", false},
        {"errorCode", "keychain_operations_disabled"},
        {"credentialContentRecorded", false},
        {"keychainDatabaseRecorded", false},
        {"privateKeyExported", false},
        {"identityRecreated", false},
    };
    line = response.dump() + "\n";
  } catch (...) {
    return exitStatus;
  }
  halvorine::writeAll(STDOUT_FILENO, line);
  return exitStatus;
}
