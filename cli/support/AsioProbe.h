// One status query to a device on an io_context, for a roll-out's plan and
// for the wait after a write: connect, the status query, one 8-byte reply,
// close. Nothing else is ever sent. A device that answers on this machine's
// own link is named by its MAC address too.
#pragma once

#include "operations/FleetEngine.h"

#include <asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <string>

namespace mervix::cli {

// |connectMs| bounds the connection, |replyMs| the reply (0: no bound);
// |done| is told the answer from the event loop, once.
void ProbeDeviceAsync(asio::io_context& io, const std::string& host, std::uint16_t port, int connectMs, int replyMs,
                      std::function<void(const ProbeAnswer&)> done);

}  // namespace mervix::cli
