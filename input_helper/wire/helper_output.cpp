#include "wire/helper_output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>

namespace halvorine {

HelperOutput output(bool ok, std::optional<std::string> type, std::optional<bool> applied,
                    std::optional<std::string> reason, std::optional<bool> trusted,
                    std::optional<double> x, std::optional<double> y,
                    std::optional<std::string> key, std::optional<int64_t> textLength) {
  HelperOutput r;
  r.ok = ok;
  r.type = std::move(type);
  r.applied = applied;
  r.reason = std::move(reason);
  r.trusted = trusted;
  r.x = x;
  r.y = y;
  r.key = std::move(key);
  r.textLength = textLength;
  return r;
}

namespace {

// For each byte, 0 when it is written as it is, otherwise the letter after the backslash ('u' for
// the six-character form).
constexpr std::array<char, 256> escapes = [] {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t['\b'] = 'b';
  t['\f'] = 'f';
  t['\n'] = 'n';
  t['\r'] = 'r';
  t['\t'] = 't';
  t['"'] = '"';
  t['\\'] = '\\';
  t['/'] = '/';
  return t;
}();

class LineBuilder {
 public:
  explicit LineBuilder(std::string& out) : out_(out) {}

  void boolean(std::string_view key, const std::optional<bool>& v) {
    if (!v) return;
    name(key);
    out_.append(*v ? "true" : "false");
  }
  void integer(std::string_view key, const std::optional<int64_t>& v) {
    if (!v) return;
    name(key);
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, *v);
    out_.append(buf, end);
  }
  // False for a value that JSON cannot carry.
  bool real(std::string_view key, const std::optional<double>& v) {
    if (!v) return true;
    if (!std::isfinite(*v)) return false;
    name(key);
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, *v);  // shortest form that reads back
    out_.append(buf, end);
    return true;
  }
  void text(std::string_view key, const std::optional<std::string>& v) {
    if (!v) return;
    name(key);
    quoted(*v);
  }
  void finish() { out_.append("}\n"); }

 private:
  void name(std::string_view key) {
    out_.push_back(first_ ? '{' : ',');
    first_ = false;
    out_.push_back('"');
    out_.append(key);
    out_.append("\":");
  }

  void quoted(std::string_view s) {
    out_.reserve(out_.size() + s.size() + s.size() / 32 + 2);
    out_.push_back('"');
    const char* p = s.data();
    const char* end = p + s.size();
    while (p < end) {
      const char* run = p;
      while (p < end && escapes[static_cast<unsigned char>(*p)] == 0) ++p;
      out_.append(run, p);
      if (p == end) break;
      const auto c = static_cast<unsigned char>(*p++);
      const char e = escapes[c];
      if (e == 'u') {
        static constexpr char hex[] = "0123456789abcdef";
        const char u[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
        out_.append(u, 6);
      } else {
        const char two[2] = {'\\', e};
        out_.append(two, 2);
      }
    }
    out_.push_back('"');
  }

  std::string& out_;
  bool first_ = true;
};

}  // namespace

bool appendHelperOutputLine(std::string& out, const HelperOutput& r) {
  const size_t start = out.size();
  LineBuilder b(out);
  // Members in ascending order of their keys.
  bool finite = true;
  b.boolean("applied", r.applied);
  b.text("captureBackend", r.captureBackend);
  finite &= b.real("captureElapsedMs", r.captureElapsedMs);
  b.text("dispatchBackend", r.dispatchBackend);
  finite &= b.real("encodeElapsedMs", r.encodeElapsedMs);
  b.text("frameBase64", r.frameBase64);
  b.integer("frameBytes", r.frameBytes);
  b.integer("frameHeight", r.frameHeight);
  b.text("frameMimeType", r.frameMimeType);
  b.boolean("frameUnchanged", r.frameUnchanged);
  b.integer("frameWidth", r.frameWidth);
  b.text("key", r.key);
  b.text("nativeRuntime", r.nativeRuntime);
  b.boolean("ok", r.ok);
  b.text("reason", r.reason);
  finite &= b.real("scaleElapsedMs", r.scaleElapsedMs);
  b.text("scaleMode", r.scaleMode);
  finite &= b.real("screenHeight", r.screenHeight);
  finite &= b.real("screenLeft", r.screenLeft);
  finite &= b.real("screenTop", r.screenTop);
  finite &= b.real("screenWidth", r.screenWidth);
  b.integer("sourceHeight", r.sourceHeight);
  b.integer("sourceWidth", r.sourceWidth);
  b.integer("textLength", r.textLength);
  b.boolean("trusted", r.trusted);
  b.text("type", r.type);
  finite &= b.real("x", r.x);
  finite &= b.real("y", r.y);
  if (!finite) {
    out.resize(start);
    return false;
  }
  b.finish();
  return true;
}

std::optional<std::string> encodeHelperOutput(const HelperOutput& result) {
  std::string line;
  if (!appendHelperOutputLine(line, result)) return std::nullopt;
  return line;
}

AnswerOutput::AnswerOutput(int fd, std::chrono::milliseconds stallLimit)
    : fd_(fd), stallLimit_(stallLimit) {
  struct stat st {};
  socket_ = ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

AnswerOutput AnswerOutput::forStandardOutput(std::chrono::milliseconds stallLimit) {
  struct stat st {};
  if (::fstat(STDOUT_FILENO, &st) == 0 && S_ISFIFO(st.st_mode)) {
    // Opening the pipe anew gives a file description of our own; O_NONBLOCK on it leaves the
    // host's description untouched. Without /proc, or once the reader is gone, the pipe stays
    // blocking: a gone reader still ends the writes with EPIPE.
    const int fd = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      struct stat again {};
      if (::fstat(fd, &again) == 0 && again.st_ino == st.st_ino && again.st_dev == st.st_dev) {
        ::dup3(fd, STDOUT_FILENO, 0);
      }
      ::close(fd);
    }
  }
  return AnswerOutput(STDOUT_FILENO, stallLimit);
}

bool AnswerOutput::write(std::string_view data) {
  auto lastProgress = std::chrono::steady_clock::now();
  while (!data.empty()) {
    const ssize_t n = socket_ ? ::send(fd_, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                              : ::write(fd_, data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<size_t>(n));
      lastProgress = std::chrono::steady_clock::now();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          lastProgress + stallLimit_ - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;  // the reader has stopped taking anything
      pollfd p{fd_, POLLOUT, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno != EINTR) return false;
      if (ready > 0 && (p.revents & POLLNVAL) != 0) return false;
      continue;  // POLLERR and POLLHUP show up as EPIPE on the next write
    }
    return false;  // EPIPE, EBADF, ...: nobody will read this
  }
  return true;
}

bool AnswerOutput::write(const HelperOutput& result) {
  line_.clear();
  if (!appendHelperOutputLine(line_, result)) return write(jsonEncodeFailedLine);
  return write(std::string_view(line_));
}

bool printOutput(const HelperOutput& result) {
  static AnswerOutput standardOutput = AnswerOutput::forStandardOutput();
  return standardOutput.write(result);
}

}  // namespace halvorine
