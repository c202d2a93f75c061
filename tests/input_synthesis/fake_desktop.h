#pragma once

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop.h"

namespace halvorine::testing {

// A desktop that records every operation, in order, as one readable line, and that can be told to
// fail chosen actions.
class FakeDesktop final : public Desktop {
 public:
  std::optional<Point> pointer = Point{40, 50};
  uint32_t mainId = 1;
  std::map<uint32_t, Rect> displays{{1, Rect{0, 0, 1920, 1080}}};

  // Actions counted from 1, a click as two (its halves); those listed fail and post nothing.
  std::vector<int> failingActions;

  std::vector<std::string> log;
  // The characters of each posted typeCharacter call, in posting order.
  std::vector<std::string> postedCharacters;
  int finishCount = 0;

  std::optional<Point> pointerLocation() override {
    log.push_back("pointer");
    return pointer;
  }
  uint32_t mainDisplayId() override { return mainId; }
  Rect displayBounds(uint32_t id) override {
    auto it = displays.find(id);
    return it == displays.end() ? Rect::null() : it->second;
  }

  bool movePointer(Point to) override { return act("move to " + text(to)); }
  bool pressButton(MouseButton button, Point at, bool down) override {
    return act(half(button, down, at));
  }
  bool click(MouseButton button, Point at) override {
    const bool downMade = available();
    const bool upMade = available();
    if (!downMade || !upMade) return false;
    log.push_back("post " + half(button, true, at));
    log.push_back("post " + half(button, false, at));
    return true;
  }
  bool turnWheel(int32_t delta) override { return act("scroll " + std::to_string(delta)); }
  bool pressKey(uint16_t keyCode, uint64_t modifiers, bool down) override {
    std::string what = "key " + std::to_string(keyCode) + (down ? " down" : " up");
    if (modifiers != 0) {
      char hex[32];
      std::snprintf(hex, sizeof hex, " flags %llx", static_cast<unsigned long long>(modifiers));
      what += hex;
    }
    return act(what);
  }
  bool typeCharacter(std::string_view character, bool down) override {
    if (!act(down ? "text down" : "text up")) return false;
    postedCharacters.emplace_back(character);
    return true;
  }
  void pause(std::chrono::milliseconds duration) override {
    log.push_back("pause " + std::to_string(duration.count()));
  }
  void finishRequest() override {
    ++finishCount;
    log.push_back("finish");
  }

  // The log without pointer reads and pauses: what reached the desktop.
  std::vector<std::string> posts() const {
    std::vector<std::string> result;
    for (const std::string& line : log) {
      if (line.rfind("post ", 0) == 0) result.push_back(line);
    }
    return result;
  }
  int count(const std::string& prefix) const {
    int n = 0;
    for (const std::string& line : log) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }

 private:
  static std::string text(Point p) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%g,%g", p.x, p.y);
    return buffer;
  }
  static std::string half(MouseButton button, bool down, Point at) {
    return std::string(button == MouseButton::right ? "right" : "left") + (down ? " down" : " up") +
           " at " + text(at);
  }
  // Counts one action; false when it is to fail.
  bool available() {
    ++actions_;
    for (int n : failingActions) {
      if (n == actions_) return false;
    }
    return true;
  }
  bool act(const std::string& what) {
    if (!available()) return false;
    log.push_back("post " + what);
    return true;
  }
  int actions_ = 0;
};

}  // namespace halvorine::testing
