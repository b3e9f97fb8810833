#include "netd_core.h"

#include <algorithm>
#include <charconv>

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

Ledger::Ledger(std::size_t maxProcesses) : m_maxProcesses(std::max<std::size_t>(maxProcesses, 1)) {}

void Ledger::touchUser(std::uint32_t uid) {
    m_totalsStale = true;
    Book& b = m_books[uid];
    if (!b.processes.empty() && b.idleSince != 0) {
        m_idleUsers.erase({b.idleSince, uid});
        b.idleSince = 0;
    } else if (b.processes.empty() && b.idleSince == 0) {
        b.idleSince = ++m_idleSerial;
        m_idleUsers.insert({b.idleSince, uid});
        // A stream of users that each come once (a range of subordinate ids) must not grow
        // the books without end: the longest gone are forgotten.
        while (m_idleUsers.size() > kMaxIdleUsers) {
            m_books.erase(m_idleUsers.begin()->second);
            m_idleUsers.erase(m_idleUsers.begin());
        }
    }
}

void Ledger::retire(std::map<ProcessKey, Entry>::iterator it) {
    const ProcessKey key = it->first;
    const std::uint32_t uid = it->second.info.uid;
    Book& b = m_books[uid];
    b.remainder += it->second.folded;
    b.remainderLive += it->second.live;
    if (it->second.goneSinceNs != 0)
        m_ended.erase({it->second.goneSinceNs, key});
    m_holders.erase({b.processes.size(), uid});
    b.processes.erase(key);
    if (!b.processes.empty())
        m_holders.insert({b.processes.size(), uid});
    m_processes.erase(it);
    ++m_foldedCount;
    touchUser(uid);
}

bool Ledger::makeRoom(std::uint32_t uid) {
    if (!m_ended.empty()) {
        retire(m_processes.find(m_ended.begin()->second));
        return true;
    }
    // Every process still runs: the user holding the most gives one up, unless that would
    // leave them with fewer than the newcomer's user.
    const auto [most, biggest] = *m_holders.rbegin();
    const auto mine = m_books.find(uid);
    if (most < (mine == m_books.end() ? 0 : mine->second.processes.size()) + 2)
        return false;
    retire(m_processes.find(*m_books[biggest].processes.begin()));
    return true;
}

void Ledger::setOwner(std::uint64_t cookie, const ProcessKey& key, const ProcessInfo& info) {
    Tracked& t = m_sockets[cookie];
    t.gaveUp = false;
    t.user = info.uid;
    t.owner.reset();
    auto it = m_processes.find(key);
    if (it == m_processes.end()) {
        if (m_processes.size() >= m_maxProcesses && !makeRoom(info.uid)) {
            ++m_foldedCount; // no room: its user's remainder carries it
            touchUser(info.uid);
            return;
        }
        Entry fresh;
        fresh.info = {info.uid, info.name.substr(0, kMaxName)};
        it = m_processes.emplace(key, std::move(fresh)).first;
        Book& b = m_books[info.uid];
        m_holders.erase({b.processes.size(), info.uid});
        b.processes.insert(key);
        m_holders.insert({b.processes.size(), info.uid});
        touchUser(info.uid);
    } else if (it->second.info.name.empty()) {
        it->second.info.name = info.name.substr(0, kMaxName);
    }
    t.owner = key;
}

bool Ledger::hasOwner(std::uint64_t cookie) const {
    const auto it = m_sockets.find(cookie);
    return it != m_sockets.end() && (it->second.owner || it->second.user);
}

bool Ledger::gaveUp(std::uint64_t cookie) const {
    const auto it = m_sockets.find(cookie);
    return it != m_sockets.end() && it->second.gaveUp;
}

Counters* Ledger::creditFor(const Tracked& t, bool live) {
    m_totalsStale = true;
    if (t.owner) {
        const auto e = m_processes.find(*t.owner);
        if (e != m_processes.end())
            return live ? &e->second.live : &e->second.folded;
    }
    if (!t.user)
        return live ? &m_unattributedLive : &m_unattributedFolded;
    // Its process was folded: the user's remainder carries it.
    if (m_books.count(*t.user) == 0)
        touchUser(*t.user);
    Book& b = m_books[*t.user];
    return live ? &b.remainderLive : &b.remainder;
}

void Ledger::setLive(const std::vector<SocketSample>& sockets) {
    for (auto& [key, e] : m_processes) {
        e.live = {};
        e.liveSockets = 0;
    }
    for (auto& [uid, b] : m_books)
        b.remainderLive = {};
    m_unattributedLive = {};
    std::unordered_map<std::uint64_t, Tracked> still;
    still.reserve(sockets.size());
    for (const SocketSample& s : sockets) {
        auto it = m_sockets.find(s.cookie);
        Tracked t = it == m_sockets.end() ? Tracked{} : std::move(it->second);
        if (it != m_sockets.end())
            m_sockets.erase(it);
        t.last = s.bytes;
        *creditFor(t, true) += s.bytes;
        if (t.owner) {
            if (const auto e = m_processes.find(*t.owner); e != m_processes.end())
                ++e->second.liveSockets;
        }
        still.emplace(s.cookie, std::move(t));
    }
    // What is left was pushed out of the kernel's table: its last counters are final.
    for (const auto& [cookie, t] : m_sockets)
        *creditFor(t, false) += t.last;
    m_sockets = std::move(still);
}

void Ledger::fold(const SocketSample& last) {
    const auto it = m_sockets.find(last.cookie);
    *creditFor(it == m_sockets.end() ? Tracked{} : it->second, false) += last.bytes;
    if (it != m_sockets.end())
        m_sockets.erase(it);
}

void Ledger::markGone(const ProcessKey& key, std::uint64_t nowNs) {
    const auto it = m_processes.find(key);
    if (it != m_processes.end() && it->second.goneSinceNs == 0) {
        it->second.goneSinceNs = nowNs == 0 ? 1 : nowNs;
        m_ended.insert({it->second.goneSinceNs, key});
    }
}

void Ledger::expire(std::uint64_t nowNs, std::uint64_t retentionNs) {
    for (auto it = m_ended.begin(); it != m_ended.end();) {
        if (nowNs < it->first || nowNs - it->first < retentionNs)
            break;
        const auto e = m_processes.find(it->second);
        ++it;
        // A socket still open (inherited by a child, or draining) keeps its owner's entry.
        if (e->second.liveSockets == 0)
            retire(e);
    }
}

const std::set<ProcessKey>& Ledger::processesOf(std::uint32_t uid) const {
    static const std::set<ProcessKey> none;
    const auto it = m_books.find(uid);
    return it == m_books.end() ? none : it->second.processes;
}

const std::map<std::uint32_t, Counters>& Ledger::userTotals() const {
    if (!m_totalsStale)
        return m_totals;
    m_totals.clear();
    for (const auto& [uid, b] : m_books) {
        Counters total = b.remainder + b.remainderLive;
        for (const ProcessKey& key : b.processes) {
            const Entry& e = m_processes.at(key);
            total += e.folded + e.live;
        }
        if (!total.isZero())
            m_totals.emplace(uid, total);
    }
    m_totalsStale = false;
    return m_totals;
}

bool Ledger::pidRunsElsewhere(const ProcessKey& key) const {
    for (auto it = m_processes.lower_bound({key.pid, 0});
         it != m_processes.end() && it->first.pid == key.pid; ++it) {
        if (it->first != key && it->second.goneSinceNs == 0)
            return true;
    }
    return false;
}

Counters Ledger::unattributed() const {
    return m_unattributedFolded + m_unattributedLive;
}

View viewFor(std::uint32_t clientUid, const Ledger& ledger, const ServiceStats& stats) {
    View v;
    v.stats = stats;
    const auto add = [&](const ProcessKey& key, const Ledger::Entry& e) {
        const Counters total = e.folded + e.live;
        // An ended process whose pid now belongs to another would read as that one's bytes.
        if (total.isZero() || (e.goneSinceNs != 0 && ledger.pidRunsElsewhere(key)))
            return;
        v.processes.push_back({key.pid, e.info.uid, qfnettop::sanitizeName(e.info.name), total});
    };
    if (clientUid == 0) {
        for (const auto& [key, e] : ledger.processes())
            add(key, e);
        return v;
    }
    for (const ProcessKey& key : ledger.processesOf(clientUid))
        add(key, ledger.processes().at(key));
    for (const auto& [uid, c] : ledger.userTotals()) {
        if (uid != clientUid)
            v.users.push_back({uid, c});
    }
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
           ' ' + std::to_string(s.evictedSockets) + ' ' + std::to_string(s.lostPackets) + ' ' +
           std::to_string(s.foldedProcesses) + '\n';
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
                !number(rest, s.evictedSockets) || !number(rest, s.lostPackets) ||
                !number(rest, s.foldedProcesses) || !rest.empty())
                return std::nullopt;
            stats = true;
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

} // namespace qfnetd
