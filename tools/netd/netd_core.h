#pragma once

// The counting service's logic without the kernel: which process a socket's bytes belong to,
// when a closed socket's bytes are folded into its process, what each client may see, and the
// line protocol. The service and quillfern-nettop share it; tests drive it with made-up input.

#include "nettop_core.h"

#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qfnetd {

using qfnettop::Counters;

// One incarnation of a process: a pid and its start time in clock ticks since boot. A start of
// 0 stands for a process that was gone before it could be looked at; its pid may have been
// given to another process since, so it is never merged with a live one.
struct ProcessKey {
    std::uint32_t pid = 0;
    std::uint64_t start = 0;
    auto operator<=>(const ProcessKey&) const = default;
};

struct ProcessInfo {
    std::uint32_t uid = 0;
    std::string name;
};

// An application: every process of one user under one name.
struct AppKey {
    std::uint32_t uid = 0;
    std::string name;
    auto operator<=>(const AppKey&) const = default;
};

// One socket as the kernel programs recorded it.
struct SocketSample {
    std::uint64_t cookie = 0;
    Counters bytes;
    std::uint64_t createdNs = 0; // boot-time clock
    std::uint64_t closedNs = 0;  // 0 while open
    std::uint32_t tgid = 0;
    std::uint32_t uid = 0;
    bool unowned = false; // first seen by a packet: the creating process is not known
    std::string comm{};
};

// True when the process whose start time is `startTicks` can have created a socket at
// `createdNs`: a process that started later got the pid after the creator was gone.
bool startedBy(std::uint64_t startTicks, std::uint64_t ticksPerSecond, std::uint64_t createdNs);

// TCP keeps sending what is queued after its socket is released; a closed socket is only
// folded into its process once it has been quiet for the grace period.
bool readyToFold(const SocketSample& s, std::uint64_t nowNs, std::uint64_t graceNs);

// Per-process totals kept by the service: bytes of sockets already folded plus the counters of
// sockets still in the kernel's table. It holds at most `maxProcesses` processes: an ended one
// (the oldest first), or else one of the user holding the most, is folded into its user's
// remainder to make room, so no user can push the others out and memory stays bounded.
class Ledger {
public:
    struct Entry {
        ProcessInfo info;
        Counters folded;
        Counters live;
        std::uint64_t goneSinceNs = 0; // 0 while the process runs
        std::size_t liveSockets = 0;
        Counters* app = nullptr; // its application's total in appTotals()
    };
    static constexpr std::size_t kDefaultMaxProcesses = 16384;
    // Users who have no process left; beyond this many the oldest is forgotten.
    static constexpr std::size_t kMaxIdleUsers = 1024;
    static constexpr std::size_t kMaxName = 64;
    // Applications kept by name per user, and users kept by id; beyond, a user's further
    // applications are summed under kOtherApp, further users under kOtherUsers.
    static constexpr std::size_t kMaxAppsPerUser = 1000;
    static constexpr std::size_t kMaxAppUsers = 256;
    static constexpr std::uint32_t kOtherUsers = ~std::uint32_t(0);
    static constexpr const char* kOtherApp = "other";

    explicit Ledger(std::size_t maxProcesses = kDefaultMaxProcesses);
    // Processes and sockets point into its own application totals.
    Ledger(const Ledger&) = delete;
    Ledger& operator=(const Ledger&) = delete;

    void setOwner(std::uint64_t cookie, const ProcessKey& key, const ProcessInfo& info);
    bool hasOwner(std::uint64_t cookie) const;
    // A socket nobody could be found for: its bytes stay unattributed.
    void giveUp(std::uint64_t cookie) { m_sockets[cookie].gaveUp = true; }
    bool gaveUp(std::uint64_t cookie) const;

    // Every socket still in the kernel's table, replacing the previous view of them. One that
    // has left the table without being folded (pushed out of a full table) keeps the bytes it
    // was last seen with.
    void setLive(const std::vector<SocketSample>& sockets);
    // A socket taken out of the kernel's table with its final counters.
    void fold(const SocketSample& last);

    // Processes that ended are kept for `retentionNs` so a client asking after the end still
    // sees their last bytes, then folded into their user's remainder.
    void markGone(const ProcessKey& key, std::uint64_t nowNs);
    void expire(std::uint64_t nowNs, std::uint64_t retentionNs);

    const std::map<ProcessKey, Entry>& processes() const { return m_processes; }
    // One user's processes, kept as they come and go so an answer need not look at the others.
    const std::set<ProcessKey>& processesOf(std::uint32_t uid) const;
    // Every user's bytes, their ended processes included; never goes down while the user has
    // a process or was seen recently.
    const std::map<std::uint32_t, Counters>& userTotals() const;
    // Whether another incarnation of this pid is running.
    bool pidRunsElsewhere(const ProcessKey& key) const;
    Counters unattributed() const;
    std::size_t trackedSockets() const { return m_sockets.size(); }
    // Processes (or sockets that found no room) folded into their user's remainder.
    std::uint64_t foldedProcesses() const { return m_foldedCount; }

    // Every application's bytes since the ledger began, by user and (sanitised) name. Each
    // socket adds what it grew by since it was last seen, so these never go down: a closed
    // socket, an ended process or one folded into its user's remainder leaves its bytes here.
    const std::map<AppKey, Counters>& appTotals() const { return m_apps; }
    // Processes whose application went to kOtherApp for want of room.
    std::uint64_t foldedApps() const { return m_foldedApps; }
    // Bytes that will stay unattributed (sockets given up on, or gone without an owner);
    // unlike unattributed(), it leaves out sockets still being looked up, so it never drops.
    Counters settledUnattributed() const { return m_unattributedFolded + m_givenUpLive; }
    // Sockets whose process could not be looked at (gone before, or not readable).
    std::uint64_t uninspected() const { return m_uninspected; }
    void noteUninspected() { ++m_uninspected; }

private:
    struct Tracked {
        std::optional<ProcessKey> owner;
        std::optional<std::uint32_t> user; // whose remainder gets it once the owner is folded
        Counters last;
        Counters* app = nullptr;
        Counters credited; // what its application has had of it
        bool gaveUp = false;
    };
    struct Book {
        std::set<ProcessKey> processes;
        Counters remainder; // folded processes' bytes
        Counters remainderLive;
        std::uint64_t idleSince = 0; // when its last process went; 0 while it has one
    };
    Counters* creditFor(const Tracked& t, bool live);
    bool makeRoom(std::uint32_t uid);
    void retire(std::map<ProcessKey, Entry>::iterator it);
    void touchUser(std::uint32_t uid);
    Counters* appFor(std::uint32_t uid, std::string_view name);
    static void creditApp(Tracked& t, const Counters& now);

    std::size_t m_maxProcesses;
    std::map<ProcessKey, Entry> m_processes;
    std::set<std::pair<std::uint64_t, ProcessKey>> m_ended; // by the time they ended
    std::map<std::uint32_t, Book> m_books;
    std::set<std::pair<std::size_t, std::uint32_t>> m_holders;     // process count, uid
    std::set<std::pair<std::uint64_t, std::uint32_t>> m_idleUsers; // oldest first
    std::uint64_t m_idleSerial = 0;
    std::unordered_map<std::uint64_t, Tracked> m_sockets;
    Counters m_unattributedFolded;
    Counters m_unattributedLive;
    std::uint64_t m_foldedCount = 0;
    std::map<AppKey, Counters> m_apps; // nodes stay put: processes and sockets point at them
    std::map<std::uint32_t, std::size_t> m_appsPerUser;
    std::uint64_t m_foldedApps = 0;
    Counters m_givenUpLive;
    std::uint64_t m_uninspected = 0;
    mutable std::map<std::uint32_t, Counters> m_totals;
    mutable bool m_totalsStale = true;
};

// Health figures the service reports with every answer.
struct ServiceStats {
    Counters unattributed;             // bytes whose process could not be found
    std::uint64_t evictedSockets = 0;  // pushed out of the full kernel table before being read
    std::uint64_t lostPackets = 0;     // packets of sockets the kernel table had no room for
    std::uint64_t foldedProcesses = 0; // kept only in their user's sum
};

// What one client is shown.
struct ProcessLine {
    std::uint32_t pid = 0;
    std::uint32_t uid = 0;
    std::string name; // already safe for one field
    Counters bytes;
    bool operator==(const ProcessLine&) const = default;
};
struct UserLine {
    std::uint32_t uid = 0;
    Counters bytes;
    bool operator==(const UserLine&) const = default;
};
struct View {
    std::vector<ProcessLine> processes;
    std::vector<UserLine> users; // other users' processes, summed per user
    ServiceStats stats;
};

// A client sees its own user's processes by name; every other user's are summed under that
// user. Root sees every process. A pid that has a running incarnation shows only that one.
// The cost follows what the client is shown, not the size of the ledger.
View viewFor(std::uint32_t clientUid, const Ledger& ledger, const ServiceStats& stats);

// ---- the line protocol ----
// A client sends one request per line; the service answers each with lines ending in "END".
enum class Request { Totals, Stats, Invalid };
Request parseRequest(std::string_view line);
constexpr std::size_t kMaxRequestLine = 128;

std::string formatView(const View& v);          // answer to "TOTALS"
std::string formatStats(const ServiceStats& s); // answer to "STATS"
std::string formatError(std::string_view why);
// Reads an answer to "TOTALS"; nullopt unless it is complete and well formed.
std::optional<View> parseView(std::string_view text);

// Where the service listens unless told otherwise.
constexpr const char* kDefaultSocket = "/run/quillfern/netd.sock";

} // namespace qfnetd
