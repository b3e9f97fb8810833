#include "netd_client.h"

#include "app_naming_system.h"
#include "nettop_system.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <unordered_map>

namespace qfnetd {

std::string serviceSocketPath() {
    const char* env = std::getenv("QUILLFERN_NETD_SOCKET");
    return env && *env ? std::string(env) : std::string(kDefaultSocket);
}

std::string toolLines(const View& v, std::uint32_t viewer, std::string_view time) {
    std::unordered_map<std::uint32_t, std::optional<std::string>> logins;
    const auto login = [&](std::uint32_t uid) -> const std::optional<std::string>& {
        auto it = logins.find(uid);
        if (it == logins.end())
            it = logins.emplace(uid, qfnettop::loginName(uid)).first;
        return it->second;
    };
    std::string out = qfnettop::headerLine();
    for (const ProcessLine& p : v.processes) {
        const auto owner = p.uid == viewer ? std::nullopt : login(p.uid);
        out += qfnettop::processLine(time, qfnettop::processLineName(p.name, p.uid, viewer, owner),
                                     p.pid, p.bytes);
    }
    for (const UserLine& u : v.users)
        out += qfnettop::processLine(time, qfnettop::userOwnerName(u.uid, login(u.uid)), u.uid,
                                     u.bytes);
    return out;
}

std::optional<View> askService(const std::string& socketPath) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof addr.sun_path)
        return std::nullopt;
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::nullopt;
    // A service that stopped answering must not hold up the sample; the sock_diag path
    // takes over.
    timeval limit{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::string answer;
    static constexpr char kRequest[] = "TOTALS\n";
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) == sizeof kRequest - 1) {
        char buf[16384];
        constexpr std::size_t kCap = 16u << 20;
        while (answer.size() < kCap &&
               !(answer.size() >= 4 && answer.compare(answer.size() - 4, 4, "END\n") == 0)) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            answer.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return parseView(answer);
}

} // namespace qfnetd
