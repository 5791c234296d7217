// Texts the service core writes, shared by its implementation files.
#pragma once

#include "platform/uProcess.h"

#include <cstdint>
#include <string>

namespace logserver {

// One line on standard error, where systemd's journal collects it.
inline void ReportProblem(const std::string& text) {
  WriteStandardError("LogServer: " + text + "\n");
}

// "[address:port]" as the service-log lines name a peer.
inline std::string PeerText(const std::string& address, std::uint16_t port) {
  return "[" + address + ":" + std::to_string(port) + "]";
}

}  // namespace logserver
