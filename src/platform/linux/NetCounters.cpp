#include "NetCounters.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/if_arp.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

// Linux stand-in for the interface-list sysctl. Interface types come from RTM_GETLINK,
// the 64-bit byte counters from RTM_GETSTATS (IFLA_STATS_LINK_64); on kernels without
// RTM_GETSTATS the counters come from /proc/net/dev. getifaddrs is avoided on purpose:
// its per-interface counters are 32-bit on Linux and wrap every 4 GiB.
//
// The link table (types, names) changes rarely, so it is cached and dumped again only
// when the stats dump shows a different set of interfaces; a steady read costs one
// small RTM_GETSTATS dump on a socket that stays open.

namespace {

struct Link {
    int index = 0;
    bool loopback = false;
    std::uint8_t ifType = netlist::kIfTypeOther;
    std::uint32_t mtu = 0;
    std::string name;
};

struct Counters {
    int index = 0;
    std::uint64_t rxBytes = 0, txBytes = 0;
    std::uint64_t rxPackets = 0, txPackets = 0;
    std::uint64_t rxErrors = 0, txErrors = 0, rxDropped = 0;
};

std::uint8_t recordTypeFor(unsigned short arphrd, unsigned flags) {
    if (arphrd == ARPHRD_LOOPBACK || (flags & IFF_LOOPBACK) != 0) {
        return netlist::kIfTypeLoopback;
    }
    switch (arphrd) {
    case ARPHRD_ETHER:
        return netlist::kIfTypeEthernet;
    case ARPHRD_PPP:
        return netlist::kIfTypePpp;
    default:
        return netlist::kIfTypeOther;
    }
}

template <typename T> void put(unsigned char* rec, std::size_t off, T v) {
    std::memcpy(rec + off, &v, sizeof v);
}

class NetlistSource {
public:
    ~NetlistSource() {
        closeSocket();
        if (procFd_ >= 0) {
            ::close(procFd_);
        }
    }

    // Builds the whole list afresh into out. False (errno set) on failure.
    bool snapshot(std::vector<unsigned char>& out) {
        counters_.clear();
        bool ok = false;
        if (!forceProc_ && !statsUnsupported_) {
            ok = dumpStats();
            if (!ok && (errno == EOPNOTSUPP || errno == EINVAL)) {
                statsUnsupported_ = true; // kernel older than 4.7: fall back for good
            }
        }
        if (forceProc_ || statsUnsupported_) {
            counters_.clear();
            ok = dumpLinks() && readProc();
        } else if (ok && !linksMatch()) {
            ok = dumpLinks();
        }
        if (!ok) {
            return false;
        }
        encode(out);
        return true;
    }

    std::atomic<bool> forceProc_{false};

private:
    int fd_ = -1;
    std::uint32_t seq_ = 0;
    bool statsUnsupported_ = false;
    int procFd_ = -1;
    std::vector<Link> links_; // sorted by index
    std::vector<Counters> counters_;
    std::vector<char> rbuf_ = std::vector<char>(64 * 1024);
    std::string procText_;

    void closeSocket() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    bool openSocket() {
        if (fd_ >= 0) {
            return true;
        }
        fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (fd_ < 0) {
            return false;
        }
        // A kernel that never answers must not freeze the caller's event loop.
        timeval tv{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            closeSocket();
            return false;
        }
        return true;
    }

    // Sends one dump request and hands every answer message to onMsg. Messages of
    // other sequence numbers (left over from an aborted earlier dump) are skipped.
    template <typename F>
    bool dump(std::uint16_t type, const void* payload, std::size_t len, F&& onMsg) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!openSocket()) {
                return false;
            }
            int interrupted = 0;
            const int r = dumpOnce(type, payload, len, onMsg, interrupted);
            if (r == 0) {
                return true;
            }
            if (r < 0) {
                const int saved = errno;
                // Unknown message types are a property of the kernel, not of the socket.
                if (saved != EOPNOTSUPP && saved != EINVAL) {
                    closeSocket();
                }
                errno = saved;
                return false;
            }
            // r > 0: the table changed during the dump; its answer may be torn, try again.
        }
        errno = EAGAIN;
        return false;
    }

    template <typename F>
    int dumpOnce(std::uint16_t type, const void* payload, std::size_t len, F& onMsg,
                 int& interrupted) {
        struct {
            nlmsghdr h;
            char body[32];
        } req{};
        req.h.nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(len));
        req.h.nlmsg_type = type;
        req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        req.h.nlmsg_seq = ++seq_;
        std::memcpy(req.body, payload, len);
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (::sendto(fd_, &req, req.h.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                     sizeof kernel) < 0) {
            return -1;
        }
        for (;;) {
            const ssize_t n = ::recv(fd_, rbuf_.data(), rbuf_.size(), 0);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return -1;
            }
            if (n == 0) {
                errno = EIO;
                return -1;
            }
            int left = static_cast<int>(n);
            for (auto* h = reinterpret_cast<nlmsghdr*>(rbuf_.data()); NLMSG_OK(h, left);
                 h = NLMSG_NEXT(h, left)) {
                if (h->nlmsg_seq != seq_) {
                    continue;
                }
                if ((h->nlmsg_flags & NLM_F_DUMP_INTR) != 0) {
                    interrupted = 1;
                }
                if (h->nlmsg_type == NLMSG_DONE) {
                    return interrupted;
                }
                if (h->nlmsg_type == NLMSG_ERROR) {
                    const auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
                    errno = e->error < 0 ? -e->error : EIO;
                    return -1;
                }
                onMsg(h);
            }
        }
    }

    bool dumpStats() {
        if_stats_msg req{};
        req.family = AF_UNSPEC;
        req.filter_mask = IFLA_STATS_FILTER_BIT(IFLA_STATS_LINK_64);
        return dump(RTM_GETSTATS, &req, sizeof req, [this](const nlmsghdr* h) {
            if (h->nlmsg_type != RTM_NEWSTATS ||
                h->nlmsg_len < NLMSG_LENGTH(sizeof(if_stats_msg))) {
                return;
            }
            const auto* m = static_cast<const if_stats_msg*>(NLMSG_DATA(h));
            Counters c;
            c.index = static_cast<int>(m->ifindex);
            int alen = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof(if_stats_msg)));
            const auto* a = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(m) +
                                                            NLMSG_ALIGN(sizeof(if_stats_msg)));
            for (; RTA_OK(a, alen); a = RTA_NEXT(a, alen)) {
                if (a->rta_type == IFLA_STATS_LINK_64 &&
                    RTA_PAYLOAD(a) >= sizeof(rtnl_link_stats64)) {
                    rtnl_link_stats64 s; // attribute data is only 4-byte aligned
                    std::memcpy(&s, RTA_DATA(a), sizeof s);
                    c.rxBytes = s.rx_bytes;
                    c.txBytes = s.tx_bytes;
                    c.rxPackets = s.rx_packets;
                    c.txPackets = s.tx_packets;
                    c.rxErrors = s.rx_errors;
                    c.txErrors = s.tx_errors;
                    c.rxDropped = s.rx_dropped;
                }
            }
            counters_.push_back(c);
        });
    }

    bool dumpLinks() {
        ifinfomsg req{};
        req.ifi_family = AF_UNSPEC;
        std::vector<Link> fresh;
        const bool ok = dump(RTM_GETLINK, &req, sizeof req, [&fresh](const nlmsghdr* h) {
            if (h->nlmsg_type != RTM_NEWLINK || h->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
                return;
            }
            const auto* m = static_cast<const ifinfomsg*>(NLMSG_DATA(h));
            Link l;
            l.index = m->ifi_index;
            l.ifType = recordTypeFor(m->ifi_type, m->ifi_flags);
            l.loopback = l.ifType == netlist::kIfTypeLoopback;
            int alen = static_cast<int>(IFLA_PAYLOAD(h));
            for (const rtattr* a = IFLA_RTA(m); RTA_OK(a, alen); a = RTA_NEXT(a, alen)) {
                if (a->rta_type == IFLA_IFNAME) {
                    const char* s = static_cast<const char*>(RTA_DATA(a));
                    l.name.assign(s, strnlen(s, RTA_PAYLOAD(a)));
                } else if (a->rta_type == IFLA_MTU && RTA_PAYLOAD(a) >= sizeof(std::uint32_t)) {
                    std::memcpy(&l.mtu, RTA_DATA(a), sizeof l.mtu);
                }
            }
            fresh.push_back(std::move(l));
        });
        if (!ok) {
            return false;
        }
        std::sort(fresh.begin(), fresh.end(),
                  [](const Link& a, const Link& b) { return a.index < b.index; });
        links_ = std::move(fresh);
        return true;
    }

    const Link* findLink(int index) const {
        const auto it = std::lower_bound(links_.begin(), links_.end(), index,
                                         [](const Link& l, int i) { return l.index < i; });
        return it != links_.end() && it->index == index ? &*it : nullptr;
    }

    bool linksMatch() const {
        if (counters_.size() != links_.size()) {
            return false;
        }
        return std::all_of(counters_.begin(), counters_.end(),
                           [this](const Counters& c) { return findLink(c.index) != nullptr; });
    }

    // /proc/net/dev can exceed what one read returns, so it is read to end of file.
    bool readProc() {
        if (procFd_ < 0) {
            procFd_ = ::open("/proc/net/dev", O_RDONLY | O_CLOEXEC);
            if (procFd_ < 0) {
                return false;
            }
        }
        if (::lseek(procFd_, 0, SEEK_SET) != 0) {
            return false;
        }
        procText_.clear();
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(procFd_, chunk, sizeof chunk);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            if (n == 0) {
                break;
            }
            procText_.append(chunk, static_cast<std::size_t>(n));
        }
        return parseProc(procText_);
    }

    // Lines look like "  eth0: 123 4 0 0 0 0 0 0 567 8 ...": the name up to the colon
    // (large counters may touch it), received bytes first, sent bytes ninth.
    bool parseProc(std::string_view text) {
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t end = text.find('\n', pos);
            if (end == std::string_view::npos) {
                end = text.size();
            }
            const std::string_view line = text.substr(pos, end - pos);
            pos = end + 1;
            const std::size_t colon = line.find(':');
            if (colon == std::string_view::npos) {
                continue; // the two header lines
            }
            std::string_view name = line.substr(0, colon);
            name.remove_prefix(std::min(name.find_first_not_of(' '), name.size()));
            std::uint64_t fields[9] = {};
            int got = 0;
            std::size_t i = colon + 1;
            while (got < 9 && i < line.size()) {
                while (i < line.size() && line[i] == ' ') {
                    ++i;
                }
                if (i >= line.size() || line[i] < '0' || line[i] > '9') {
                    break;
                }
                std::uint64_t v = 0;
                while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
                    v = v * 10 + static_cast<std::uint64_t>(line[i] - '0');
                    ++i;
                }
                fields[got++] = v;
            }
            if (got < 9) {
                errno = EIO;
                return false;
            }
            const auto it = std::find_if(links_.begin(), links_.end(),
                                         [name](const Link& l) { return l.name == name; });
            if (it == links_.end()) {
                continue; // appeared after the link dump; the next read will see it
            }
            Counters c;
            c.index = it->index;
            c.rxBytes = fields[0];
            c.rxPackets = fields[1];
            c.rxErrors = fields[2];
            c.rxDropped = fields[3];
            c.txBytes = fields[8];
            counters_.push_back(c);
        }
        return true;
    }

    void encode(std::vector<unsigned char>& out) const {
        out.assign(counters_.size() * netlist::kRecordSize, 0);
        unsigned char* rec = out.data();
        for (const Counters& c : counters_) {
            const Link* l = findLink(c.index);
            put<std::uint16_t>(rec, netlist::kOffLength, netlist::kRecordSize);
            put<std::uint8_t>(rec, netlist::kOffVersion, netlist::kMsgVersion);
            put<std::uint8_t>(rec, netlist::kOffType, netlist::kTypeInterfaceInfo);
            put<std::uint16_t>(rec, netlist::kOffIndex, static_cast<std::uint16_t>(c.index));
            put<std::uint8_t>(rec, netlist::kOffIfType, l ? l->ifType : netlist::kIfTypeOther);
            put<std::uint32_t>(rec, netlist::kOffMtu, l ? l->mtu : 0);
            put<std::uint64_t>(rec, netlist::kOffInPackets, c.rxPackets);
            put<std::uint64_t>(rec, netlist::kOffInErrors, c.rxErrors);
            put<std::uint64_t>(rec, netlist::kOffOutPackets, c.txPackets);
            put<std::uint64_t>(rec, netlist::kOffOutErrors, c.txErrors);
            put<std::uint64_t>(rec, netlist::kOffInBytes, c.rxBytes);
            put<std::uint64_t>(rec, netlist::kOffOutBytes, c.txBytes);
            put<std::uint64_t>(rec, netlist::kOffInDrops, c.rxDropped);
            rec += netlist::kRecordSize;
        }
    }
};

std::mutex gMutex;
constexpr std::size_t kSizeSlackRecords = 8;

NetlistSource& source() {
    static NetlistSource s;
    return s;
}

} // namespace

void netSysctlForceProcFallback(bool force) {
    source().forceProc_ = force;
}

int netSysctl(const int* name, unsigned nameLength, void* buffer, std::size_t* length) {
    if (name == nullptr || length == nullptr || nameLength != netlist::kNameLength ||
        !std::equal(name, name + nameLength, netlist::kName)) {
        errno = ENOENT;
        return -1;
    }
    std::lock_guard lock(gMutex);
    static std::vector<unsigned char> list;
    static bool listKnown = false;
    if (buffer == nullptr && listKnown) {
        // Like the BSD sysctl, the size query rounds up so that a list which grows a little
        // before the second call still fits. Answering it from the last list halves the
        // kernel round trips of a read; the second call always reads afresh.
        *length = list.size() + kSizeSlackRecords * netlist::kRecordSize;
        return 0;
    }
    if (!source().snapshot(list)) {
        return -1;
    }
    listKnown = true;
    if (buffer == nullptr) {
        *length = list.size() + kSizeSlackRecords * netlist::kRecordSize;
        return 0;
    }
    if (list.size() > *length) {
        errno = ENOMEM;
        return -1;
    }
    if (!list.empty()) {
        std::memcpy(buffer, list.data(), list.size());
    }
    *length = list.size();
    return 0;
}
