// HalvorineIdentityMigrationHelper: keychain identity migration is disabled. Every start answers
// with the same line and exit status 3; standard input and arguments are never looked at.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <nlohmann/json.hpp>
#include <string>

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
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(STDOUT_FILENO, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return exitStatus;
}
