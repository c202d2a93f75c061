#include "wire/helper_output.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

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
    // Room for the text as it is; escapes grow it as they come. Capture lines carry megabytes of
    // Base64, so eight bytes at a time are checked and copied where none needs escaping.
    size_t o = out_.size();
    out_.resize(o + s.size() + 2);
    out_[o++] = '"';
    const char* p = s.data();
    const char* end = p + s.size();
    while (p < end) {
      if (end - p >= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        if (!needsEscape(word)) {
          std::memcpy(&out_[o], p, 8);
          o += 8;
          p += 8;
          continue;
        }
      }
      const auto c = static_cast<unsigned char>(*p++);
      const char e = escapes[c];
      if (e == 0) {
        out_[o++] = static_cast<char>(c);
        continue;
      }
      // At most six bytes stand for this one; the rest of the text and the closing quote still
      // need their room.
      const size_t needed = o + 6 + static_cast<size_t>(end - p) + 1;
      if (needed > out_.size()) out_.resize(std::max(needed, out_.size() + out_.size() / 8));
      if (e == 'u') {
        static constexpr char hex[] = "0123456789abcdef";
        const char u[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
        std::memcpy(&out_[o], u, 6);
        o += 6;
      } else {
        out_[o++] = '\\';
        out_[o++] = e;
      }
    }
    out_[o++] = '"';
    out_.resize(o);
  }

  // Whether any of the eight bytes is a control character, '"', '\\' or '/'.
  static bool needsEscape(uint64_t w) {
    constexpr uint64_t ones = 0x0101010101010101ULL;
    constexpr uint64_t highs = 0x8080808080808080ULL;
    auto hasZeroByte = [](uint64_t v) { return ((v - ones) & ~v & highs) != 0; };
    const bool control = ((w - ones * 0x20) & ~w & highs) != 0;
    return control || hasZeroByte(w ^ (ones * '"')) || hasZeroByte(w ^ (ones * '\\')) ||
           hasZeroByte(w ^ (ones * '/'));
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
