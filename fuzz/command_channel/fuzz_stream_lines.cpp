// Stream mode from bytes in to answer lines out, through the real loop with a stand-in for the
// rest of the helper. Properties: the lines concatenate back to the input; every prepared line is
// valid UTF-8 without a line feed; exactly one answer per non-blank line, in order, each one line
// of JSON with sorted keys; the loop ends with status 0.
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "command_channel/modes.h"
#include "command_channel/stream_lines.h"
#include "fuzz_check.h"

using namespace halvorine;

namespace {

// Echoes what each request carries, so that decoded strings and numbers go out again.
const Helper echo{
    .handle =
        [](const InputCommand& command) {
          HelperOutput answer;
          answer.ok = true;
          answer.type = command.type;
          answer.applied = false;
          answer.trusted = true;
          answer.x = command.x;
          answer.y = command.y;
          answer.key = command.text;
          return answer;
        },
    .isTrusted = [](bool) { return false; },
    .pointerLocation = [] { return Point{}; },
};

int memoryFile(std::string_view content) {
  static const int fd = memfd_create("fuzz", 0);
  ftruncate(fd, 0);
  lseek(fd, 0, SEEK_SET);
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t blockSize = 1 + data[0] % 32;  // small reads exercise lines across blocks
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

  int in = memoryFile(input);
  LineReader reader(in, blockSize);
  std::string joined, scratch;
  std::vector<std::string> expectedTypes;
  size_t answered = 0;
  std::string_view raw;
  while (reader.next(raw)) {
    if (raw.empty()) fuzz::fail("empty raw line", input);
    if (raw.find('\n') != std::string_view::npos && raw.find('\n') != raw.size() - 1) {
      fuzz::fail("line feed inside a line", raw);
    }
    joined.append(raw);
    const auto line = prepareStreamLine(raw, scratch);
    if (!line) continue;
    if (!isValidUtf8(*line)) fuzz::fail("prepared line is not valid UTF-8", *line);
    if (line->find('\n') != std::string_view::npos) fuzz::fail("line feed kept", *line);
    ++answered;
  }
  if (joined != input) fuzz::fail("lines do not add up to the input", input);

  in = memoryFile(input);
  const int outFd = memfd_create("fuzz-out", 0);
  AnswerOutput out(outFd);
  if (runStream(echo, in, out) != exitSuccess) fuzz::fail("stream did not end with 0", input);

  std::string written;
  lseek(outFd, 0, SEEK_SET);
  char buf[65536];
  ssize_t n;
  while ((n = read(outFd, buf, sizeof buf)) > 0) written.append(buf, static_cast<size_t>(n));
  close(outFd);

  size_t lines = 0;
  for (size_t at = 0; at < written.size();) {
    const size_t end = written.find('\n', at);
    if (end == std::string::npos) fuzz::fail("answer without line feed", written);
    fuzz::checkAnswerLine(std::string_view(written).substr(at, end + 1 - at));
    at = end + 1;
    ++lines;
  }
  if (lines != answered) fuzz::fail("not one answer per non-blank line", input);
  return 0;
}
