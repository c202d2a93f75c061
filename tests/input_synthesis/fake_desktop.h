#pragma once

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop_services.h"

namespace halvorine::testing {

// A desktop that records every operation, in order, as one readable line, and that can be told to
// fail. Events count themselves so that tests can tell that none outlives its request.
class FakeDesktop final : public DesktopServices {
 public:
  struct Event final : DesktopEvent {
    Event(FakeDesktop& owner, std::string what) : owner(owner), what(std::move(what)) {
      ++owner.liveEvents;
    }
    ~Event() override { --owner.liveEvents; }
    FakeDesktop& owner;
    std::string what;
    uint64_t flags = 0;
    std::optional<std::u16string> units;
  };
  struct Source final : EventSource {};

  std::optional<Point> pointer = Point{40, 50};
  uint32_t mainId = 1;
  std::map<uint32_t, Rect> displays{{1, Rect{0, 0, 1920, 1080}}};

  // Creation calls (of any kind of event) counted from 1; those listed here give nullptr.
  std::vector<int> failingCreations;
  bool sourceFails = false;

  std::vector<std::string> log;
  // The UTF-16 units of each posted event that carried a Unicode string, in posting order.
  std::vector<std::u16string> postedUnits;
  int liveEvents = 0;
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

  std::unique_ptr<EventSource> createKeyboardEventSource() override {
    if (sourceFails) return nullptr;
    return std::make_unique<Source>();
  }
  std::unique_ptr<DesktopEvent> createMouseEvent(MouseEventType type, Point p,
                                                 MouseButton button) override {
    char text[96];
    std::snprintf(text, sizeof text, "mouse %d at %g,%g button %d", static_cast<int>(type), p.x,
                  p.y, static_cast<int>(button));
    return make(text);
  }
  std::unique_ptr<DesktopEvent> createScrollWheelEvent(int32_t delta) override {
    return make("scroll " + std::to_string(delta));
  }
  std::unique_ptr<DesktopEvent> createKeyboardEvent(EventSource* source, uint16_t keyCode,
                                                    bool keyDown) override {
    std::string what = "key " + std::to_string(keyCode) + (keyDown ? " down" : " up");
    if (source == nullptr) what += " without source";
    return make(what);
  }
  void setUnicodeString(DesktopEvent& event, std::u16string_view units) override {
    static_cast<Event&>(event).units = std::u16string(units);
  }
  void setFlags(DesktopEvent& event, uint64_t flags) override {
    static_cast<Event&>(event).flags = flags;
  }
  void post(DesktopEvent& event) override {
    auto& e = static_cast<Event&>(event);
    std::string line = "post " + e.what;
    if (e.flags != 0) {
      char hex[32];
      std::snprintf(hex, sizeof hex, " flags %llx", static_cast<unsigned long long>(e.flags));
      line += hex;
    }
    if (e.units) {
      line += " text";
      postedUnits.push_back(*e.units);
    }
    log.push_back(line);
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
  std::unique_ptr<DesktopEvent> make(std::string what) {
    ++creations_;
    for (int n : failingCreations) {
      if (n == creations_) return nullptr;
    }
    return std::make_unique<Event>(*this, std::move(what));
  }
  int creations_ = 0;
};

}  // namespace halvorine::testing
