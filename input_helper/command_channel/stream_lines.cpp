#include "command_channel/stream_lines.h"

#include <unistd.h>
#include <utf8proc.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace halvorine {

LineReader::LineReader(int fd, size_t blockSize) : fd_(fd), blockSize_(blockSize) {}

bool LineReader::next(std::string_view& line) {
  for (;;) {
    const size_t from = std::max(start_, scanned_);
    if (from < filled_) {
      const void* lf = std::memchr(buffer_.data() + from, '\n', filled_ - from);
      if (lf != nullptr) {
        const size_t end = static_cast<size_t>(static_cast<const char*>(lf) - buffer_.data()) + 1;
        line = std::string_view(buffer_.data() + start_, end - start_);
        start_ = scanned_ = end;
        return true;
      }
    }
    scanned_ = filled_;
    if (ended_) {
      if (start_ == filled_) return false;
      line = std::string_view(buffer_.data() + start_, filled_ - start_);
      start_ = scanned_ = filled_;
      return true;
    }
    // Move the unfinished line to the front before reading more, so the buffer holds at most the
    // current line and one block; a long line is moved at most once.
    if (start_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + start_, filled_ - start_);
      filled_ -= start_;
      scanned_ -= start_;
      start_ = 0;
    }
    // Grow geometrically, and only when a block no longer fits, so a long line costs linear time.
    if (buffer_.size() - filled_ < blockSize_) {
      buffer_.resize(std::max(buffer_.size() * 2, filled_ + blockSize_));
    }
    ssize_t n;
    do {
      n = ::read(fd_, buffer_.data() + filled_, buffer_.size() - filled_);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
      filled_ += static_cast<size_t>(n);
    } else {
      ended_ = true;  // end of input, or input that cannot be read any more
    }
  }
}

std::string_view stripLineEnd(std::string_view line) {
  if (line.ends_with('\n')) {
    line.remove_suffix(1);
    if (line.ends_with('\r')) line.remove_suffix(1);
  }
  return line;
}

namespace {

// Length of the well-formed sequence that starts at p, or 0 with `subpart` set to the length of
// the maximal subpart to replace.
size_t wellFormedLength(const unsigned char* p, const unsigned char* end, size_t& subpart) {
  const unsigned char b = p[0];
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b == 0xE0) {
    n = 3, lo = 0xA0;
  } else if (b == 0xED) {
    n = 3, hi = 0x9F;
  } else if (b >= 0xE1 && b <= 0xEF) {
    n = 3;
  } else if (b == 0xF0) {
    n = 4, lo = 0x90;
  } else if (b == 0xF4) {
    n = 4, hi = 0x8F;
  } else if (b >= 0xF1 && b <= 0xF3) {
    n = 4;
  } else {
    subpart = 1;
    return 0;
  }
  for (size_t k = 1; k < n; ++k) {
    const unsigned char low = k == 1 ? lo : 0x80;
    const unsigned char high = k == 1 ? hi : 0xBF;
    if (p + k >= end || p[k] < low || p[k] > high) {
      subpart = k;
      return 0;
    }
  }
  return n;
}

size_t asciiPrefix(const unsigned char* p, const unsigned char* end) {
  const unsigned char* s = p;
  while (end - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if ((w & 0x8080808080808080ULL) != 0) break;
    p += 8;
  }
  while (p < end && *p < 0x80) ++p;
  return static_cast<size_t>(p - s);
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  auto p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto end = p + bytes.size();
  while (p < end) {
    p += asciiPrefix(p, end);
    if (p == end) break;
    size_t subpart = 0;
    const size_t n = wellFormedLength(p, end, subpart);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

void appendReplacingInvalidUtf8(std::string& out, std::string_view bytes) {
  static constexpr std::string_view replacement = "\xEF\xBF\xBD";
  out.reserve(out.size() + bytes.size() + bytes.size() / 2);
  auto p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto end = p + bytes.size();
  while (p < end) {
    const unsigned char* run = p;
    for (;;) {
      p += asciiPrefix(p, end);
      if (p == end) break;
      size_t subpart = 0;
      const size_t n = wellFormedLength(p, end, subpart);
      if (n == 0) break;
      p += n;
    }
    out.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
    if (p == end) break;
    size_t subpart = 0;
    wellFormedLength(p, end, subpart);
    out.append(replacement);
    p += subpart;
  }
}

bool isBlankLine(std::string_view line) {
  auto p = reinterpret_cast<const utf8proc_uint8_t*>(line.data());
  auto left = static_cast<utf8proc_ssize_t>(line.size());
  while (left > 0) {
    const unsigned char b = *p;
    if (b < 0x80) {
      if (b != ' ' && b != '\t' && b != '\n' && b != '\v' && b != '\f' && b != '\r') return false;
      ++p;
      --left;
      continue;
    }
    utf8proc_int32_t c = 0;
    const utf8proc_ssize_t n = utf8proc_iterate(p, left, &c);
    if (n <= 0) return false;
    if (c != 0x85 && c != 0x2028 && c != 0x2029 && utf8proc_category(c) != UTF8PROC_CATEGORY_ZS) {
      return false;
    }
    p += n;
    left -= n;
  }
  return true;
}

std::optional<std::string_view> prepareStreamLine(std::string_view raw, std::string& scratch) {
  std::string_view line = stripLineEnd(raw);
  if (!isValidUtf8(line)) {
    scratch.clear();
    appendReplacingInvalidUtf8(scratch, line);
    line = scratch;
  }
  if (isBlankLine(line)) return std::nullopt;
  return line;
}

}  // namespace halvorine
