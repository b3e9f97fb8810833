// quillfern-nettop: bytes each process has moved, one comma-separated line per
// process, in the layout the traffic recorder reads.

#include "app_naming_system.h"
#include "netd_client.h"
#include "nettop_core.h"
#include "nettop_system.h"

#include <cerrno>
#include <ctime>
#include <set>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace {

using namespace qfnettop;

bool writeAll(int fd, const std::string& s) {
    std::size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string nowClock() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    ::localtime_r(&ts.tv_sec, &local);
    return formatClock(local.tm_hour, local.tm_min, local.tm_sec, ts.tv_nsec / 1000);
}

// A process's name on its line; logins are looked up once per user.
std::string lineName(std::string_view raw, std::uint32_t owner, std::uint32_t viewer) {
    static std::unordered_map<std::uint32_t, std::optional<std::string>> logins;
    if (owner == viewer)
        return processLineName(raw, owner, viewer, std::nullopt);
    auto it = logins.find(owner);
    if (it == logins.end())
        it = logins.emplace(owner, loginName(owner)).first;
    return processLineName(raw, owner, viewer, it->second);
}

// One sample: read the sockets, credit them, remember, and print. False if the kernel's socket
// dump failed, in which case nothing is printed and the remembered state is left alone.
bool sampleOnce(StateStore& store, const StateIdentity& id) {
    const bool locked = store.lock();
    const State previous = locked ? store.load(id) : State{};
    auto sockets = dumpTcpSockets(DumpMethod::Combined);
    if (!sockets)
        sockets = dumpTcpSockets(DumpMethod::PerFamily);
    if (!sockets) {
        store.unlock();
        return false;
    }

    Snapshot snap;
    snap.sockets = *sockets;
    std::unordered_set<std::uint64_t> wanted;
    for (const SocketRecord& s : snap.sockets) {
        if (s.inode != 0 && socketMatters(s, previous))
            wanted.insert(s.inode);
    }

    // Start times are read once per pid; a process that vanished in between has none.
    std::unordered_map<std::uint32_t, std::optional<std::uint64_t>> starts;
    const auto startOf = [&](std::uint32_t pid) {
        auto it = starts.find(pid);
        if (it == starts.end())
            it = starts.emplace(pid, processStartTime(pid)).first;
        return it->second;
    };
    for (const auto& [inode, pid] : findSocketHolders(wanted)) {
        if (const auto start = startOf(pid)) {
            const OwnerKey owner = OwnerKey::process(pid, *start);
            snap.inodeOwner.emplace(inode, owner);
            snap.liveProcesses.insert(owner);
        }
    }
    const auto checkAlive = [&](const OwnerKey& o) {
        if (o.kind == OwnerKey::Process && startOf(o.id) == o.start)
            snap.liveProcesses.insert(o);
    };
    for (const auto& [cookie, st] : previous.sockets)
        checkAlive(st.owner);
    for (const auto& [owner, c] : previous.closed)
        checkAlive(owner);

    const CountResult result = countTraffic(previous, snap);
    if (locked)
        store.save(result.next, id);
    store.unlock();

    const std::string time = nowClock();
    std::string out = headerLine();
    AppNamer apps = AppNamer::fromEnvironment();
    for (const auto& [owner, c] : result.totals) {
        if (owner.kind == OwnerKey::User) {
            out += processLine(time, userOwnerName(owner.id, loginName(owner.id)), owner.id, c);
            continue;
        }
        const auto name = processName(owner.id);
        // Exited since its sockets were read: it has no line any more.
        if (!name || startOf(owner.id) != owner.start)
            continue;
        const std::uint32_t uid = processUid(owner.id).value_or(id.uid);
        out += processLine(time, lineName(apps.name(owner.id, *name), uid, id.uid), owner.id, c);
    }
    writeAll(STDOUT_FILENO, out);
    return true;
}

// One sample from the counting service, when it answers: every protocol and every connection,
// counted in the kernel. False when it does not, and the sock_diag path takes over.
bool sampleFromService(const std::string& socketPath) {
    const auto view = qfnetd::askService(socketPath);
    if (!view)
        return false;
    writeAll(STDOUT_FILENO, qfnetd::toolLines(*view, ::getuid(), nowClock()));
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const auto options = parseOptions(args);
    if (!options) {
        writeAll(STDERR_FILENO, std::string(usageLine()));
        return 2;
    }

    StateStore store;
    const StateIdentity id = currentIdentity();
    const std::string servicePath = qfnetd::serviceSocketPath();
    for (long i = 0; i < options->samples; ++i) {
        if (i > 0) {
            timespec pause{options->intervalSeconds, 0};
            while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
            }
        }
        if (sampleFromService(servicePath))
            continue;
        if (!sampleOnce(store, id)) {
            writeAll(STDERR_FILENO, "quillfern-nettop: cannot read the kernel's socket list\n");
            return 1;
        }
    }
    return 0;
}
