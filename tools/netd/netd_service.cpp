#include "netd_service.h"

#include "NetCounters.h"
#include "app_naming_system.h"
#include "netd.skel.h"
#include "netd_http.h"
#include "netd_shared.h"
#include "netd_system.h"
#include "nettop_system.h"

#include <algorithm>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <unistd.h>
#include <unordered_set>

namespace qfnetd {

namespace {

constexpr std::uint64_t kSecond = 1000000000u;
// TCP can still be sending what was queued when the socket was released.
constexpr std::uint64_t kGraceNs = 5 * kSecond;
// An ended process stays listed this long, so the next sample still sees its last bytes.
constexpr std::uint64_t kRetentionNs = 120 * kSecond;
// A client asking often does not make the service walk the kernel table more often than this.
constexpr std::uint64_t kMinPassGapNs = kSecond / 4;
// Tries to find the owner of a socket first seen by a packet before its bytes stay unattributed.
constexpr int kResolveAttempts = 3;
// Processes looked up in /proc per pass; the others wait for the next one. A crowd of new
// processes makes a pass no longer than this many lookups.
constexpr std::size_t kLookupsPerPass = 1024;
// Processes checked for having ended per pass, in turn, so a pass does not read /proc for every
// process the ledger holds.
constexpr std::size_t kLivenessChecksPerPass = 2048;
constexpr std::uint64_t kStatsKey = ~std::uint64_t(0);
constexpr std::size_t kKeptAnswers = 32;

SocketSample toSample(std::uint64_t cookie, const qf_sock& s) {
    SocketSample out;
    out.cookie = cookie;
    out.bytes = {s.rx, s.tx};
    out.createdNs = s.created_ns;
    out.closedNs = s.closed_ns;
    out.tgid = s.tgid;
    out.uid = s.uid;
    out.unowned = (s.flags & QF_SOCK_UNOWNED) != 0;
    out.comm.assign(s.comm, ::strnlen(s.comm, sizeof s.comm));
    return out;
}

} // namespace

void say(const std::string& s) {
    const std::string line = "quillfern-netd: " + s + "\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
}

std::vector<SocketSample> Service::readTable() {
    const int fd = bpf_map__fd(m_skel->maps.socks);
    std::vector<SocketSample> out;
    if (m_batchWorks) {
        constexpr std::uint32_t kChunk = 4096;
        std::vector<std::uint64_t> keys(kChunk);
        std::vector<qf_sock> values(kChunk);
        std::uint64_t inBatch = 0, outBatch = 0;
        bool first = true;
        for (;;) {
            std::uint32_t count = kChunk;
            const int rc = bpf_map_lookup_batch(fd, first ? nullptr : &inBatch, &outBatch,
                                                keys.data(), values.data(), &count, nullptr);
            const int err = rc < 0 ? errno : 0;
            for (std::uint32_t i = 0; i < count; ++i)
                out.push_back(toSample(keys[i], values[i]));
            if (err == ENOENT)
                return out;
            if (rc < 0) {
                // Kernels without batch reads for this map kind: walk it key by key instead.
                say(std::string("batch reads of the socket table failed (") + std::strerror(err) +
                    "); reading it key by key");
                m_batchWorks = false;
                out.clear();
                break;
            }
            inBatch = outBatch;
            first = false;
        }
    }
    std::uint64_t key = 0, next = 0;
    const std::uint64_t* prev = nullptr;
    while (bpf_map_get_next_key(fd, prev, &next) == 0) {
        qf_sock v{};
        if (bpf_map_lookup_elem(fd, &next, &v) == 0)
            out.push_back(toSample(next, v));
        key = next;
        prev = &key;
    }
    return out;
}

void Service::resolve(std::vector<SocketSample>& samples) {
    const std::uint64_t hz = ticksPerSecond();
    std::vector<const SocketSample*> unowned;
    // A process opening many sockets between two passes is looked up once.
    struct Seen {
        std::optional<std::uint64_t> start;
        std::optional<std::string> name;
    };
    std::unordered_map<std::uint32_t, Seen> seen;
    // A process in a desktop application's unit goes by the application, also once it has
    // ended: its socket is placed while the process is there to be read.
    qfnettop::AppNamer apps = qfnettop::AppNamer::fromEnvironment();
    for (const SocketSample& s : samples) {
        if (m_ledger.hasOwner(s.cookie) || m_ledger.gaveUp(s.cookie))
            continue;
        if (s.unowned) {
            unowned.push_back(&s);
            continue;
        }
        if (seen.size() >= kLookupsPerPass && seen.count(s.tgid) == 0)
            continue; // looked up on a later pass
        auto [it, fresh] = seen.try_emplace(s.tgid);
        if (fresh) {
            it->second.start = qfnettop::processStartTime(s.tgid);
            it->second.name = apps.appId(s.tgid);
            if (!it->second.name)
                it->second.name = qfnettop::processName(s.tgid);
        }
        const auto& start = it->second.start;
        if (start && startedBy(*start, hz, s.createdNs)) {
            const auto& name = it->second.name;
            m_ledger.setOwner(s.cookie, {s.tgid, *start}, {s.uid, name ? *name : s.comm});
        } else {
            // The creator is gone (its pid may belong to someone else now): keep it apart.
            m_ledger.setOwner(s.cookie, {s.tgid, 0}, {s.uid, s.comm});
            m_ledger.noteUninspected();
        }
    }
    if (unowned.empty())
        return;

    // Sockets made before the service started, or accepted from a listener: the kernel's
    // socket list names their inode, and /proc the process holding it.
    const auto diag = socketsByCookie();
    if (!diag) {
        if (!m_diagFailed)
            say("cannot read the kernel's socket list; sockets opened before the service or "
                "accepted from a listener stay unattributed");
        m_diagFailed = true;
    } else if (m_diagFailed) {
        say("the kernel's socket list can be read again");
        m_diagFailed = false;
    }
    std::unordered_set<std::uint64_t> wanted;
    if (diag) {
        for (const SocketSample* s : unowned) {
            const auto it = diag->find(s->cookie);
            if (it != diag->end() && it->second.inode != 0)
                wanted.insert(it->second.inode);
        }
    }
    const auto holders = wanted.empty() ? decltype(qfnettop::findSocketHolders(wanted)){}
                                        : qfnettop::findSocketHolders(wanted);
    for (const SocketSample* s : unowned) {
        bool found = false;
        if (diag) {
            const auto it = diag->find(s->cookie);
            const auto h = it == diag->end() ? holders.end() : holders.find(it->second.inode);
            if (h != holders.end()) {
                const auto start = qfnettop::processStartTime(h->second);
                auto name = apps.appId(h->second);
                if (!name)
                    name = qfnettop::processName(h->second);
                if (start && name) {
                    m_ledger.setOwner(s->cookie, {h->second, *start}, {it->second.uid, *name});
                    found = true;
                }
            }
        }
        if (found) {
            m_attempts.erase(s->cookie);
        } else if (s->closedNs != 0 || ++m_attempts[s->cookie] >= kResolveAttempts) {
            m_ledger.giveUp(s->cookie);
            m_ledger.noteUninspected();
            m_attempts.erase(s->cookie);
        }
    }
}

void Service::pass() {
    const std::uint64_t now = bootTimeNs();
    m_lastPassNs = now;
    std::vector<SocketSample> samples = readTable();
    resolve(samples);

    const int fd = bpf_map__fd(m_skel->maps.socks);
    std::vector<SocketSample> live;
    live.reserve(samples.size());
    for (SocketSample& s : samples) {
        if (!readyToFold(s, now, kGraceNs)) {
            live.push_back(std::move(s));
            continue;
        }
        // Take the counters and the entry in one step where the kernel allows it, so no
        // packet lands between reading and removing.
        qf_sock last{};
        if (bpf_map_lookup_and_delete_elem(fd, &s.cookie, &last) == 0) {
            s.bytes = {last.rx, last.tx};
        } else if (bpf_map_lookup_elem(fd, &s.cookie, &last) == 0) {
            s.bytes = {last.rx, last.tx};
            bpf_map_delete_elem(fd, &s.cookie);
        }
        m_ledger.fold(s);
        m_attempts.erase(s.cookie);
        ++m_folded;
    }
    m_present = live.size();
    m_ledger.setLive(live);
    // Lookup attempts only for sockets still in the table.
    std::unordered_map<std::uint64_t, int> attempts;
    for (const SocketSample& s : live) {
        if (const auto it = m_attempts.find(s.cookie); it != m_attempts.end())
            attempts.insert(*it);
    }
    m_attempts = std::move(attempts);

    checkLiveness(now);
    m_ledger.expire(now, kRetentionNs);
    m_stats = readStats();
    m_answers.clear();
    if (m_endpoint)
        m_endpoint->publish(snapshot());
}

const std::string& Service::userName(std::uint32_t uid) {
    const auto [it, fresh] = m_userNames.try_emplace(uid);
    if (!fresh)
        return it->second;
    if (uid == Ledger::kOtherUsers) {
        it->second = Ledger::kOtherApp;
        return it->second;
    }
    passwd pw{}, *found = nullptr;
    std::vector<char> buf(16384);
    it->second = ::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found
                     ? qfnettop::sanitizeName(pw.pw_name)
                     : std::to_string(uid);
    return it->second;
}

std::shared_ptr<const MetricsSnapshot> Service::snapshot() {
    auto s = std::make_shared<MetricsSnapshot>();
    s->apps.reserve(m_ledger.appTotals().size());
    for (const auto& [key, bytes] : m_ledger.appTotals())
        s->apps.push_back({userName(key.uid), key.name, bytes});
    s->unattributed = m_ledger.settledUnattributed();
    s->trackedSockets = m_present;
    s->evictedSockets = m_stats.evictedSockets;
    s->lostPackets = m_stats.lostPackets;
    s->uninspectedSockets = m_ledger.uninspected();
    s->foldedApps = m_ledger.foldedApps();
    if (const auto table = netReadLinks()) {
        const std::vector<bool> counted = netCountedLinks(*table, InterfaceChoice{});
        for (std::size_t i = 0; i < table->links.size(); ++i) {
            const LinkReading& l = table->links[i];
            const LinkClass c = linkClassify(l.attributes);
            if (c != LinkClass::Loopback)
                s->links.push_back({qfnettop::sanitizeName(l.name), c == LinkClass::Physical,
                                    counted[i], l.bytes});
        }
    }
    return s;
}

void Service::checkLiveness(std::uint64_t nowNs) {
    const auto& processes = m_ledger.processes();
    auto it = processes.lower_bound(m_livenessCursor);
    for (std::size_t n = std::min(processes.size(), kLivenessChecksPerPass); n > 0; --n, ++it) {
        if (it == processes.end())
            it = processes.begin();
        const auto& [key, e] = *it;
        if (e.goneSinceNs == 0 &&
            (key.start == 0 || qfnettop::processStartTime(key.pid) != key.start))
            m_ledger.markGone(key, nowNs);
    }
    m_livenessCursor = it == processes.end() ? ProcessKey{} : it->first;
}

ServiceStats Service::readStats() const {
    ServiceStats st;
    st.unattributed = m_ledger.unattributed();
    st.foldedProcesses = m_ledger.foldedProcesses();
    const int fd = bpf_map__fd(m_skel->maps.stats);
    const int cpus = libbpf_num_possible_cpus();
    std::uint64_t totals[QF_STAT_COUNT] = {};
    if (cpus > 0) {
        std::vector<std::uint64_t> perCpu(static_cast<std::size_t>(cpus));
        for (std::uint32_t slot = 0; slot < QF_STAT_COUNT; ++slot) {
            if (bpf_map_lookup_elem(fd, &slot, perCpu.data()) != 0)
                continue;
            for (const std::uint64_t v : perCpu)
                totals[slot] += v;
        }
    }
    // Every socket that entered the table left it through a fold, is still there, or was
    // pushed out by a newer one.
    const std::uint64_t entered = totals[QF_STAT_CREATED] + totals[QF_STAT_UNOWNED];
    const std::uint64_t accounted = m_folded + m_present;
    st.evictedSockets = entered > accounted ? entered - accounted : 0;
    st.lostPackets = totals[QF_STAT_INSERT_FAILED];
    return st;
}

std::shared_ptr<const std::string> Service::answer(std::uint32_t uid, std::string_view line) {
    static const auto tooLong =
        std::make_shared<const std::string>(formatError("request too long"));
    static const auto unknown =
        std::make_shared<const std::string>(formatError("unknown request; ask TOTALS or STATS"));
    if (line.size() > kMaxRequestLine)
        return tooLong;
    const Request r = parseRequest(line);
    if (r == Request::Invalid)
        return unknown;
    if (bootTimeNs() - m_lastPassNs >= kMinPassGapNs)
        pass();
    const std::uint64_t key = r == Request::Stats ? kStatsKey : uid;
    if (const auto it = m_answers.find(key); it != m_answers.end())
        return it->second;
    auto made = std::make_shared<const std::string>(
        r == Request::Stats ? formatStats(m_stats) : formatView(viewFor(uid, m_ledger, m_stats)));
    // Users that come and go (ids of a range taking turns) would each leave an answer here;
    // past a few, answers are made for the one asking only and go with its connection.
    if (m_answers.size() < kKeptAnswers)
        m_answers.emplace(key, made);
    return made;
}

} // namespace qfnetd
