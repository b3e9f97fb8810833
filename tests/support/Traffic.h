#pragma once

// Byte-exact TCP between two processes of the traffic generator (traffic_gen.cpp). Each
// connection carries a request of kRequestBytes from the client (how much each way), the two
// payloads at the same time, and kAckBytes from the server once it has read the whole upload:
// when the client reports "done", every byte has arrived. Counted at the client's end, a
// transfer of (up, down) is up + kRequestBytes out and down + kAckBytes in.

#include "Process.h"

#include <cstdint>

namespace qftest {

inline constexpr std::uint64_t kRequestBytes = 16;
inline constexpr std::uint64_t kAckBytes = 8;

// Serves any number of connections at an address (IPv4 or IPv6), in a namespace.
class TrafficServer {
public:
    TrafficServer(const std::string& netns, const std::string& address,
                  const fs::path& logFile = {});
    bool ready() const { return m_port != 0; }
    std::uint16_t port() const { return m_port; }
    std::string why() const { return "the traffic server did not start: " + tail(m_log); }

private:
    fs::path m_log;
    std::unique_ptr<Child> m_child;
    std::uint16_t m_port = 0;
};

// A client process named `name` (its comm) holding one connection to each target. go()
// moves up/down bytes on every connection and returns once the server has them all;
// closeConnections() closes the sockets but keeps the process; the destructor ends it.
class TrafficClient {
public:
    struct Target {
        std::string address;
        std::uint16_t port;
    };
    TrafficClient(const std::string& netns, const std::string& name,
                  const std::vector<Target>& targets, std::uint64_t up, std::uint64_t down,
                  const fs::path& logFile = {});
    // Whether every connection is established.
    bool connected() const { return m_connected; }
    pid_t pid() const { return m_child->pid(); }
    bool running() { return m_child->running(); }
    // Payload bytes sent and received over all connections once the servers have them all,
    // or nothing on failure.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> go(milliseconds deadline = 120s) {
        if (!m_child->writeStdin("go\n") || m_child->readLine(deadline) != "done")
            return std::nullopt;
        return m_moved;
    }
    bool closeConnections() {
        return m_child->writeStdin("close\n") && m_child->readLine() == "closed";
    }
    // Ends the client and returns its exit code.
    int finish() {
        m_child->closeStdin();
        return exitCode(m_child->waitExit().value_or(-1));
    }

private:
    std::unique_ptr<Child> m_child;
    bool m_connected = false;
    std::pair<std::uint64_t, std::uint64_t> m_moved;
};

} // namespace qftest
