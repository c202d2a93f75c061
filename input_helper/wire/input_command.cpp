#include "wire/input_command.h"

#include <limits>
#include <nlohmann/json.hpp>
#include <vector>

#include "common/json_events.h"
#include "wire/wire_names.h"

namespace halvorine {

namespace {

using json = nlohmann::json;

enum class Field {
  ignored,
  type,
  x,
  y,
  dx,
  dy,
  coordinateSpace,
  displayId,
  button,
  key,
  text,
  modifiers,
  promptForPermission,
  maxWidth,
  jpegQuality,
  scaleMode,
  suppressUnchanged,
};

Field fieldNamed(std::string_view name) {
  static constexpr std::pair<std::string_view, Field> fields[] = {
      {wire::field::type, Field::type},
      {wire::field::x, Field::x},
      {wire::field::y, Field::y},
      {wire::field::dx, Field::dx},
      {wire::field::dy, Field::dy},
      {wire::field::coordinateSpace, Field::coordinateSpace},
      {wire::field::displayId, Field::displayId},
      {wire::field::button, Field::button},
      {wire::field::key, Field::key},
      {wire::field::text, Field::text},
      {wire::field::modifiers, Field::modifiers},
      {wire::field::promptForPermission, Field::promptForPermission},
      {wire::field::maxWidth, Field::maxWidth},
      {wire::field::jpegQuality, Field::jpegQuality},
      {wire::field::scaleMode, Field::scaleMode},
      {wire::field::suppressUnchanged, Field::suppressUnchanged},
  };
  for (const auto& [n, f] : fields) {
    if (n == name) return f;
  }
  return Field::ignored;
}

// Fills the command straight from the parser's events, so that no document tree is built: the
// values of unknown keys are skipped by depth alone, whatever their size or nesting. Returning
// false from any event stops the parse and rejects the document.
class CommandReader {
 public:
  using number_integer_t = json::number_integer_t;
  using number_unsigned_t = json::number_unsigned_t;
  using number_float_t = json::number_float_t;
  using string_t = json::string_t;

  InputCommand command;
  bool typeSeen = false;

  bool null() {
    if (!atField()) return depth_ > 0 && !inModifiers_;
    switch (field_) {
      case Field::type:
        return false;
      case Field::x:
        command.x.reset();
        break;
      case Field::y:
        command.y.reset();
        break;
      case Field::dx:
        command.dx.reset();
        break;
      case Field::dy:
        command.dy.reset();
        break;
      case Field::coordinateSpace:
        command.coordinateSpace.reset();
        break;
      case Field::displayId:
        command.displayId.reset();
        break;
      case Field::button:
        command.button.reset();
        break;
      case Field::key:
        command.key.reset();
        break;
      case Field::text:
        command.text.reset();
        break;
      case Field::modifiers:
        command.modifiers.reset();
        break;
      case Field::promptForPermission:
        command.promptForPermission.reset();
        break;
      case Field::maxWidth:
        command.maxWidth.reset();
        break;
      case Field::jpegQuality:
        command.jpegQuality.reset();
        break;
      case Field::scaleMode:
        command.scaleMode.reset();
        break;
      case Field::suppressUnchanged:
        command.suppressUnchanged.reset();
        break;
      case Field::ignored:
        break;
    }
    return true;
  }

  bool boolean(bool value) {
    if (!atField()) return depth_ > 0 && !inModifiers_;
    switch (field_) {
      case Field::ignored:
        return true;
      case Field::promptForPermission:
        command.promptForPermission = value;
        return true;
      case Field::suppressUnchanged:
        command.suppressUnchanged = value;
        return true;
      default:
        return false;
    }
  }

  bool number_integer(number_integer_t value) {
    if (!atField()) return depth_ > 0 && !inModifiers_;
    switch (field_) {
      case Field::displayId:
        if (value < 0 || value > std::numeric_limits<uint32_t>::max()) return false;
        command.displayId = static_cast<uint32_t>(value);  // "-0" arrives here
        return true;
      case Field::maxWidth:
        command.maxWidth = value;
        return true;
      case Field::jpegQuality:
        command.jpegQuality = value;
        return true;
      default:
        return number(static_cast<double>(value));
    }
  }

  bool number_unsigned(number_unsigned_t value) {
    if (!atField()) return depth_ > 0 && !inModifiers_;
    constexpr auto int64Max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    switch (field_) {
      case Field::displayId:
        if (value > std::numeric_limits<uint32_t>::max()) return false;
        command.displayId = static_cast<uint32_t>(value);
        return true;
      case Field::maxWidth:
        if (value > int64Max) return false;
        command.maxWidth = static_cast<int64_t>(value);
        return true;
      case Field::jpegQuality:
        if (value > int64Max) return false;
        command.jpegQuality = static_cast<int64_t>(value);
        return true;
      default:
        return number(static_cast<double>(value));
    }
  }

  // An infinity stands for a literal too large for a double.
  bool number_float(number_float_t value) {
    if (!atField()) return depth_ > 0 && !inModifiers_;
    switch (field_) {
      case Field::displayId:
      case Field::maxWidth:
      case Field::jpegQuality:
        // Only integer literals: a fraction, an exponent, or an integer too large for 64 bits
        // (which the lexer hands over as a double, rounded) would need rounding to fit.
        return false;
      default:
        return number(value);
    }
  }

  bool string(string_t& value) {
    if (inModifiers_ && depth_ == 2) {
      command.modifiers->push_back(std::move(value));
      return true;
    }
    if (!atField()) return depth_ > 0 && !inModifiers_;
    switch (field_) {
      case Field::type:
        command.type = std::move(value);
        typeSeen = true;
        return true;
      case Field::coordinateSpace:
        command.coordinateSpace = std::move(value);
        return true;
      case Field::button:
        command.button = std::move(value);
        return true;
      case Field::key:
        command.key = std::move(value);
        return true;
      case Field::text:
        command.text = std::move(value);
        return true;
      case Field::scaleMode:
        command.scaleMode = std::move(value);
        return true;
      case Field::ignored:
        return true;
      default:
        return false;
    }
  }

  bool start_object(std::size_t) {
    if (depth_ == 0) {
      depth_ = 1;
      return true;
    }
    if (!enterContainer()) return false;
    return true;
  }

  bool key(string_t& name) {
    if (depth_ == 1) field_ = fieldNamed(name);
    return true;
  }

  bool end_object() {
    --depth_;
    return true;
  }

  bool start_array(std::size_t) {
    if (depth_ == 0) return false;  // the top level must be an object
    if (depth_ == 1 && field_ == Field::modifiers) {
      command.modifiers.emplace();
      inModifiers_ = true;
      depth_ = 2;
      return true;
    }
    return enterContainer();
  }

  bool end_array() {
    if (inModifiers_ && depth_ == 2) inModifiers_ = false;
    --depth_;
    return true;
  }

 private:
  // True when the value at hand is the value of a member of the top-level object.
  bool atField() const { return depth_ == 1; }

  // A nested object or array is only welcome as the value of a key that is not a field.
  bool enterContainer() {
    if (inModifiers_) return false;
    if (depth_ == 1 && field_ != Field::ignored) return false;
    ++depth_;
    return true;
  }

  bool number(double value) {
    switch (field_) {
      case Field::x:
        command.x = value;
        return true;
      case Field::y:
        command.y = value;
        return true;
      case Field::dx:
        command.dx = value;
        return true;
      case Field::dy:
        command.dy = value;
        return true;
      case Field::ignored:
        return true;
      default:
        return false;
    }
  }

  size_t depth_ = 0;
  Field field_ = Field::ignored;
  bool inModifiers_ = false;
};

}  // namespace

std::optional<InputCommand> decodeInputCommand(std::string_view document) {
  // The parser would silently skip a byte order mark; it is neither whitespace nor JSON.
  if (document.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  // The parser also takes a NUL byte for the end of the input and would ignore whatever follows
  // it. No valid document holds one (inside strings it must be escaped as \u0000).
  if (document.find('\0') != std::string_view::npos) return std::nullopt;
  CommandReader reader;
  if (!readJson(document, reader) || !reader.typeSeen) return std::nullopt;
  return std::move(reader.command);
}

}  // namespace halvorine
