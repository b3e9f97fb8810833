#include "netd_client.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace qfnetd {

std::string serviceSocketPath() {
    const char* env = std::getenv("QUILLFERN_NETD_SOCKET");
    return env && *env ? std::string(env) : std::string(kDefaultSocket);
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
