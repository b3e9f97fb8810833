#include "netd_core.h"

#include <charconv>
#include <set>

namespace qfnetd {

bool startedBy(std::uint64_t startTicks, std::uint64_t ticksPerSecond, std::uint64_t createdNs) {
    if (ticksPerSecond == 0)
        return false;
    // Whole ticks only: a start time is rounded down to its tick, so compare in ticks.
    const std::uint64_t createdTicks = createdNs / 1000000000u * ticksPerSecond +
                                       createdNs % 1000000000u * ticksPerSecond / 1000000000u;
    return startTicks <= createdTicks;
}

bool readyToFold(const SocketSample& s, std::uint64_t nowNs, std::uint64_t graceNs) {
    return s.closedNs != 0 && nowNs >= s.closedNs && nowNs - s.closedNs >= graceNs;
}

void Ledger::setOwner(std::uint64_t cookie, const ProcessKey& key, const ProcessInfo& info) {
    Tracked& t = m_sockets[cookie];
    t.owner = key;
    t.gaveUp = false;
    auto [it, fresh] = m_processes.try_emplace(key);
    if (fresh || it->second.info.name.empty())
        it->second.info = info;
}

bool Ledger::hasOwner(std::uint64_t cookie) const {
    const auto it = m_sockets.find(cookie);
    return it != m_sockets.end() && it->second.owner;
}

std::optional<ProcessKey> Ledger::ownerOf(std::uint64_t cookie) const {
    const auto it = m_sockets.find(cookie);
    return it == m_sockets.end() ? std::nullopt : it->second.owner;
}

bool Ledger::gaveUp(std::uint64_t cookie) const {
    const auto it = m_sockets.find(cookie);
    return it != m_sockets.end() && it->second.gaveUp;
}

void Ledger::settle(const Tracked& t, const Counters& bytes) {
    const auto entry = t.owner ? m_processes.find(*t.owner) : m_processes.end();
    (entry == m_processes.end() ? m_unattributedFolded : entry->second.folded) += bytes;
}

void Ledger::setLive(const std::vector<SocketSample>& sockets) {
    for (auto& [key, e] : m_processes) {
        e.live = {};
        e.liveSockets = 0;
    }
    m_unattributedLive = {};
    std::unordered_map<std::uint64_t, Tracked> still;
    still.reserve(sockets.size());
    for (const SocketSample& s : sockets) {
        auto it = m_sockets.find(s.cookie);
        Tracked t = it == m_sockets.end() ? Tracked{} : std::move(it->second);
        if (it != m_sockets.end())
            m_sockets.erase(it);
        t.last = s.bytes;
        const auto entry = t.owner ? m_processes.find(*t.owner) : m_processes.end();
        if (entry == m_processes.end()) {
            m_unattributedLive += s.bytes;
        } else {
            entry->second.live += s.bytes;
            ++entry->second.liveSockets;
        }
        still.emplace(s.cookie, std::move(t));
    }
    // What is left was pushed out of the kernel's table: its last counters are final.
    for (const auto& [cookie, t] : m_sockets)
        settle(t, t.last);
    m_sockets = std::move(still);
}

void Ledger::fold(const SocketSample& last) {
    const auto it = m_sockets.find(last.cookie);
    settle(it == m_sockets.end() ? Tracked{} : it->second, last.bytes);
    if (it != m_sockets.end())
        m_sockets.erase(it);
}

void Ledger::markGone(const ProcessKey& key, std::uint64_t nowNs) {
    const auto it = m_processes.find(key);
    if (it != m_processes.end() && it->second.goneSinceNs == 0)
        it->second.goneSinceNs = nowNs == 0 ? 1 : nowNs;
}

void Ledger::expire(std::uint64_t nowNs, std::uint64_t retentionNs) {
    for (auto it = m_processes.begin(); it != m_processes.end();) {
        const Entry& e = it->second;
        // A socket still open (inherited by a child, or draining) keeps its owner's entry.
        if (e.goneSinceNs != 0 && e.liveSockets == 0 && nowNs >= e.goneSinceNs &&
            nowNs - e.goneSinceNs >= retentionNs)
            it = m_processes.erase(it);
        else
            ++it;
    }
}

Counters Ledger::unattributed() const {
    return m_unattributedFolded + m_unattributedLive;
}

View viewFor(std::uint32_t clientUid, const Ledger& ledger, const ServiceStats& stats) {
    View v;
    v.stats = stats;
    std::set<std::uint32_t> running;
    for (const auto& [key, e] : ledger.processes()) {
        if (e.goneSinceNs == 0)
            running.insert(key.pid);
    }
    std::map<std::uint32_t, Counters> others;
    for (const auto& [key, e] : ledger.processes()) {
        const Counters total = e.folded + e.live;
        if (total.isZero())
            continue;
        if (clientUid != 0 && e.info.uid != clientUid) {
            others[e.info.uid] += total;
            continue;
        }
        // An ended process whose pid now belongs to another would read as that one's bytes.
        if (e.goneSinceNs != 0 && running.count(key.pid) != 0)
            continue;
        v.processes.push_back({key.pid, e.info.uid, qfnettop::sanitizeName(e.info.name), total});
    }
    for (const auto& [uid, c] : others)
        v.users.push_back({uid, c});
    return v;
}

Request parseRequest(std::string_view line) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line == "TOTALS")
        return Request::Totals;
    if (line == "STATS")
        return Request::Stats;
    return Request::Invalid;
}

namespace {

void appendStats(std::string& out, const ServiceStats& s) {
    out += "S " + std::to_string(s.unattributed.in) + ' ' + std::to_string(s.unattributed.out) +
           ' ' + std::to_string(s.evictedSockets) + ' ' + std::to_string(s.lostPackets) + '\n';
}

template <typename T> bool number(std::string_view& rest, T& v) {
    const std::size_t end = rest.find(' ');
    const std::string_view field = rest.substr(0, end);
    const auto [p, ec] = std::from_chars(field.data(), field.data() + field.size(), v);
    if (field.empty() || ec != std::errc() || p != field.data() + field.size())
        return false;
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    return true;
}

} // namespace

std::string formatView(const View& v) {
    std::string out = "OK\n";
    for (const ProcessLine& p : v.processes) {
        out += "P " + std::to_string(p.pid) + ' ' + std::to_string(p.uid) + ' ' +
               std::to_string(p.bytes.in) + ' ' + std::to_string(p.bytes.out) + ' ' + p.name + '\n';
    }
    for (const UserLine& u : v.users) {
        out += "U " + std::to_string(u.uid) + ' ' + std::to_string(u.bytes.in) + ' ' +
               std::to_string(u.bytes.out) + '\n';
    }
    appendStats(out, v.stats);
    out += "END\n";
    return out;
}

std::string formatStats(const ServiceStats& s) {
    std::string out = "OK\n";
    appendStats(out, s);
    out += "END\n";
    return out;
}

std::string formatError(std::string_view why) {
    return "ERR " + std::string(why) + "\nEND\n";
}

std::optional<View> parseView(std::string_view text) {
    View v;
    bool first = true, stats = false;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        if (nl == std::string_view::npos)
            return std::nullopt; // cut short
        const std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl + 1);
        if (first) {
            if (line != "OK")
                return std::nullopt;
            first = false;
            continue;
        }
        if (line == "END")
            return text.empty() && stats ? std::optional<View>(v) : std::nullopt;
        if (line.size() < 2 || line[1] != ' ')
            return std::nullopt;
        std::string_view rest = line.substr(2);
        if (line[0] == 'P') {
            ProcessLine p;
            if (!number(rest, p.pid) || !number(rest, p.uid) || !number(rest, p.bytes.in) ||
                !number(rest, p.bytes.out) || rest.empty())
                return std::nullopt;
            p.name = qfnettop::sanitizeName(rest);
            v.processes.push_back(std::move(p));
        } else if (line[0] == 'U') {
            UserLine u;
            if (!number(rest, u.uid) || !number(rest, u.bytes.in) || !number(rest, u.bytes.out) ||
                !rest.empty())
                return std::nullopt;
            v.users.push_back(u);
        } else if (line[0] == 'S') {
            ServiceStats& s = v.stats;
            if (!number(rest, s.unattributed.in) || !number(rest, s.unattributed.out) ||
                !number(rest, s.evictedSockets) || !number(rest, s.lostPackets) || !rest.empty())
                return std::nullopt;
            stats = true;
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

} // namespace qfnetd
