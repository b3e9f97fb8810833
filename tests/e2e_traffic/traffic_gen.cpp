// Moves a known number of bytes over one TCP connection, both ways at once, so the
// end-to-end tests can compare what the program recorded with what really crossed the wire.
//
//   qf-e2e-traffic server <address> <port>
//       Listens (port 0: any free port), prints "listening <port>", serves one connection.
//   qf-e2e-traffic client <address> <port> <up-bytes> <down-bytes> [process-name]
//       Connects and exchanges a short greeting, prints "ready", then waits for a line on
//       standard input. On that line it sends <up-bytes> and receives <down-bytes> at the same
//       time, prints "done <sent> <received>", and keeps the connection open until standard
//       input closes: the per-process tool can only see a process (and its sockets) while
//       they exist.
//
// Wire format: an 8-byte greeting each way; then the client's 16-byte request (up and down
// counts, big-endian), the two payloads in parallel, and an 8-byte acknowledgement from the
// server once it has read the whole upload, so "done" means every byte has arrived.

#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::array<char, 8> kGreeting = {'Q', 'F', 'E', '2', 'E', '0', '1', '\n'};
constexpr std::array<char, 8> kAck = {'Q', 'F', 'E', '2', 'E', 'A', 'C', 'K'};
constexpr std::size_t kChunk = 64 * 1024;
// A peer that stops talking must not leave a test waiting for ever.
constexpr int kIoTimeoutSeconds = 60;
constexpr unsigned kLifetimeSeconds = 300;

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "qf-e2e-traffic: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

void sayLine(const std::string& line) {
    std::string out = line + "\n";
    const char* p = out.data();
    std::size_t left = out.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            die("write stdout");
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

bool writeAll(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool readAll(int fd, void* data, std::size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = ::recv(fd, p, size, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Streams `count` bytes of a recognisable pattern; returns how many were handed to the kernel.
std::uint64_t sendPayload(int fd, std::uint64_t count) {
    std::vector<char> buf(kChunk);
    for (std::size_t i = 0; i < buf.size(); ++i) {
        buf[i] = static_cast<char>('a' + i % 26);
    }
    std::uint64_t sent = 0;
    while (sent < count) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, count - sent));
        if (!writeAll(fd, buf.data(), n)) {
            break;
        }
        sent += n;
    }
    return sent;
}

// Reads exactly `count` bytes (fewer only if the peer fails); returns how many arrived.
std::uint64_t receivePayload(int fd, std::uint64_t count) {
    std::vector<char> buf(kChunk);
    std::uint64_t got = 0;
    while (got < count) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, count - got));
        const ssize_t n = ::recv(fd, buf.data(), want, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::uint64_t>(n);
    }
    return got;
}

void putU64(unsigned char* out, std::uint64_t v) {
    for (int i = 7; i >= 0; --i) {
        out[i] = static_cast<unsigned char>(v & 0xff);
        v >>= 8;
    }
}

std::uint64_t getU64(const unsigned char* in) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) {
        v = (v << 8) | in[i];
    }
    return v;
}

void setTimeouts(int fd) {
    timeval tv{};
    tv.tv_sec = kIoTimeoutSeconds;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

sockaddr_in parseAddress(const char* address, const char* port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    if (::inet_pton(AF_INET, address, &sa.sin_addr) != 1) {
        std::fprintf(stderr, "qf-e2e-traffic: bad IPv4 address %s\n", address);
        std::exit(2);
    }
    char* end = nullptr;
    const unsigned long p = std::strtoul(port, &end, 10);
    if (end == port || *end != '\0' || p > 65535) {
        std::fprintf(stderr, "qf-e2e-traffic: bad port %s\n", port);
        std::exit(2);
    }
    sa.sin_port = htons(static_cast<std::uint16_t>(p));
    return sa;
}

std::uint64_t parseCount(const char* text) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || text[0] == '-') {
        std::fprintf(stderr, "qf-e2e-traffic: bad byte count %s\n", text);
        std::exit(2);
    }
    return v;
}

int runServer(const char* address, const char* port) {
    const sockaddr_in sa = parseAddress(address, port);
    const int ls = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (ls < 0) {
        die("socket");
    }
    const int one = 1;
    ::setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(ls, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        die("bind");
    }
    if (::listen(ls, 4) != 0) {
        die("listen");
    }
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    ::getsockname(ls, reinterpret_cast<sockaddr*>(&bound), &len);
    sayLine("listening " + std::to_string(ntohs(bound.sin_port)));

    const int fd = ::accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        die("accept");
    }
    ::close(ls);
    setTimeouts(fd);

    std::array<char, 8> hello{};
    if (!readAll(fd, hello.data(), hello.size()) || hello != kGreeting ||
        !writeAll(fd, kGreeting.data(), kGreeting.size())) {
        std::fprintf(stderr, "qf-e2e-traffic: greeting failed\n");
        return 1;
    }
    unsigned char request[16];
    if (!readAll(fd, request, sizeof request)) {
        // The client went away before asking for anything: nothing to serve.
        ::close(fd);
        return 0;
    }
    const std::uint64_t up = getU64(request);
    const std::uint64_t down = getU64(request + 8);

    std::atomic<std::uint64_t> sent{0};
    std::thread sender([&] { sent = sendPayload(fd, down); });
    const std::uint64_t received = receivePayload(fd, up);
    sender.join();
    if (received != up || sent != down || !writeAll(fd, kAck.data(), kAck.size())) {
        std::fprintf(stderr, "qf-e2e-traffic: server moved %llu/%llu up, %llu/%llu down\n",
                     static_cast<unsigned long long>(received), static_cast<unsigned long long>(up),
                     static_cast<unsigned long long>(sent.load()),
                     static_cast<unsigned long long>(down));
        return 1;
    }
    // Stay until the client hangs up, so the connection's end is the client's choice.
    char c;
    while (::recv(fd, &c, 1, 0) > 0) {
    }
    ::close(fd);
    return 0;
}

int runClient(const char* address, const char* port, std::uint64_t up, std::uint64_t down,
              const char* name) {
    if (name != nullptr) {
        // The per-process tool names applications after the process; give it a unique one.
        ::prctl(PR_SET_NAME, name, 0, 0, 0);
    }
    const sockaddr_in sa = parseAddress(address, port);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        die("socket");
    }
    setTimeouts(fd);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        die("connect");
    }
    std::array<char, 8> hello{};
    if (!writeAll(fd, kGreeting.data(), kGreeting.size()) ||
        !readAll(fd, hello.data(), hello.size()) || hello != kGreeting) {
        std::fprintf(stderr, "qf-e2e-traffic: greeting failed\n");
        return 1;
    }
    sayLine("ready");

    std::string line;
    char c;
    while (::read(STDIN_FILENO, &c, 1) == 1 && c != '\n') {
        line += c;
    }
    if (line != "go") {
        // Told to stop before any transfer.
        ::close(fd);
        return 0;
    }

    unsigned char request[16];
    putU64(request, up);
    putU64(request + 8, down);
    if (!writeAll(fd, request, sizeof request)) {
        die("send request");
    }
    std::atomic<std::uint64_t> received{0};
    std::thread receiver([&] { received = receivePayload(fd, down); });
    const std::uint64_t sent = sendPayload(fd, up);
    receiver.join();
    std::array<char, 8> ack{};
    if (sent != up || received != down || !readAll(fd, ack.data(), ack.size()) || ack != kAck) {
        std::fprintf(stderr, "qf-e2e-traffic: client moved %llu/%llu up, %llu/%llu down\n",
                     static_cast<unsigned long long>(sent), static_cast<unsigned long long>(up),
                     static_cast<unsigned long long>(received.load()),
                     static_cast<unsigned long long>(down));
        return 1;
    }
    sayLine("done " + std::to_string(sent) + " " + std::to_string(received.load()));

    // Keep the process and its connection alive until the test lets go.
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // A harness that dies without cleaning up must not leave us running for ever.
    ::alarm(kLifetimeSeconds);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "server" && argc == 4) {
        return runServer(argv[2], argv[3]);
    }
    if (mode == "client" && (argc == 6 || argc == 7)) {
        return runClient(argv[2], argv[3], parseCount(argv[4]), parseCount(argv[5]),
                         argc == 7 ? argv[6] : nullptr);
    }
    std::fprintf(stderr, "usage: qf-e2e-traffic server <address> <port>\n"
                         "       qf-e2e-traffic client <address> <port> <up> <down> [name]\n");
    return 2;
}
