#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace halvorine {

// Splits what arrives on a descriptor into lines. Reads in large blocks (no read per byte) and
// scans every byte for the line feed only once, so a line of any length costs linear time.
class LineReader {
 public:
  explicit LineReader(int fd, size_t blockSize = size_t{1} << 16);

  // The next line including its line feed (a last line may have none). The view stays valid until
  // the next call. False once the input has ended (or cannot be read) and no byte is left.
  bool next(std::string_view& line);

 private:
  int fd_;
  size_t blockSize_;
  std::string buffer_;  // storage; bytes from filled_ on are free
  size_t filled_ = 0;
  size_t start_ = 0;    // first byte of the line being assembled
  size_t scanned_ = 0;  // bytes before this offset hold no line feed of the current line
  bool ended_ = false;
};

// Removes one line feed at the end and a carriage return right before it.
std::string_view stripLineEnd(std::string_view line);

bool isValidUtf8(std::string_view bytes);

// Appends `bytes` to `out` with each ill-formed sequence replaced by U+FFFD, one replacement per
// maximal subpart (the longest prefix of a well-formed sequence, or one byte).
void appendReplacingInvalidUtf8(std::string& out, std::string_view bytes);

// True when the (valid UTF-8) line holds only space separators (Zs), tab, LF, VT, FF, CR, U+0085,
// U+2028 and U+2029.
bool isBlankLine(std::string_view line);

// The stream loop's view of one line as read by LineReader: line end removed, invalid UTF-8
// replaced (into `scratch` when needed); nullopt when the line is blank and gets no answer.
std::optional<std::string_view> prepareStreamLine(std::string_view raw, std::string& scratch);

}  // namespace halvorine
