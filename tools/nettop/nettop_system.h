#pragma once

// The reading half of quillfern-nettop: the kernel's TCP socket dump, /proc, and the state file.

#include "nettop_core.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

struct nlmsghdr;

namespace qfnettop {

// Every TCP socket (IPv4 and IPv6) of this network namespace that can carry bytes.
// nullopt when the kernel's socket dump cannot be had. Combined asks for both families in one
// request (cheaper; a kernel built without the older request form refuses it), PerFamily sends
// one request per family.
enum class DumpMethod { Combined, PerFamily };
std::optional<std::vector<SocketRecord>> dumpTcpSockets(DumpMethod method = DumpMethod::Combined);

// Appends the socket one reply to a socket dump request describes, when it is of replyType.
// Every length inside the reply is checked before it is used.
void parseDiagReply(const nlmsghdr& h, std::uint16_t replyType, std::vector<SocketRecord>& out);

// Finds, for each wanted socket inode, the lowest-numbered process holding a descriptor for it.
// Processes whose descriptors we may not read are passed over.
std::unordered_map<std::uint64_t, std::uint32_t>
findSocketHolders(const std::unordered_set<std::uint64_t>& wantedInodes);

// Start time (clock ticks since boot, field 22 of /proc/<pid>/stat); nullopt if it is gone.
std::optional<std::uint64_t> processStartTime(std::uint32_t pid);
// Contents of /proc/<pid>/comm without the newline the kernel appends; not sanitized.
std::optional<std::string> processName(std::uint32_t pid);
// The real user id of a process; nullopt if it is gone.
std::optional<std::uint32_t> processUid(std::uint32_t pid);
std::optional<std::string> loginName(std::uint32_t uid);

// Which user, boot and network namespace a state file must belong to.
StateIdentity currentIdentity();

// The per-user state file: quillfern/nettop-state.v1 in $XDG_RUNTIME_DIR, else in the user's
// cache directory. Every directory on the way is opened once and checked to be this user's
// alone; the files are opened through its descriptor, never by path.
class StateStore {
public:
    StateStore();
    ~StateStore();
    StateStore(const StateStore&) = delete;
    StateStore& operator=(const StateStore&) = delete;

    bool usable() const { return m_dirFd >= 0; }
    // Each sample holds an exclusive lock on the directory while it reads and rewrites. False
    // when it cannot be had within a couple of seconds: that run keeps no state.
    bool lock();
    void unlock();
    // Anything unreadable, foreign or malformed reads as an empty state.
    State load(const StateIdentity& id) const;
    // Written to a temporary file and renamed over the old one, so readers see old or new.
    bool save(const State& state, const StateIdentity& id) const;

    static constexpr const char* kDirName = "quillfern";
    static constexpr const char* kFileName = "nettop-state.v1";

private:
    int m_dirFd = -1;
    bool m_locked = false;
};

} // namespace qfnettop
