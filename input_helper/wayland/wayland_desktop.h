#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/accessibility.h"
#include "platform/desktop.h"
#include "wayland/wayland_connection.h"

namespace halvorine::wayland {

// The Wayland implementations of the input seams, over one connection that both share.
std::unique_ptr<Accessibility> makeWaylandAccessibility(Connection& connection);
std::unique_ptr<Desktop> makeWaylandDesktop(Connection& connection);

// The physical key (evdev code) that a code of the helper's key table names on a US keyboard;
// nullopt for a code the table does not have.
std::optional<uint32_t> evdevKeyForVirtualKey(uint16_t code);

}  // namespace halvorine::wayland
