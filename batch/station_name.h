// The name a station goes by in the card queue when none is given.
#pragma once

#include <string>

namespace quillon::batch {

/// The host name and the first eight digits of this machine's id
/// ("bench2-3d1219c7"): machines cloned from one image share a host name,
/// and a twin must never settle the other's cards by reading its own
/// encoder. `machineIdFile` is read (`/etc/machine-id` in use, else the
/// D-Bus copy); without an id the host name alone is the name.
[[nodiscard]] std::string defaultStationName(
    const std::string& machineIdFile = "/etc/machine-id");

}  // namespace quillon::batch
