#pragma once

#include "netd_core.h"

#include <optional>
#include <string>
#include <string_view>

namespace qfnetd {

// Asks the counting service at `socketPath` for this user's view; nullopt when no service
// answers there, or its answer is incomplete or malformed.
std::optional<View> askService(const std::string& socketPath);

// The lines quillfern-nettop prints for a view shown to `viewer`, so the recorder reads the
// service's figures the same whether the tool or the recorder itself asked.
std::string toolLines(const View& v, std::uint32_t viewer, std::string_view time);

// QUILLFERN_NETD_SOCKET when set, else the default socket.
std::string serviceSocketPath();

} // namespace qfnetd
