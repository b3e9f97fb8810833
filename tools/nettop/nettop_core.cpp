#include "nettop_core.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

namespace qfnettop {

bool socketMatters(const SocketRecord& s, const State& previous) {
    if (s.loopback || !s.hasCounters)
        return false;
    return !s.bytes.isZero() || previous.sockets.count(s.cookie) != 0;
}

CountResult countTraffic(const State& previous, const Snapshot& now) {
    CountResult result;
    State& next = result.next;
    next.closed = previous.closed;

    const auto alive = [&](const OwnerKey& o) {
        return o.kind == OwnerKey::User || now.liveProcesses.count(o) != 0;
    };

    for (const SocketRecord& s : now.sockets) {
        if (!socketMatters(s, previous) || next.sockets.count(s.cookie) != 0)
            continue;
        const auto oldIt = previous.sockets.find(s.cookie);
        const SocketState* old = oldIt == previous.sockets.end() ? nullptr : &oldIt->second;

        Counters current = s.bytes;
        if (old) {
            // Same socket, so its counters cannot really have dropped; never let them.
            current.in = std::max(current.in, old->last.in);
            current.out = std::max(current.out, old->last.out);
        }

        std::optional<OwnerKey> holder;
        if (s.inode != 0) {
            if (const auto h = now.inodeOwner.find(s.inode); h != now.inodeOwner.end())
                holder = h->second;
        }

        SocketState st;
        st.last = current;
        if (holder && old && old->owner == *holder) {
            st.owner = old->owner;
            st.base = old->base;
        } else if (holder) {
            // A new socket, or one handed to another process (a fork whose parent closed its
            // copy): the previous owner keeps what it was credited, the new one gets the rest.
            st.owner = *holder;
            if (old) {
                next.closed[old->owner] += growthSince(old->last, old->base);
                st.base = old->last;
            }
        } else if (old && alive(old->owner)) {
            // Closed by its process but still draining (FIN_WAIT and the like): still its bytes.
            st.owner = old->owner;
            st.base = old->base;
        } else {
            // Nobody we may look at holds it: credit the socket's user.
            st.owner = OwnerKey::user(s.uid);
            if (old) {
                if (old->owner == st.owner) {
                    st.base = old->base;
                } else {
                    next.closed[old->owner] += growthSince(old->last, old->base);
                    st.base = old->last;
                }
            }
        }
        next.sockets.emplace(s.cookie, st);
    }

    // Sockets that are gone leave their bytes with their owner.
    for (const auto& [cookie, st] : previous.sockets) {
        if (next.sockets.count(cookie) == 0)
            next.closed[st.owner] += growthSince(st.last, st.base);
    }

    // Forget owners that no longer exist, so a reused pid starts from nothing.
    for (auto it = next.closed.begin(); it != next.closed.end();) {
        if (!alive(it->first) || it->second.isZero())
            it = next.closed.erase(it);
        else
            ++it;
    }

    for (const auto& [owner, c] : next.closed)
        result.totals[owner] += c;
    for (const auto& [cookie, st] : next.sockets) {
        if (alive(st.owner))
            result.totals[st.owner] += growthSince(st.last, st.base);
    }
    for (auto it = result.totals.begin(); it != result.totals.end();) {
        if (it->second.isZero())
            it = result.totals.erase(it);
        else
            ++it;
    }
    return result;
}

bool isLoopbackAddress(int family, const std::uint8_t* a) {
    constexpr int kInet = 2, kInet6 = 10; // AF_INET, AF_INET6 on Linux
    if (family == kInet)
        return a[0] == 127;
    if (family != kInet6)
        return false;
    static constexpr std::uint8_t v6Loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (std::memcmp(a, v6Loopback, 16) == 0)
        return true;
    static constexpr std::uint8_t v4MappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(a, v4MappedPrefix, 12) == 0 && a[12] == 127;
}

bool isLocalFlow(int family, const std::uint8_t* src, const std::uint8_t* dst) {
    if (isLoopbackAddress(family, src) && isLoopbackAddress(family, dst))
        return true;
    const std::size_t n = family == 2 ? 4 : 16;
    static constexpr std::uint8_t zero[16] = {};
    return std::memcmp(src, dst, n) == 0 && std::memcmp(src, zero, n) != 0;
}

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not one.
std::size_t utf8SequenceAt(std::string_view s, std::size_t i, std::uint32_t& cp) {
    const auto b = [&](std::size_t k) { return static_cast<std::uint8_t>(s[i + k]); };
    const std::uint8_t c = b(0);
    std::size_t len;
    std::uint32_t min;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        len = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4, cp = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((b(k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

} // namespace

std::string sanitizeName(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size();) {
        std::uint32_t cp = 0;
        const std::size_t len = utf8SequenceAt(raw, i, cp);
        if (len == 0) {
            out += "\xEF\xBF\xBD"; // U+FFFD
            ++i;
            continue;
        }
        const bool control = cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
        const bool lineBreak = cp == 0x2028 || cp == 0x2029;
        if (control || lineBreak || cp == ',')
            out += '_';
        else
            out.append(raw.substr(i, len));
        i += len;
    }
    if (out.empty())
        out = "(unnamed)";
    return out;
}

namespace {

constexpr std::string_view kHeaderFields[] = {
    "time",    "",      "interface", "state",   "bytes_in", "bytes_out", "rx_dupe",
    "rx_ooo",  "re-tx", "rtt_avg",   "rcvsize", "tx_win",   "tc_class",  "tc_mgt",
    "cc_algo", "P",     "C",         "R",       "W",        "arch"};

} // namespace

std::size_t headerFieldCount() {
    return std::size(kHeaderFields);
}

std::string headerLine() {
    std::string line;
    for (std::string_view f : kHeaderFields) {
        line += f;
        line += ',';
    }
    line += '\n';
    return line;
}

std::string processLine(std::string_view time, std::string_view safeName, std::uint64_t id,
                        const Counters& c) {
    std::string line;
    line.reserve(96);
    line += time;
    line += ',';
    line += safeName;
    line += '.';
    line += std::to_string(id);
    line += ",,,";
    line += std::to_string(c.in);
    line += ',';
    line += std::to_string(c.out);
    line += ',';
    // The remaining columns stay empty, each still closed by its comma.
    line.append(headerFieldCount() - 6, ',');
    line += '\n';
    return line;
}

std::string formatClock(int hour, int minute, int second, long micros) {
    char buf[32];
    const auto two = [](char* p, int v) {
        p[0] = static_cast<char>('0' + v / 10 % 10);
        p[1] = static_cast<char>('0' + v % 10);
    };
    two(buf, hour);
    buf[2] = ':';
    two(buf + 3, minute);
    buf[5] = ':';
    two(buf + 6, second);
    buf[8] = '.';
    long us = std::clamp(micros, 0L, 999999L);
    for (int k = 14; k >= 9; --k) {
        buf[k] = static_cast<char>('0' + us % 10);
        us /= 10;
    }
    return std::string(buf, 15);
}

std::string userOwnerName(std::uint32_t uid, const std::optional<std::string>& login) {
    if (uid == 0)
        return "(system)";
    if (login && !login->empty())
        return "(user " + sanitizeName(*login) + ")";
    return "(user " + std::to_string(uid) + ")";
}

std::string_view usageLine() {
    return "usage: quillfern-nettop [-P] [-x] [-L samples] [-s seconds]\n";
}

namespace {

std::optional<long> parseCount(std::string_view s, long lo, long hi) {
    long v = 0;
    if (s.empty() || s.front() == '-' || s.front() == '+')
        return std::nullopt;
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size() || v < lo || v > hi)
        return std::nullopt;
    return v;
}

} // namespace

std::optional<Options> parseOptions(const std::vector<std::string_view>& args) {
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        if (a.size() < 2 || a[0] != '-')
            return std::nullopt;
        // Flags may be clustered ("-Px") and values attached ("-L1"), as getopt allows.
        for (std::size_t k = 1; k < a.size(); ++k) {
            const char f = a[k];
            if (f == 'P' || f == 'x')
                continue;
            if (f != 'L' && f != 's')
                return std::nullopt;
            std::string_view value = a.substr(k + 1);
            if (value.empty()) {
                if (++i >= args.size())
                    return std::nullopt;
                value = args[i];
            }
            const auto v = f == 'L' ? parseCount(value, 1, 1000000) : parseCount(value, 0, 86400);
            if (!v)
                return std::nullopt;
            (f == 'L' ? o.samples : o.intervalSeconds) = *v;
            break;
        }
    }
    return o;
}

// ---- state file ----

namespace {

constexpr char kMagic[8] = {'Q', 'F', 'N', 'T', 'S', 'T', 'A', 'T'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderSize = 8 + 4 + 4 + 16 + 8 + 4 + 4;
constexpr std::size_t kSocketRecordSize = 8 + 4 + 4 + 8 + 4 * 8;
constexpr std::size_t kClosedRecordSize = 4 + 4 + 8 + 2 * 8;
constexpr std::size_t kTrailerSize = 8;

std::uint64_t fnv1a(std::string_view bytes) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}

struct Writer {
    std::string out;
    void u8(std::uint8_t v) { out += static_cast<char>(v); }
    void u32(std::uint32_t v) {
        for (int k = 0; k < 4; ++k)
            u8(static_cast<std::uint8_t>(v >> (8 * k)));
    }
    void u64(std::uint64_t v) {
        for (int k = 0; k < 8; ++k)
            u8(static_cast<std::uint8_t>(v >> (8 * k)));
    }
    void owner(const OwnerKey& o) {
        u8(o.kind);
        u8(0), u8(0), u8(0);
        u32(o.id);
        u64(o.start);
    }
    void counters(const Counters& c) {
        u64(c.in);
        u64(c.out);
    }
};

// Reads little-endian fields; every read is bounds-checked against the buffer.
struct Reader {
    std::string_view in;
    std::size_t pos = 0;
    bool ok = true;
    std::uint64_t uN(int n) {
        if (in.size() - pos < static_cast<std::size_t>(n)) {
            ok = false;
            return 0;
        }
        std::uint64_t v = 0;
        for (int k = 0; k < n; ++k)
            v |= std::uint64_t(static_cast<std::uint8_t>(in[pos + k])) << (8 * k);
        pos += n;
        return v;
    }
    std::uint8_t u8() { return static_cast<std::uint8_t>(uN(1)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(uN(4)); }
    std::uint64_t u64() { return uN(8); }
    std::optional<OwnerKey> owner() {
        const std::uint8_t kind = u8();
        const bool padZero = u8() == 0 && u8() == 0 && u8() == 0;
        const std::uint32_t id = u32();
        const std::uint64_t start = u64();
        if (!ok || !padZero || kind > OwnerKey::User || (kind == OwnerKey::User && start != 0))
            return std::nullopt;
        return OwnerKey{static_cast<OwnerKey::Kind>(kind), id, start};
    }
    Counters counters() {
        Counters c;
        c.in = u64();
        c.out = u64();
        return c;
    }
};

} // namespace

std::string encodeState(const State& state, const StateIdentity& id) {
    Writer w;
    w.out.reserve(kHeaderSize + state.sockets.size() * kSocketRecordSize +
                  state.closed.size() * kClosedRecordSize + kTrailerSize);
    w.out.append(kMagic, sizeof kMagic);
    w.u32(kVersion);
    w.u32(id.uid);
    for (std::uint8_t b : id.bootId)
        w.u8(b);
    w.u64(id.netns);
    w.u32(static_cast<std::uint32_t>(state.sockets.size()));
    w.u32(static_cast<std::uint32_t>(state.closed.size()));
    for (const auto& [cookie, st] : state.sockets) {
        w.u64(cookie);
        w.owner(st.owner);
        w.counters(st.last);
        w.counters(st.base);
    }
    for (const auto& [owner, c] : state.closed) {
        w.owner(owner);
        w.counters(c);
    }
    w.u64(fnv1a(w.out));
    return w.out;
}

std::optional<State> decodeState(std::string_view bytes, const StateIdentity& expected) {
    if (bytes.size() < kHeaderSize + kTrailerSize)
        return std::nullopt;
    Reader r{bytes};
    if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
        return std::nullopt;
    r.pos = sizeof kMagic;
    if (r.u32() != kVersion)
        return std::nullopt;
    StateIdentity id;
    id.uid = r.u32();
    for (auto& b : id.bootId)
        b = r.u8();
    id.netns = r.u64();
    if (!r.ok || !(id == expected))
        return std::nullopt;
    const std::uint64_t nSockets = r.u32();
    const std::uint64_t nClosed = r.u32();
    // The sizes must account for every byte: no short records, nothing trailing.
    const std::uint64_t expectSize =
        kHeaderSize + nSockets * kSocketRecordSize + nClosed * kClosedRecordSize + kTrailerSize;
    if (!r.ok || expectSize != bytes.size())
        return std::nullopt;
    Reader tail{bytes, bytes.size() - kTrailerSize};
    if (tail.u64() != fnv1a(bytes.substr(0, bytes.size() - kTrailerSize)))
        return std::nullopt;

    State st;
    std::optional<std::uint64_t> prevCookie;
    for (std::uint64_t k = 0; k < nSockets; ++k) {
        const std::uint64_t cookie = r.u64();
        const auto owner = r.owner();
        SocketState s;
        s.last = r.counters();
        s.base = r.counters();
        // Written in ascending order by us; a repeat or a base above the reading is not ours.
        if (!r.ok || !owner || (prevCookie && cookie <= *prevCookie) || s.base.in > s.last.in ||
            s.base.out > s.last.out)
            return std::nullopt;
        s.owner = *owner;
        st.sockets.emplace_hint(st.sockets.end(), cookie, s);
        prevCookie = cookie;
    }
    std::optional<OwnerKey> prevOwner;
    for (std::uint64_t k = 0; k < nClosed; ++k) {
        const auto owner = r.owner();
        const Counters c = r.counters();
        if (!r.ok || !owner || (prevOwner && !(*prevOwner < *owner)))
            return std::nullopt;
        st.closed.emplace_hint(st.closed.end(), *owner, c);
        prevOwner = owner;
    }
    if (!r.ok || r.pos != bytes.size() - kTrailerSize)
        return std::nullopt;
    return st;
}

} // namespace qfnettop
