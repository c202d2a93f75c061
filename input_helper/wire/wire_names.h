#pragma once

#include <string_view>

// Every text of the input helper's wire format, in one place: what hosts match on. A text here is
// part of the protocol; change one only together with every host that reads it.
namespace halvorine::wire {

// The JSON keys of requests and answers.
namespace field {
inline constexpr std::string_view applied = "applied";
inline constexpr std::string_view button = "button";
inline constexpr std::string_view captureBackend = "captureBackend";
inline constexpr std::string_view captureElapsedMs = "captureElapsedMs";
inline constexpr std::string_view coordinateSpace = "coordinateSpace";
inline constexpr std::string_view dispatchBackend = "dispatchBackend";
inline constexpr std::string_view displayId = "displayId";
inline constexpr std::string_view dx = "dx";
inline constexpr std::string_view dy = "dy";
inline constexpr std::string_view encodeElapsedMs = "encodeElapsedMs";
inline constexpr std::string_view frameBase64 = "frameBase64";
inline constexpr std::string_view frameBytes = "frameBytes";
inline constexpr std::string_view frameHeight = "frameHeight";
inline constexpr std::string_view frameMimeType = "frameMimeType";
inline constexpr std::string_view frameUnchanged = "frameUnchanged";
inline constexpr std::string_view frameWidth = "frameWidth";
inline constexpr std::string_view jpegQuality = "jpegQuality";
inline constexpr std::string_view key = "key";
inline constexpr std::string_view maxWidth = "maxWidth";
inline constexpr std::string_view modifiers = "modifiers";
inline constexpr std::string_view nativeRuntime = "nativeRuntime";
inline constexpr std::string_view ok = "ok";
inline constexpr std::string_view promptForPermission = "promptForPermission";
inline constexpr std::string_view reason = "reason";
inline constexpr std::string_view scaleElapsedMs = "scaleElapsedMs";
inline constexpr std::string_view scaleMode = "scaleMode";
inline constexpr std::string_view screenHeight = "screenHeight";
inline constexpr std::string_view screenLeft = "screenLeft";
inline constexpr std::string_view screenTop = "screenTop";
inline constexpr std::string_view screenWidth = "screenWidth";
inline constexpr std::string_view sourceHeight = "sourceHeight";
inline constexpr std::string_view sourceWidth = "sourceWidth";
inline constexpr std::string_view suppressUnchanged = "suppressUnchanged";
inline constexpr std::string_view text = "text";
inline constexpr std::string_view textLength = "textLength";
inline constexpr std::string_view trusted = "trusted";
inline constexpr std::string_view type = "type";
inline constexpr std::string_view x = "x";
inline constexpr std::string_view y = "y";
}  // namespace field

// Request types, and the type of the permission status answer.
namespace type {
inline constexpr std::string_view probe = "probe";
inline constexpr std::string_view captureFrame = "capture_frame";
inline constexpr std::string_view permissionStatus = "permission_status";
inline constexpr std::string_view mouseMove = "mouse_move";
inline constexpr std::string_view mouseDown = "mouse_down";
inline constexpr std::string_view mouseUp = "mouse_up";
inline constexpr std::string_view mouseClick = "mouse_click";
inline constexpr std::string_view mouseDelta = "mouse_delta";
inline constexpr std::string_view scroll = "scroll";
inline constexpr std::string_view keyTap = "key_tap";
inline constexpr std::string_view textInput = "text_input";
}  // namespace type

// Values of request fields that change what a request does.
namespace value {
inline constexpr std::string_view normalized = "normalized";  // coordinateSpace
inline constexpr std::string_view rightButton = "right";      // button
inline constexpr std::string_view nearest = "nearest";        // scaleMode, request and answer
inline constexpr std::string_view bilinear = "bilinear";      // scaleMode of the answer
inline constexpr std::string_view jpegMimeType = "image/jpeg";
}  // namespace value

// The fixed failure reasons. Capture reasons may carry "_" and a platform error code.
namespace reason {
inline constexpr std::string_view missingInputCommand = "missing_input_command";
inline constexpr std::string_view invalidInputCommand = "invalid_input_command";
inline constexpr std::string_view accessibilityPermissionRequired =
    "accessibility_permission_required";
inline constexpr std::string_view unsupportedInputType = "unsupported_input_type";
inline constexpr std::string_view mouseEventCreateFailed = "mouse_event_create_failed";
inline constexpr std::string_view scrollEventCreateFailed = "scroll_event_create_failed";
inline constexpr std::string_view unsupportedKey = "unsupported_key";
inline constexpr std::string_view keyboardEventCreateFailed = "keyboard_event_create_failed";
inline constexpr std::string_view missingText = "missing_text";
inline constexpr std::string_view shareableContentFailed =
    "screencapturekit_shareable_content_failed";
inline constexpr std::string_view displayUnavailable = "screencapturekit_display_unavailable";
inline constexpr std::string_view captureFailed = "screencapturekit_capture_failed";
inline constexpr std::string_view captureTimeout = "screencapturekit_capture_timeout";
inline constexpr std::string_view captureResultMissing = "screencapturekit_capture_result_missing";
inline constexpr std::string_view jpegEncodeFailed = "screencapturekit_jpeg_encode_failed";
}  // namespace reason

// The whole line written instead of an answer that cannot be encoded (a non-finite number).
inline constexpr std::string_view jsonEncodeFailedLine =
    "{\"ok\":false,\"reason\":\"json_encode_failed\"}\n";

// The fixed labels of every capture record.
namespace label {
inline constexpr std::string_view captureBackend = "screencapturekit_screenshot_cursor_disabled_v1";
inline constexpr std::string_view dispatchBackend = "macos_input_helper_stream";
inline constexpr std::string_view nativeRuntime = "macos_screencapturekit_helper";
}  // namespace label

}  // namespace halvorine::wire
