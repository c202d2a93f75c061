#pragma once

#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

namespace halvorine {

namespace json_events_detail {
using Token = nlohmann::detail::lexer_base<nlohmann::json>::token_type;
using Lexer =
    nlohmann::detail::lexer<nlohmann::json, nlohmann::detail::iterator_input_adapter<const char*>>;

}  // namespace json_events_detail

// Reads one JSON text and reports its values to `reader` in document order, as json::sax_parse
// does in strict mode, with one difference: a number literal too large for a double arrives as
// the infinity of its sign. The library's parser rejects the whole text for such a number, even
// as the value of a key that no one reads. Nesting is kept on an explicit stack, so depth costs
// memory only. Returns false when the text is not JSON or the reader refused a value.
//
// The reader has the handlers of nlohmann's SAX interface: null, boolean, number_integer,
// number_unsigned, number_float, string, key, start_object, end_object, start_array, end_array.
// The lexer is nlohmann's own (the tokenising, UTF-8 checks and number conversion stay the
// library's); only the grammar above it is ours.
template <class Reader>
bool readJson(std::string_view text, Reader& reader) {
  using json_events_detail::Lexer;
  using json_events_detail::Token;
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
        if (!reader.start_object(0)) return false;
        token = lexer.scan();
        if (token == Token::end_object) {
          accepted = reader.end_object();
          break;
        }
        if (!member()) return false;
        inArray.push_back(false);
        continue;
      case Token::begin_array:
        if (!reader.start_array(0)) return false;
        token = lexer.scan();
        if (token == Token::end_array) {
          accepted = reader.end_array();
          break;
        }
        inArray.push_back(true);
        continue;
      case Token::literal_null:
        accepted = reader.null();
        break;
      case Token::literal_true:
        accepted = reader.boolean(true);
        break;
      case Token::literal_false:
        accepted = reader.boolean(false);
        break;
      case Token::value_integer:
        accepted = reader.number_integer(lexer.get_number_integer());
        break;
      case Token::value_unsigned:
        accepted = reader.number_unsigned(lexer.get_number_unsigned());
        break;
      case Token::value_float:
        // strtod gives HUGE_VAL, the infinity, for a literal beyond the range of a double.
        accepted = reader.number_float(lexer.get_number_float());
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
      if (!(inArray.back() ? reader.end_array() : reader.end_object())) return false;
      inArray.pop_back();
    }
  }
}

}  // namespace halvorine
