#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/accessibility.h"
#include "platform/desktop.h"
#include "wayland/wayland_connection.h"
#include "wayland/wayland_pointer.h"

namespace halvorine::wayland {

// The Wayland implementations of the input seams, over one connection that both share.
std::unique_ptr<Accessibility> makeWaylandAccessibility(Connection& connection);
// The desktop records where it puts the pointer in `position` when one is given.
std::unique_ptr<Desktop> makeWaylandDesktop(Connection& connection,
                                            std::shared_ptr<PointerPosition> position = nullptr);

// The physical key (evdev code) that a code of the helper's key table names on a US keyboard;
// nullopt for a code the table does not have.
std::optional<uint32_t> evdevKeyForVirtualKey(uint16_t code);

}  // namespace halvorine::wayland
