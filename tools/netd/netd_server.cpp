#include "netd_server.h"

#include "netd_clients.h"
#include "netd_service.h"
#include "netd_system.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <vector>

namespace qfnetd {

namespace {

constexpr std::uint64_t kPassIntervalNs = 1000000000u;
// Connections taken per turn, so a flood of them cannot hold up the clients already in.
constexpr int kAcceptsPerTurn = 64;

struct Client {
    UniqueFd fd;
    Session session;
};

// Hands over what the kernel takes now; false when the client is gone.
bool writeSome(Client& c) {
    while (!c.session.pending().empty()) {
        const std::string_view out = c.session.pending();
        const ssize_t n = ::send(c.fd.get(), out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK;
        c.session.sent(static_cast<std::size_t>(n));
    }
    return true;
}

// Reads no more than the session has room for; false when the client is gone.
bool readSome(Client& c, std::uint64_t nowNs) {
    char buf[kMaxRequestLine + 1];
    const std::size_t room = std::min(sizeof buf, c.session.readRoom());
    if (room == 0)
        return true;
    ssize_t n;
    while ((n = ::recv(c.fd.get(), buf, room, MSG_DONTWAIT)) < 0 && errno == EINTR) {
    }
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK;
    if (n == 0)
        c.session.peerClosed();
    else
        c.session.received({buf, static_cast<std::size_t>(n)}, nowNs);
    return true;
}

void acceptSome(int listenFd, std::vector<Client>& clients, Admission& admission) {
    for (int i = 0; i < kAcceptsPerTurn; ++i) {
        UniqueFd fd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd)
            return;
        ucred cred{};
        socklen_t len = sizeof cred;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
            !admission.admit(cred.uid))
            continue; // closed: no slot for it
        clients.push_back({std::move(fd), Session(cred.uid, bootTimeNs())});
    }
}

} // namespace

bool serve(Service& service, int listenFd, int stopFd) {
    Admission admission;
    std::vector<Client> clients;
    std::vector<pollfd> fds;
    std::uint64_t nextPass = bootTimeNs() + kPassIntervalNs;
    for (;;) {
        std::uint64_t now = bootTimeNs();
        std::uint64_t wake = nextPass;
        fds = {{listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        for (const Client& c : clients) {
            const bool writing = !c.session.pending().empty();
            const bool reading = c.session.readRoom() > 0;
            // A request already read waits for no event: its turn is this one.
            wake = std::min(wake, writing || reading ? c.session.deadlineNs() : now);
            fds.push_back({c.fd.get(), short(writing ? POLLOUT : reading ? POLLIN : 0), 0});
        }
        const int timeoutMs =
            wake <= now ? 0
                        : int(std::min<std::uint64_t>(wake - now, kPassIntervalNs) / 1000000u) + 1;
        if (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) {
            say(std::string("poll failed: ") + std::strerror(errno));
            return false;
        }
        if (fds[1].revents & POLLIN)
            return true;
        now = bootTimeNs();
        if (now >= nextPass) {
            service.pass();
            now = bootTimeNs();
            nextPass = now + kPassIntervalNs;
        }
        // One turn: each client is written to, read from, and answered at most once.
        for (std::size_t i = 0; i < clients.size(); ++i) {
            Client& c = clients[i];
            bool alive = !(fds[2 + i].revents & POLLOUT) || writeSome(c);
            if (alive && (fds[2 + i].revents & (POLLIN | POLLHUP | POLLERR)))
                alive = readSome(c, now);
            if (const auto line = alive ? c.session.takeRequest() : std::nullopt) {
                c.session.setAnswer(service.answer(c.session.uid(), *line), now);
                alive = writeSome(c);
            }
            if (!alive || c.session.finished(bootTimeNs())) {
                admission.release(c.session.uid());
                c.fd = UniqueFd(); // marks it for removal below
            }
        }
        // A client let go takes its buffers with it now, not at some later turn.
        clients.erase(
            std::remove_if(clients.begin(), clients.end(), [](const Client& c) { return !c.fd; }),
            clients.end());
        if (fds[0].revents & POLLIN)
            acceptSome(listenFd, clients, admission);
    }
}

} // namespace qfnetd
