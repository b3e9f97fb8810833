// The tests' traffic generator (driven through qftest::TrafficServer and TrafficClient).
//
//   qf-traffic serve <address>
//       Listens on a free port, prints "listening <port>", serves every connection.
//   qf-traffic client <name> <up> <down> <address> <port> [<address> <port> ...]
//       Takes <name> as its process name, connects to each target and prints "connected".
//       Then reads commands on standard input: "go" moves <up> bytes out and <down> bytes in
//       on every connection and prints "done" once the servers have it all;
//       "close" shuts every connection down, waits for the servers' end and prints "closed".
//       It exits when standard input closes.
//
// A connection carries a 16-byte request (up and down counts, big-endian), both payloads at
// once, and an 8-byte acknowledgement from the server after the whole upload.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <endian.h>
#include <iostream>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using u64 = std::uint64_t;
constexpr u64 kAckBytes = 8;

[[noreturn]] void die(const char* what) {
    std::perror(what);
    std::exit(2);
}

// Sends `size` bytes of filler, or receives them into `data` (discarded when it is null);
// false once the peer is gone. No signal handlers here, so no EINTR.
bool pump(bool out, int fd, u64 size, char* data = nullptr) {
    static thread_local char scratch[64 * 1024];
    for (u64 done = 0, n = 0; done < size; done += n) {
        const auto want = std::min<u64>(sizeof scratch, size - done);
        char* at = data ? data + done : scratch;
        const ssize_t r = out ? ::send(fd, at, want, MSG_NOSIGNAL) : ::recv(fd, at, want, 0);
        if (r <= 0)
            return false;
        n = static_cast<u64>(r);
    }
    return true;
}

// Both directions at once: one after the other, two large payloads would fill both socket
// buffers and stall.
bool exchange(int fd, u64 out, u64 in) {
    bool received = false;
    std::thread receiver([&] { received = pump(false, fd, in); });
    const bool sent = pump(true, fd, out);
    receiver.join();
    return sent && received;
}

// Reads until the peer has closed its side, then closes ours.
void drainAndClose(int fd) {
    for (char c; ::recv(fd, &c, 1, 0) > 0;) {
    }
    ::close(fd);
}

// A stream socket for a numeric address and port: bound and listening, or connected.
int openSocket(const char* address, const char* port, bool listen) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* ai = nullptr;
    if (::getaddrinfo(address, port, &hints, &ai) != 0)
        die(address);
    const int fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || (listen ? ::bind(fd, ai->ai_addr, ai->ai_addrlen) || ::listen(fd, 1024)
                          : ::connect(fd, ai->ai_addr, ai->ai_addrlen)) != 0)
        die(address);
    ::freeaddrinfo(ai);
    return fd;
}

[[noreturn]] void serve(const char* address) {
    const int ls = openSocket(address, "0", true);
    sockaddr_in6 bound{}; // large enough for either family, whose ports sit at the same offset
    socklen_t len = sizeof bound;
    ::getsockname(ls, reinterpret_cast<sockaddr*>(&bound), &len);
    std::cout << "listening " << ntohs(bound.sin6_port) << std::endl;
    for (;;) {
        const int fd = ::accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        // Requests follow one another until the client closes the connection.
        std::thread([fd] {
            u64 req[2];
            while (pump(false, fd, sizeof req, reinterpret_cast<char*>(req)) &&
                   exchange(fd, be64toh(req[1]), be64toh(req[0])) && pump(true, fd, kAckBytes)) {
            }
            drainAndClose(fd);
        }).detach();
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve" && argc == 3)
        serve(argv[2]);
    if (mode != "client" || argc < 7 || argc % 2 == 0)
        return 2; // the arguments come from the test support, never from a person
    ::prctl(PR_SET_NAME, argv[2], 0, 0, 0);
    const u64 up = std::strtoull(argv[3], nullptr, 10), down = std::strtoull(argv[4], nullptr, 10);
    std::vector<int> fds;
    for (int i = 5; i + 1 < argc; i += 2)
        fds.push_back(openSocket(argv[i], argv[i + 1], false));
    std::cout << "connected" << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
        if (line == "go") {
            u64 req[2] = {htobe64(up), htobe64(down)};
            for (const int fd : fds)
                if (!pump(true, fd, sizeof req, reinterpret_cast<char*>(req)) ||
                    !exchange(fd, up, down) || !pump(false, fd, kAckBytes))
                    die("transfer");
            std::cout << "done" << std::endl;
        } else if (line == "close") {
            // Our FIN, then the server's: once recv sees the end, both are through.
            for (const int fd : std::exchange(fds, {})) {
                ::shutdown(fd, SHUT_WR);
                drainAndClose(fd);
            }
            std::cout << "closed" << std::endl;
        }
    }
}
