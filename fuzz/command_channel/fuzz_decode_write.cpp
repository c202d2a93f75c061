// InputCommand decoding followed by the wire writer. Properties: decoding never crashes, accepts
// only valid UTF-8 holding a JSON object with a string "type"; every record the writer produces is
// one line of JSON with sorted keys whose values read back unchanged, and a record it refuses is
// exactly one with a non-finite number.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "command_channel/stream_lines.h"
#include "fuzz_check.h"
#include "wire/helper_output.h"
#include "wire/input_command.h"

using namespace halvorine;

namespace {

void checkRecord(const HelperOutput& r) {
  std::string line;
  const bool encoded = appendHelperOutputLine(line, r);
  bool finite = true;
  for (const auto& d : {r.x, r.y, r.screenLeft, r.screenTop, r.screenWidth, r.screenHeight,
                        r.captureElapsedMs, r.scaleElapsedMs, r.encodeElapsedMs}) {
    if (d && !std::isfinite(*d)) finite = false;
  }
  if (encoded != finite)
    fuzz::fail("encoding refused a finite record or took a non-finite one", line);
  if (!encoded) {
    if (!line.empty()) fuzz::fail("refused record left bytes behind", line);
    return;
  }
  const auto json = fuzz::checkAnswerLine(line);
  auto same = [&](const char* key, const auto& field) {
    if (!field) {
      if (json.contains(key)) fuzz::fail("unset field written", line);
      return;
    }
    using T = std::decay_t<decltype(*field)>;
    if (!json.contains(key) || json[key].get<T>() != *field) fuzz::fail("value changed", line);
  };
  same("type", r.type);
  same("reason", r.reason);
  same("key", r.key);
  same("frameBase64", r.frameBase64);
  same("frameMimeType", r.frameMimeType);
  same("nativeRuntime", r.nativeRuntime);
  same("x", r.x);
  same("y", r.y);
  same("screenLeft", r.screenLeft);
  same("textLength", r.textLength);
  same("frameBytes", r.frameBytes);
  same("applied", r.applied);
  same("frameUnchanged", r.frameUnchanged);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const std::optional<InputCommand> command = decodeInputCommand(bytes);
  if (command) {
    if (!isValidUtf8(bytes)) fuzz::fail("decoded invalid UTF-8", bytes);
    // The library's own parser gives up on a number too large for a double, which the decoder
    // takes; such a document cannot be judged this way.
    nlohmann::json dom;
    bool judged = true;
    try {
      dom = nlohmann::json::parse(bytes);
    } catch (const nlohmann::json::out_of_range& e) {
      judged = e.id != 406;
    } catch (const nlohmann::json::exception&) {
    }
    if (judged && (!dom.is_object() || !dom.contains("type") || !dom["type"].is_string())) {
      fuzz::fail("decoded what is not an object with a string type", bytes);
    }
    // Every decoded value goes out again through the writer.
    HelperOutput r =
        output(true, command->type, command->promptForPermission, command->text,
               command->suppressUnchanged, command->x, command->y, command->key, command->maxWidth);
    r.frameMimeType = command->button;
    r.frameBase64 = command->coordinateSpace;
    r.nativeRuntime = command->scaleMode;
    r.screenLeft = command->dx;
    r.frameBytes = command->jpegQuality;
    if (command->displayId) r.frameWidth = *command->displayId;
    if (command->modifiers) {
      std::string joined;
      for (const auto& m : *command->modifiers) joined += m + "\n";
      r.key = joined;
    }
    checkRecord(r);
  }

  // Arbitrary records straight from the bytes: strings with any bytes the writer may be handed,
  // doubles of any bit pattern (NaN and infinities included).
  if (size >= 8) {
    double d;
    std::memcpy(&d, data, 8);
    HelperOutput r;
    r.ok = (data[0] & 1) != 0;
    r.x = d;
    r.frameBase64 = std::string(bytes.substr(8));
    if (isValidUtf8(*r.frameBase64))
      r.reason = r.frameBase64;  // readers need valid UTF-8
    else
      r.frameBase64.reset();
    if (size >= 16) {
      std::memcpy(&d, data + 8, 8);
      r.captureElapsedMs = d;
      int64_t i;
      std::memcpy(&i, data + 8, 8);
      r.textLength = i;
    }
    checkRecord(r);
  }
  return 0;
}
