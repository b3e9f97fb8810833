#pragma once

// The counting half of quillfern-nettop: socket records in, per-process totals out.
// Nothing here touches the kernel, /proc or files, so tests can drive it with made-up input.

#include "ByteCounts.h"

#include <array>
#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qfnettop {

// Bytes received, and sent (acknowledged by the peer).
using Counters = ByteCounts;

// Who a socket's bytes are credited to: one process incarnation (pid plus its start time, so a
// reused pid is a different owner), or every process of a user we are not allowed to inspect.
struct OwnerKey {
    enum Kind : std::uint8_t { Process = 0, User = 1 };
    Kind kind = Process;
    std::uint32_t id = 0;    // pid or uid
    std::uint64_t start = 0; // process start time in clock ticks since boot; 0 for users
    auto operator<=>(const OwnerKey&) const = default;

    static OwnerKey process(std::uint32_t pid, std::uint64_t start) {
        return {Process, pid, start};
    }
    static OwnerKey user(std::uint32_t uid) { return {User, uid, 0}; }
};

// One TCP socket as the kernel's socket dump describes it.
struct SocketRecord {
    std::uint64_t cookie = 0; // unique for the socket's life (until reboot)
    std::uint64_t inode = 0;  // 0 once no file descriptor refers to it any more
    std::uint32_t uid = 0;
    bool hasCounters = false; // the dump carried byte counters for it
    bool loopback = false;    // both ends on loopback addresses: never leaves the machine
    Counters bytes;
};

// What the tool remembers between runs about one socket: who gets its bytes, its counters when
// last seen, and its counters when that owner took it over (the owner is credited the growth).
struct SocketState {
    OwnerKey owner;
    Counters last;
    Counters base;
    bool operator==(const SocketState&) const = default;
};

struct State {
    std::map<std::uint64_t, SocketState> sockets; // by cookie
    std::map<OwnerKey, Counters> closed;          // bytes of sockets an owner no longer has
    bool operator==(const State&) const = default;
};

// The outside world at one instant, as far as counting needs it.
struct Snapshot {
    std::vector<SocketRecord> sockets;
    // Socket inode -> the process holding a descriptor for it (one process per inode).
    std::unordered_map<std::uint64_t, OwnerKey> inodeOwner;
    // Process incarnations that are still running; owners not in here are forgotten.
    std::set<OwnerKey> liveProcesses;
};

struct CountResult {
    State next;
    std::map<OwnerKey, Counters> totals; // only owners with traffic, only live processes
};

// Adds this instant's sockets to what was remembered. Per owner, totals never go down while it
// lives: a closed socket's last counters move into the owner's closed total.
CountResult countTraffic(const State& previous, const Snapshot& now);

// Which of the sockets in a dump need an owner looked up: the ones that can carry traffic.
bool socketMatters(const SocketRecord& s, const State& previous);

// Loopback test on a raw address from the dump (4 bytes for IPv4, 16 for IPv6).
bool isLoopbackAddress(int family, const std::uint8_t* addr);
// A flow that stays on the loopback interface: both ends loopback, or both ends the same
// (specified) local address, which the kernel also routes through loopback.
bool isLocalFlow(int family, const std::uint8_t* src, const std::uint8_t* dst);

// Makes an untrusted process or user name safe for one field of a comma-separated line:
// commas and control characters become '_', invalid UTF-8 becomes U+FFFD.
std::string sanitizeName(std::string_view raw);

// The header line and one process line, each ending in a trailing comma and "\n".
std::string headerLine();
std::size_t headerFieldCount();
std::string processLine(std::string_view time, std::string_view safeName, std::uint64_t id,
                        const Counters& c);
// "HH:MM:SS.ffffff" of a local wall-clock time given as seconds and microseconds.
std::string formatClock(int hour, int minute, int second, long micros);

// "(system)" for root, "(user NAME)" or "(user UID)" otherwise; already sanitized.
std::string userOwnerName(std::uint32_t uid, const std::optional<std::string>& login);

// The tool's command line.
struct Options {
    long samples = 1;
    long intervalSeconds = 1;
};
std::optional<Options> parseOptions(const std::vector<std::string_view>& args);
std::string_view usageLine();

// The state file: a fixed header naming the user, boot and network namespace it belongs to,
// then fixed-size records and a checksum. Anything that does not match exactly is refused.
struct StateIdentity {
    std::uint32_t uid = 0;
    std::array<std::uint8_t, 16> bootId{};
    std::uint64_t netns = 0;
    bool operator==(const StateIdentity&) const = default;
};
std::string encodeState(const State& state, const StateIdentity& id);
std::optional<State> decodeState(std::string_view bytes, const StateIdentity& expected);

} // namespace qfnettop
