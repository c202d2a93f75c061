// libFuzzer target: any bytes as the file transfer helper's request, through decoding, the checks
// and the operations (on an in-memory file system) to the answer line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fake_file_system.h"
#include "operations.h"
#include "response_checks.h"

using namespace halvorine::file_transfer;

namespace {

void fail(const std::string& why, const std::string& line) {
  std::fprintf(stderr, "bad answer: %s\n%s\n", why.c_str(), line.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fake::FakeFileSystem fs;
  // A few names of each kind that requests in the corpus point at.
  fs.add("/f");
  fs.add("/g", fake::Kind::regular, fs.euid, "old");
  fs.add("/d", fake::Kind::directory);
  fs.add("/l", fake::Kind::symlink);
  fs.add("/o", fake::Kind::regular, fs.euid + 1);
  fs.add("/h");
  fs.link("/h", "/h2");
  fs.spellings["//f"] = "/f";
  const std::string input(reinterpret_cast<const char*>(data), size);
  const auto reply = answer(fs, [&]() -> std::optional<std::string> {
    if (input.size() > maximumRequestBytes) return std::nullopt;
    return input;
  });
  if (const auto problem = checks::responseProblem(reply.line); !problem.empty()) {
    fail(problem, reply.line);
  }
  const bool ok = reply.line.rfind(R"({"ok":true)", 0) == 0;
  if (reply.exitStatus != (ok ? 0 : 1)) fail("exit status does not fit", reply.line);
  // The checked file is never lost, whatever was asked.
  if (!fs.at("/f") && !fs.at("/g") && !fs.at("/h")) fail("a file vanished", reply.line);
  return 0;
}
