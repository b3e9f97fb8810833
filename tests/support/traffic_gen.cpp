// The tests' traffic generator (driven through qftest::TrafficServer and TrafficClient).
//
//   qf-traffic serve <address>
//       Listens on a free port, prints "listening <port>", serves every connection.
//   qf-traffic client <name> <up> <down> <address> <port> [<address> <port> ...]
//       Takes <name> as its process name, connects to each target and prints "connected".
//       Then reads commands on standard input: "go" moves <up> bytes out and <down> bytes in
//       on every connection (again on each "go") and prints "done <sent> <received>" once the
//       servers have it all;
//       "close" shuts every connection down, waits for the servers' end and prints "closed".
//       It exits when standard input closes.
//
// A connection carries a 16-byte request (up and down counts, big-endian), both payloads at
// once, and an 8-byte acknowledgement from the server after the whole upload.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <endian.h>
#include <iostream>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::uint64_t kAckBytes = 8;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "qf-traffic: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

// Sends `size` bytes of `data` (filler when it is null) or receives them into it (discarded
// when it is null); true when all of them went.
bool pump(bool out, int fd, char* data, std::uint64_t size) {
    static thread_local char scratch[64 * 1024];
    for (std::uint64_t done = 0; done < size;) {
        const auto want = std::min<std::uint64_t>(sizeof scratch, size - done);
        char* at = data ? data + done : scratch;
        // No signal handlers here, so no EINTR: anything short of a byte is the end.
        const ssize_t n = out ? ::send(fd, at, want, MSG_NOSIGNAL) : ::recv(fd, at, want, 0);
        if (n <= 0)
            return false;
        done += static_cast<std::uint64_t>(n);
    }
    return true;
}

// Sends `out` bytes while receiving `in`, both at once.
bool exchange(int fd, std::uint64_t out, std::uint64_t in) {
    bool received = false;
    std::thread receiver([&] { received = pump(false, fd, nullptr, in); });
    const bool sent = pump(true, fd, nullptr, out);
    receiver.join();
    return sent && received;
}

// Reads until the peer has closed its side, then closes ours.
void drainAndClose(int fd) {
    char c;
    while (::recv(fd, &c, 1, 0) > 0) {
    }
    ::close(fd);
}

// A stream socket for a numeric address and port: bound and listening, or connected.
int openSocket(const std::string& address, const std::string& port, bool listen) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* ai = nullptr;
    if (::getaddrinfo(address.c_str(), port.c_str(), &hints, &ai) != 0)
        die("bad address " + address + " port " + port);
    const int fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok =
        fd >= 0 && (listen ? ::bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && ::listen(fd, 1024) == 0
                           : ::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0);
    ::freeaddrinfo(ai);
    if (!ok)
        die((listen ? "listen on " : "connect to ") + address);
    return fd;
}

// Requests follow one another until the client closes the connection, which it decides.
void serveConnection(int fd) {
    std::uint64_t request[2];
    while (pump(false, fd, reinterpret_cast<char*>(request), sizeof request) &&
           exchange(fd, be64toh(request[1]), be64toh(request[0])) &&
           pump(true, fd, nullptr, kAckBytes)) {
    }
    drainAndClose(fd);
}

int serve(const std::string& address) {
    const int ls = openSocket(address, "0", true);
    // Large enough for either family, whose ports sit at the same offset.
    sockaddr_in6 bound{};
    socklen_t len = sizeof bound;
    if (::getsockname(ls, reinterpret_cast<sockaddr*>(&bound), &len) != 0)
        die("getsockname");
    std::cout << "listening " << ntohs(bound.sin6_port) << std::endl;
    for (;;) {
        const int fd = ::accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            std::thread(serveConnection, fd).detach();
        else if (errno != EINTR && errno != ECONNABORTED)
            die("accept");
    }
}

int client(int argc, char** argv) {
    ::prctl(PR_SET_NAME, argv[2], 0, 0, 0);
    // The arguments come from the test support, never from a person.
    const std::uint64_t up = std::strtoull(argv[3], nullptr, 10);
    const std::uint64_t down = std::strtoull(argv[4], nullptr, 10);
    std::vector<int> fds;
    for (int i = 5; i + 1 < argc; i += 2)
        fds.push_back(openSocket(argv[i], argv[i + 1], false));
    std::cout << "connected" << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
        if (line == "go") {
            std::uint64_t request[2] = {htobe64(up), htobe64(down)};
            for (const int fd : fds)
                if (!pump(true, fd, reinterpret_cast<char*>(request), sizeof request) ||
                    !exchange(fd, up, down) || !pump(false, fd, nullptr, kAckBytes))
                    die("transfer");
            std::cout << "done " << up * fds.size() << " " << down * fds.size() << std::endl;
        } else if (line == "close") {
            // Our FIN, then the server's: once recv sees the end, both are through.
            for (const int fd : fds) {
                ::shutdown(fd, SHUT_WR);
                drainAndClose(fd);
            }
            fds.clear();
            std::cout << "closed" << std::endl;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve" && argc == 3)
        return serve(argv[2]);
    if (mode == "client" && argc >= 7 && argc % 2 == 1)
        return client(argc, argv);
    std::fprintf(stderr, "usage: qf-traffic serve <address>\n"
                         "       qf-traffic client <name> <up> <down> <address> <port>...\n");
    return 2;
}
