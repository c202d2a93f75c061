#include "x11/x11_damage.h"

#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/xfixes.h>

#include <algorithm>

namespace halvorine::x11 {

DamageTracker::DamageTracker(XConnection& connection) : x_(connection) {}

void DamageTracker::forget() {
  log_.clear();
  knownFrom_ = latest_ + 1;
}

void DamageTracker::handleEvent(const xcb_generic_event_t& event) {
  const uint8_t type = event.response_type & 0x7f;
  if (randrWatchedOn_ != x_.generation() || randrFirstEvent_ == 0) return;
  if (type == randrFirstEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
      type == randrFirstEvent_ + XCB_RANDR_NOTIFY) {
    forget();
  }
}

bool DamageTracker::setUp(xcb_connection_t* c) {
  const xcb_query_extension_reply_t* damage = x_.extension(xcb_damage_id);
  const xcb_query_extension_reply_t* fixes =
      damage != nullptr ? x_.extension(xcb_xfixes_id) : nullptr;
  const xcb_query_extension_reply_t* randr =
      fixes != nullptr ? x_.extension(xcb_randr_id) : nullptr;
  if (randr == nullptr || damage->present == 0 || fixes->present == 0) return false;
  // The versions are asked together (one round trip); both extensions want theirs asked before
  // any other request.
  const auto fixesVersion = xcb_xfixes_query_version(c, 5, 0);
  const auto damageVersion = xcb_damage_query_version(c, 1, 1);
  std::optional<xcb_randr_query_version_cookie_t> randrVersion;
  if (randr->present != 0) randrVersion = xcb_randr_query_version(c, 1, 5);
  auto f = x_.reply<xcb_xfixes_query_version_reply_t>(fixesVersion);
  auto d = x_.reply<xcb_damage_query_version_reply_t>(damageVersion);
  if (randrVersion) x_.reply<xcb_randr_query_version_reply_t>(*randrVersion);
  if (!f || !d || f->major_version < 2 || !x_.connected()) return false;
  const xcb_window_t root = x_.screen()->root;
  if (randr->present != 0) {
    // Selected before the first monitor listing that this connection trusts.
    xcb_randr_select_input(c, root,
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_RESOURCE_CHANGE);
    randrFirstEvent_ = randr->first_event;
    randrWatchedOn_ = x_.generation();
  }
  region_ = xcb_generate_id(c);
  xcb_xfixes_create_region(c, region_, 0, nullptr);
  damage_ = xcb_generate_id(c);
  // NonEmpty: one event when the region stops being empty, which is all the server needs to
  // tell; the region itself is fetched with each mark.
  xcb_damage_create(c, damage_, root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
  return true;
}

std::optional<DamageMark> DamageTracker::mark(
    const std::function<void(xcb_connection_t*)>& alongside) {
  xcb_connection_t* c = x_.get();
  if (c == nullptr) return std::nullopt;
  const uint64_t generation = x_.generation();
  if (unusableOn_ == generation) return std::nullopt;
  if (setUpOn_ != generation) {
    // A new connection: whatever happened while there was none is unknown.
    forget();
    if (!setUp(c)) {
      if (x_.connected()) unusableOn_ = generation;
      return std::nullopt;
    }
    setUpOn_ = generation;
  }
  // Moves the damage so far into the region and empties the damage, then reads the region: the
  // server does both before anything else of this client, so nothing falls between two marks.
  const auto subtract = xcb_damage_subtract_checked(c, damage_, XCB_NONE, region_);
  const auto fetch = xcb_xfixes_fetch_region(c, region_);
  if (alongside && randrWatchedOn_ == generation) alongside(c);
  XcbPtr<xcb_generic_error_t> error;
  auto reply = x_.reply<xcb_xfixes_fetch_region_reply_t>(fetch, &error);
  if (!reply) {
    if (x_.connected()) unusableOn_ = generation;
    forget();
    return std::nullopt;
  }
  // Its reply (or error) came before the fetch's, so this does not wait.
  if (xcb_generic_error_t* refused = xcb_request_check(c, subtract)) {
    std::free(refused);
    unusableOn_ = generation;
    forget();
    return std::nullopt;
  }
  // Every event the server sent before the reply is here now: a RandR change forgets the log.
  x_.handleEvents();
  const DamageMark now = ++latest_;
  const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(reply.get());
  const int count = xcb_xfixes_fetch_region_rectangles_length(reply.get());
  if (count > 0) {
    Entry entry{.mark = now, .rects = {}};
    if (static_cast<size_t>(count) > rectanglesPerMark) {
      const xcb_rectangle_t& e = reply->extents;
      entry.rects.push_back({e.x, e.y, e.width, e.height});
    } else {
      entry.rects.reserve(static_cast<size_t>(count));
      for (int i = 0; i < count; ++i) {
        entry.rects.push_back({rects[i].x, rects[i].y, rects[i].width, rects[i].height});
      }
    }
    log_.push_back(std::move(entry));
    if (log_.size() > logLength) {
      // The changes of the oldest mark are gone: only marks from it on can still be answered.
      knownFrom_ = std::max(knownFrom_, log_.front().mark);
      log_.pop_front();
    }
  }
  return now;
}

std::optional<std::vector<PixelRect>> DamageTracker::changedSince(DamageMark since,
                                                                  const RootRect& area) const {
  if (since < knownFrom_ || since > latest_) return std::nullopt;
  std::vector<PixelRect> changed;
  const int64_t right = int64_t{area.x} + area.width, bottom = int64_t{area.y} + area.height;
  for (const Entry& entry : log_) {
    if (entry.mark <= since) continue;
    for (const RootRect& r : entry.rects) {
      const int64_t x0 = std::max<int64_t>(r.x, area.x), y0 = std::max<int64_t>(r.y, area.y);
      const int64_t x1 = std::min<int64_t>(int64_t{r.x} + r.width, right);
      const int64_t y1 = std::min<int64_t>(int64_t{r.y} + r.height, bottom);
      if (x1 > x0 && y1 > y0) changed.push_back({x0 - area.x, y0 - area.y, x1 - x0, y1 - y0});
    }
  }
  return changed;
}

}  // namespace halvorine::x11
