#pragma once

#include "netd_core.h"

#include <optional>
#include <string>

namespace qfnetd {

// Asks the counting service at `socketPath` for this user's view; nullopt when no service
// answers there, or its answer is incomplete or malformed.
std::optional<View> askService(const std::string& socketPath);

// QUILLFERN_NETD_SOCKET when set, else the default socket.
std::string serviceSocketPath();

} // namespace qfnetd
