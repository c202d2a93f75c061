#include "protocol.h"

#include <nlohmann/json.hpp>
#include <vector>

namespace halvorine::file_transfer {

namespace {

using json = nlohmann::json;
using Token = nlohmann::detail::lexer_base<json>::token_type;
using Lexer = nlohmann::detail::lexer<json, nlohmann::detail::iterator_input_adapter<const char*>>;

// Reads one JSON text and reports its values to `reader` in document order, as json::sax_parse
// does in strict mode, with one difference: a number literal too large for a double arrives as
// the infinity of its sign. The library's parser rejects the whole text for such a number, even
// as the value of a key that no one reads. Nesting is kept on an explicit stack, so depth costs
// memory only. Returns false when the text is not JSON or the reader refused a value.
template <class Reader>
bool readJson(std::string_view text, Reader& reader) {
  Lexer lexer(nlohmann::detail::input_adapter(text.data(), text.data() + text.size()));
  std::vector<bool> inArray;  // one entry per open container: true for an array
  Token token = lexer.scan();
  // The key and its separator of an object member; leaves the member's value in `token`.
  auto member = [&] {
    if (token != Token::value_string || !reader.key(lexer.get_string())) return false;
    if (lexer.scan() != Token::name_separator) return false;
    token = lexer.scan();
    return true;
  };
  for (;;) {
    bool accepted = false;
    switch (token) {
      case Token::begin_object:
        if (!reader.start_object()) return false;
        token = lexer.scan();
        if (token == Token::end_object) {
          accepted = reader.end_container();
          break;
        }
        if (!member()) return false;
        inArray.push_back(false);
        continue;
      case Token::begin_array:
        if (!reader.start_array()) return false;
        token = lexer.scan();
        if (token == Token::end_array) {
          accepted = reader.end_container();
          break;
        }
        inArray.push_back(true);
        continue;
      case Token::literal_null:
        accepted = reader.null();
        break;
      case Token::literal_true:
      case Token::literal_false:
      case Token::value_integer:
      case Token::value_unsigned:
      case Token::value_float:  // an infinity for a literal beyond the range of a double
        accepted = reader.other();
        break;
      case Token::value_string:
        accepted = reader.string(lexer.get_string());
        break;
      default:
        return false;  // a lexical error, or a token where a value belongs
    }
    if (!accepted) return false;
    // A value is complete: close the containers that end here, then go on to the next value.
    for (;;) {
      if (inArray.empty()) return lexer.scan() == Token::end_of_input;
      token = lexer.scan();
      if (token == Token::value_separator) {
        token = lexer.scan();
        if (!inArray.back() && !member()) return false;
        break;
      }
      if (token != (inArray.back() ? Token::end_array : Token::end_object)) return false;
      if (!reader.end_container()) return false;
      inArray.pop_back();
    }
  }
}

// A member of the request as its last occurrence left it: as in a document tree, a key given
// twice counts with its later value, whatever the earlier one was.
struct Member {
  enum class Given { absent, null, string, otherType } given = Given::absent;
  std::string value;
};

// Keeps the three members of the request; the values of every other key are only checked for
// being JSON.
class RequestReader {
 public:
  Member operation, sourcePath, destinationPath;

  bool null() { return scalar(Member::Given::null); }
  bool other() { return scalar(Member::Given::otherType); }
  bool string(std::string& value) {
    if (!scalar(Member::Given::string)) return false;
    if (depth_ == 1 && member_) member_->value = std::move(value);
    return true;
  }
  bool start_object() {
    if (depth_ == 1 && member_) member_->given = Member::Given::otherType;
    ++depth_;
    return true;
  }
  bool start_array() {
    if (depth_ == 0) return false;  // the top level must be an object
    return start_object();
  }
  bool key(const std::string& name) {
    if (depth_ == 1) {
      member_ = name == "operation"         ? &operation
                : name == "sourcePath"      ? &sourcePath
                : name == "destinationPath" ? &destinationPath
                                            : nullptr;
    }
    return true;
  }
  bool end_container() {
    --depth_;
    return true;
  }

 private:
  bool scalar(Member::Given given) {
    if (depth_ == 0) return false;  // the top level must be an object
    if (depth_ == 1 && member_) {
      member_->given = given;
      member_->value.clear();
    }
    return true;
  }

  std::size_t depth_ = 0;
  Member* member_ = nullptr;
};

// Absent and null both mean "not given"; any other non-string type is undecodable.
bool optionalString(const Member& member, std::optional<std::string>& out) {
  switch (member.given) {
    case Member::Given::absent:
    case Member::Given::null:
      return true;
    case Member::Given::string:
      out = member.value;
      return true;
    case Member::Given::otherType:
      break;
  }
  return false;
}

}  // namespace

std::variant<Request, HelperError> decodeRequest(std::string_view input) {
  const HelperError invalid = HelperError::of(HelperErrorKind::invalidRequest);
  if (input.empty() || input.size() > maximumRequestBytes) return invalid;
  // Valid JSON text never holds a raw NUL, and the lexer would take one for the end of input,
  // silently dropping whatever follows it.
  if (input.find('\0') != std::string_view::npos) return invalid;
  // The lexer would skip a byte order mark; only white space may surround the value.
  if (input.starts_with("\xEF\xBB\xBF")) return invalid;
  try {
    RequestReader reader;
    if (!readJson(input, reader) || reader.operation.given != Member::Given::string) {
      return invalid;
    }
    Request request;
    request.operation = std::move(reader.operation.value);
    if (!optionalString(reader.sourcePath, request.sourcePath) ||
        !optionalString(reader.destinationPath, request.destinationPath)) {
      return invalid;
    }
    return request;
  } catch (...) {
    // Out of memory while reading: the request cannot be decoded.
    return invalid;
  }
}

std::variant<std::string, HelperError> validateAbsolutePath(
    const std::optional<std::string>& path) {
  const HelperError invalid = HelperError::of(HelperErrorKind::pathInvalid);
  if (!path || path->empty() || path->size() > maximumPathBytes || path->front() != '/' ||
      path->find('\0') != std::string::npos) {
    return invalid;
  }
  return *path;
}

Response response(ResponseParts parts) {
  return Response{.ok = !parts.errorCode.has_value(),
                  .operation = std::move(parts.operation),
                  .outcome = std::move(parts.outcome),
                  .quarantinePresent = parts.quarantinePresent,
                  .cleanupDeferred = parts.cleanupDeferred,
                  .errorCode = std::move(parts.errorCode)};
}

Response failureResponse(const std::string& errorCode) {
  return response({.operation = "unknown", .errorCode = errorCode});
}

std::string encodeResponse(const Response& r) {
  nlohmann::ordered_json j;
  j["ok"] = r.ok;
  j["operation"] = r.operation;
  if (r.outcome) j["outcome"] = *r.outcome;
  if (r.quarantinePresent) j["quarantinePresent"] = *r.quarantinePresent;
  j["cleanupDeferred"] = r.cleanupDeferred;
  if (r.errorCode) j["errorCode"] = *r.errorCode;
  j["pathRecorded"] = r.pathRecorded;
  j["payloadRecorded"] = r.payloadRecorded;
  j["commandLinePathUsed"] = r.commandLinePathUsed;
  j["rootAuthorityUsed"] = r.rootAuthorityUsed;
  return j.dump();
}

std::string quarantineValue(std::int64_t secondsSinceEpoch, const std::string& uuidUpper) {
  static constexpr char digits[] = "0123456789abcdef";
  // Work on the magnitude as unsigned so that the most negative value cannot overflow.
  std::uint64_t magnitude = secondsSinceEpoch < 0
                                ? ~static_cast<std::uint64_t>(secondsSinceEpoch) + 1
                                : static_cast<std::uint64_t>(secondsSinceEpoch);
  std::string hex;
  do {
    hex.insert(hex.begin(), digits[magnitude % 16]);
    magnitude /= 16;
  } while (magnitude != 0);
  if (secondsSinceEpoch < 0) hex.insert(hex.begin(), '-');
  return "0081;" + hex + ";Halvorine;" + uuidUpper;
}

}  // namespace halvorine::file_transfer
