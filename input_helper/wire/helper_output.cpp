#include "wire/helper_output.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "wire/wire_names.h"

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
    // Room for the text as it is and a block more; escapes grow it as they come. Capture lines
    // carry megabytes of Base64 with a solidus to escape every 64 bytes or so, so the text is
    // copied sixteen bytes at a time, each block stored whole before it is checked: at an escape
    // only the bytes up to it count, and copying resumes after it.
    constexpr size_t kBlock = 16;
    size_t o = out_.size();
    out_.resize(o + s.size() + kBlock + 2);
    char* d = out_.data();
    d[o++] = '"';
    const char* p = s.data();
    const char* end = p + s.size();
    while (p < end) {
      const size_t plain = copyPlain(p, end, d + o);
      o += plain;
      p += plain;
      if (p == end) break;
      const auto c = static_cast<unsigned char>(*p++);
      const char e = escapes[c];
      // At most six bytes stand for this one; the rest of the text, a block and the closing
      // quote still need their room.
      const size_t needed = o + 6 + static_cast<size_t>(end - p) + kBlock + 1;
      if (needed > out_.size()) {
        out_.resize(std::max(needed, out_.size() + out_.size() / 8));
        d = out_.data();
      }
      if (e == 'u') {
        static constexpr char hex[] = "0123456789abcdef";
        const char u[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
        std::memcpy(d + o, u, 6);
        o += 6;
      } else {
        d[o++] = '\\';
        d[o++] = e;
      }
    }
    d[o++] = '"';
    out_.resize(o);
  }

  // Copies the bytes from p on that are written as they are to `to`, which has room for them and
  // a block more; returns how many there were.
  static size_t copyPlain(const char* p, const char* end, char* to) {
    const char* start = p;
#ifdef __SSE2__
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'),
                  solidus = _mm_set1_epi8('/'), lastControl = _mm_set1_epi8(0x1f);
    for (; end - p >= 16; p += 16, to += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to), v);
      const __m128i hit =
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                       _mm_or_si128(_mm_cmpeq_epi8(v, solidus),
                                    _mm_cmpeq_epi8(_mm_min_epu8(v, lastControl), v)));
      if (const int mask = _mm_movemask_epi8(hit); mask != 0) {
        return static_cast<size_t>(p - start) + static_cast<size_t>(__builtin_ctz(mask));
      }
    }
#endif
    while (p < end && escapes[static_cast<unsigned char>(*p)] == 0) *to++ = *p++;
    return static_cast<size_t>(p - start);
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
  b.boolean(wire::field::applied, r.applied);
  b.text(wire::field::captureBackend, r.captureBackend);
  finite &= b.real(wire::field::captureElapsedMs, r.captureElapsedMs);
  b.text(wire::field::dispatchBackend, r.dispatchBackend);
  finite &= b.real(wire::field::encodeElapsedMs, r.encodeElapsedMs);
  b.text(wire::field::frameBase64, r.frameBase64);
  b.integer(wire::field::frameBytes, r.frameBytes);
  b.integer(wire::field::frameHeight, r.frameHeight);
  b.text(wire::field::frameMimeType, r.frameMimeType);
  b.boolean(wire::field::frameUnchanged, r.frameUnchanged);
  b.integer(wire::field::frameWidth, r.frameWidth);
  b.text(wire::field::key, r.key);
  b.text(wire::field::nativeRuntime, r.nativeRuntime);
  b.boolean(wire::field::ok, r.ok);
  b.text(wire::field::reason, r.reason);
  finite &= b.real(wire::field::scaleElapsedMs, r.scaleElapsedMs);
  b.text(wire::field::scaleMode, r.scaleMode);
  finite &= b.real(wire::field::screenHeight, r.screenHeight);
  finite &= b.real(wire::field::screenLeft, r.screenLeft);
  finite &= b.real(wire::field::screenTop, r.screenTop);
  finite &= b.real(wire::field::screenWidth, r.screenWidth);
  b.integer(wire::field::sourceHeight, r.sourceHeight);
  b.integer(wire::field::sourceWidth, r.sourceWidth);
  b.integer(wire::field::textLength, r.textLength);
  b.boolean(wire::field::trusted, r.trusted);
  b.text(wire::field::type, r.type);
  finite &= b.real(wire::field::x, r.x);
  finite &= b.real(wire::field::y, r.y);
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

}  // namespace halvorine
