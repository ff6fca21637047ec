// What IpcStats and SocketStats share: a name and a latency window, prepared before the
// object exists so that everything that can fail happens first.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "common/internal_error.h"
#include "stats/latency_ring.h"

namespace ipc_probe {

// The name and window every channel statistics object starts from.
struct ChannelParts {
    std::string name;
    LatencyRing ring;
};

struct Channel {
    static std::expected<ChannelParts, InternalError> prepare(std::string name,
                                                              std::uint64_t ring_capacity);
};

}  // namespace ipc_probe
