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
//       "rename <name>" gives the process a new name (its comm) and prints "renamed".
//       It exits when standard input closes.
//
// A connection carries a 16-byte request (up and down counts, big-endian), both payloads at
// once, and an 8-byte acknowledgement from the server after the whole upload.

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <netinet/in.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr char kAck[8] = {'Q', 'F', 'T', 'R', 'A', 'C', 'K', '\n'};

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "qf-traffic: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

void say(const std::string& line) {
    std::cout << line << std::endl;
}

bool sendAll(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads exactly `size` bytes into `data` (or discards them when data is null).
std::uint64_t receive(int fd, void* data, std::uint64_t size) {
    std::vector<char> sink(data ? 0 : kChunk);
    std::uint64_t got = 0;
    while (got < size) {
        char* into = data ? static_cast<char*>(data) + got : sink.data();
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - got));
        const ssize_t n = ::recv(fd, into, want, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::uint64_t>(n);
    }
    return got;
}

std::uint64_t sendPayload(int fd, std::uint64_t count) {
    std::vector<char> buf(kChunk);
    for (std::size_t i = 0; i < buf.size(); ++i)
        buf[i] = static_cast<char>('a' + i % 26);
    std::uint64_t sent = 0;
    while (sent < count) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, count - sent));
        if (!sendAll(fd, buf.data(), n))
            break;
        sent += n;
    }
    return sent;
}

void putU64(unsigned char* out, std::uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8)
        out[i] = static_cast<unsigned char>(v & 0xff);
}

std::uint64_t getU64(const unsigned char* in) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | in[i];
    return v;
}

struct Address {
    sockaddr_storage ss{};
    socklen_t len = 0;
    int family = AF_INET;
};

Address parseAddress(const std::string& text, std::uint16_t port) {
    Address a;
    if (text.find(':') != std::string::npos) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&a.ss);
        in6->sin6_family = a.family = AF_INET6;
        in6->sin6_port = htons(port);
        a.len = sizeof *in6;
        if (::inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr) != 1)
            die("bad address " + text);
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&a.ss);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        a.len = sizeof *in4;
        if (::inet_pton(AF_INET, text.c_str(), &in4->sin_addr) != 1)
            die("bad address " + text);
    }
    return a;
}

// The arguments come from TestSupport, never from a person.
std::uint64_t parseCount(const char* text) {
    return std::strtoull(text, nullptr, 10);
}

void serveConnection(int fd) {
    // Requests follow one another until the client closes the connection.
    unsigned char request[16];
    while (receive(fd, request, sizeof request) == sizeof request) {
        const std::uint64_t up = getU64(request), down = getU64(request + 8);
        std::uint64_t sent = 0;
        std::thread sender([&] { sent = sendPayload(fd, down); });
        const std::uint64_t received = receive(fd, nullptr, up);
        sender.join();
        if (received != up || sent != down || !sendAll(fd, kAck, sizeof kAck)) {
            std::cerr << "qf-traffic: served " << received << " of " << up << " in, " << sent
                      << " of " << down << " out\n";
            break;
        }
    }
    // The client decides when the connection ends.
    char c;
    while (::recv(fd, &c, 1, 0) > 0) {
    }
    ::close(fd);
}

int serve(const std::string& address) {
    const Address a = parseAddress(address, 0);
    const int ls = ::socket(a.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (ls < 0 || ::bind(ls, reinterpret_cast<const sockaddr*>(&a.ss), a.len) != 0 ||
        ::listen(ls, 1024) != 0)
        die("listen on " + address);
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(ls, reinterpret_cast<sockaddr*>(&bound), &len);
    const auto port = bound.ss_family == AF_INET6
                          ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                          : reinterpret_cast<sockaddr_in*>(&bound)->sin_port;
    say("listening " + std::to_string(ntohs(port)));
    for (;;) {
        const int fd = ::accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            std::thread(serveConnection, fd).detach();
        else if (errno != EINTR && errno != ECONNABORTED)
            die("accept");
    }
}

// Moves up/down on one connection; false unless every byte went and the ack came back.
bool transfer(int fd, std::uint64_t up, std::uint64_t down, std::uint64_t& sent,
              std::uint64_t& received) {
    unsigned char request[16];
    putU64(request, up);
    putU64(request + 8, down);
    if (!sendAll(fd, request, sizeof request))
        return false;
    std::uint64_t in = 0;
    std::thread receiver([&] { in = receive(fd, nullptr, down); });
    const std::uint64_t out = sendPayload(fd, up);
    receiver.join();
    char ack[sizeof kAck];
    sent += out;
    received += in;
    return out == up && in == down && receive(fd, ack, sizeof ack) == sizeof ack &&
           std::memcmp(ack, kAck, sizeof ack) == 0;
}

int client(int argc, char** argv) {
    ::prctl(PR_SET_NAME, argv[2], 0, 0, 0);
    const std::uint64_t up = parseCount(argv[3]), down = parseCount(argv[4]);
    std::vector<int> fds;
    for (int i = 5; i + 1 < argc; i += 2) {
        const Address a =
            parseAddress(argv[i], static_cast<std::uint16_t>(parseCount(argv[i + 1])));
        const int fd = ::socket(a.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&a.ss), a.len) != 0)
            die(std::string("connect to ") + argv[i]);
        fds.push_back(fd);
    }
    say("connected");
    for (std::string line; std::getline(std::cin, line);) {
        if (line == "go") {
            std::uint64_t sent = 0, received = 0;
            bool ok = true;
            for (const int fd : fds)
                ok = transfer(fd, up, down, sent, received) && ok;
            if (!ok)
                die("transfer");
            say("done " + std::to_string(sent) + " " + std::to_string(received));
        } else if (line.rfind("rename ", 0) == 0) {
            ::prctl(PR_SET_NAME, line.c_str() + 7, 0, 0, 0);
            say("renamed");
        } else if (line == "close") {
            // Our FIN, then the server's: once recv sees the end, both are through.
            for (const int fd : fds) {
                ::shutdown(fd, SHUT_WR);
                char c;
                while (::recv(fd, &c, 1, 0) > 0) {
                }
                ::close(fd);
            }
            fds.clear();
            say("closed");
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
