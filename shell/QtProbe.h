// One status query from the window's event loop: connect, send the status
// query, read the 8-byte reply, close. The answer says what the device is
// (normal or download mode), that it refused, or why there was none, and
// the device's MAC address when it is on this machine's own link.
//
//   ProbeDeviceOnQt(context, "10.0.0.5", 2222, 2000, 2000, [](const ProbeAnswer& a) { ... });
#pragma once

#include "operations/FleetEngine.h"

#include <cstdint>
#include <functional>
#include <string>

class QObject;

namespace mervix {

// Asks host:port for its status; |done| hears the answer once, from the
// event loop, unless |context| is destroyed first (then nothing is told).
// |connectMs| bounds the connection, |replyMs| the reply.
void ProbeDeviceOnQt(QObject* context, const std::string& host, std::uint16_t port, int connectMs, int replyMs,
                     std::function<void(const ProbeAnswer&)> done);

}  // namespace mervix
