#include "NetCounters.h"

#include "NetlinkDump.h"

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
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

// Links and their attributes come from RTM_GETLINK, default routes from RTM_GETROUTE, and the
// 64-bit byte counters from RTM_GETSTATS (IFLA_STATS_LINK_64); kernels without RTM_GETSTATS
// (before 4.7) give the counters through /proc/net/dev. getifaddrs is avoided on purpose: its
// per-link counters are 32-bit on Linux and wrap every 4 GiB.
//
// Links and routes change rarely, so their table is kept and dumped again only when the kernel
// announces a change (the dump socket listens to those announcements), or the counters name
// other links: a steady read costs one small RTM_GETSTATS dump.

namespace {

struct Counters {
    int index = 0;
    ByteCounts bytes;
};

LinkMedium mediumFor(unsigned short arphrd) {
    switch (arphrd) {
    case ARPHRD_LOOPBACK:
        return LinkMedium::Loopback;
    case ARPHRD_ETHER:
        return LinkMedium::Ethernet;
    case ARPHRD_IEEE80211:
    case ARPHRD_IEEE80211_PRISM:
    case ARPHRD_IEEE80211_RADIOTAP:
        return LinkMedium::Wireless;
    case ARPHRD_PPP:
        return LinkMedium::Ppp;
    case ARPHRD_RAWIP:
        return LinkMedium::RawIp;
    case ARPHRD_TUNNEL:
    case ARPHRD_TUNNEL6:
    case ARPHRD_SIT:
    case ARPHRD_IPGRE:
    case ARPHRD_IP6GRE:
    case ARPHRD_NONE:
        return LinkMedium::Tunnel;
    default:
        return LinkMedium::Other;
    }
}

std::string attrString(const rtattr* a) {
    const char* s = static_cast<const char*>(RTA_DATA(a));
    return std::string(s, strnlen(s, RTA_PAYLOAD(a)));
}

int attrInt(const rtattr* a) {
    std::uint32_t v = 0;
    if (RTA_PAYLOAD(a) >= sizeof v) {
        std::memcpy(&v, RTA_DATA(a), sizeof v);
    }
    return static_cast<int>(v);
}

LinkReading parseLink(const nlmsghdr& h) {
    const auto* m = static_cast<const ifinfomsg*>(NLMSG_DATA(&h));
    LinkReading link;
    link.index = m->ifi_index;
    link.attributes.medium = mediumFor(m->ifi_type);
    link.attributes.loopbackFlag = (m->ifi_flags & IFF_LOOPBACK) != 0;
    bool lowerElsewhere = false;
    int left = static_cast<int>(IFLA_PAYLOAD(&h));
    for (const rtattr* a = IFLA_RTA(m); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        switch (a->rta_type) {
        case IFLA_IFNAME:
            link.name = attrString(a);
            break;
        case IFLA_LINK:
            link.lowerIndex = attrInt(a);
            break;
        case IFLA_LINK_NETNSID:
            lowerElsewhere = true; // a veth's peer, say, in another namespace
            break;
        case IFLA_MASTER:
            link.masterIndex = attrInt(a);
            break;
        case IFLA_PARENT_DEV_NAME:
            link.attributes.parentDevice = attrString(a);
            break;
        case IFLA_LINKINFO: {
            int innerLeft = static_cast<int>(RTA_PAYLOAD(a));
            for (const auto* i = static_cast<const rtattr*>(RTA_DATA(a)); RTA_OK(i, innerLeft);
                 i = RTA_NEXT(i, innerLeft)) {
                if (i->rta_type == IFLA_INFO_KIND) {
                    link.attributes.kind = attrString(i);
                }
            }
            break;
        }
        default:
            break;
        }
    }
    if (lowerElsewhere || link.lowerIndex == link.index) {
        link.lowerIndex = 0;
    }
    return link;
}

// Appends the output links of a main-table default route (IPv4 or IPv6, multipath too).
void parseDefaultRoute(const nlmsghdr& h, std::vector<int>& out) {
    if (h.nlmsg_type != RTM_NEWROUTE || h.nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) {
        return;
    }
    const auto* r = static_cast<const rtmsg*>(NLMSG_DATA(&h));
    if ((r->rtm_family != AF_INET && r->rtm_family != AF_INET6) || r->rtm_dst_len != 0 ||
        r->rtm_type != RTN_UNICAST) {
        return;
    }
    unsigned table = r->rtm_table;
    std::vector<int> found;
    int left = static_cast<int>(RTM_PAYLOAD(&h));
    for (const rtattr* a = RTM_RTA(r); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        if (a->rta_type == RTA_TABLE) {
            table = static_cast<unsigned>(attrInt(a));
        } else if (a->rta_type == RTA_OIF) {
            found.push_back(attrInt(a));
        } else if (a->rta_type == RTA_MULTIPATH) {
            const auto* hop = static_cast<const rtnexthop*>(RTA_DATA(a));
            std::size_t hopsLeft = RTA_PAYLOAD(a);
            while (hopsLeft >= sizeof(rtnexthop) && hop->rtnh_len >= sizeof(rtnexthop) &&
                   hop->rtnh_len <= hopsLeft) {
                found.push_back(hop->rtnh_ifindex);
                const std::size_t step = std::min<std::size_t>(RTNH_ALIGN(hop->rtnh_len), hopsLeft);
                hopsLeft -= step;
                hop = reinterpret_cast<const rtnexthop*>(reinterpret_cast<const char*>(hop) + step);
            }
        }
    }
    if (table == RT_TABLE_MAIN) {
        out.insert(out.end(), found.begin(), found.end());
    }
}

// Lines look like "  eth0: 123 4 0 0 0 0 0 0 567 8 ...": the name up to the colon (large
// counters may touch it), received bytes first, sent bytes ninth.
bool parseProcNetDev(std::string_view text, const std::vector<LinkReading>& links,
                     std::vector<Counters>& out) {
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
        const auto it = std::find_if(links.begin(), links.end(),
                                     [name](const LinkReading& l) { return l.name == name; });
        if (it != links.end()) {
            out.push_back({it->index, {fields[0], fields[8]}});
        }
    }
    return true;
}

class LinkSource {
public:
    LinkSource() = default;
    ~LinkSource() {
        if (m_proc >= 0) {
            ::close(m_proc);
        }
    }
    LinkSource(const LinkSource&) = delete;
    LinkSource& operator=(const LinkSource&) = delete;

    std::optional<LinkTable> read() {
        m_counters.clear();
        const bool useProc = m_forceProc || m_statsUnsupported;
        if (!useProc && !dumpStats()) {
            if (errno != EOPNOTSUPP && errno != EINVAL) {
                return std::nullopt;
            }
            m_statsUnsupported = true; // a kernel older than 4.7: use the text file for good
        }
        if (announcedChange() || !m_tableKnown || (!useProc && !countersMatchTable())) {
            if (!dumpLinksAndRoutes()) {
                return std::nullopt;
            }
        }
        if ((m_forceProc || m_statsUnsupported) && !readProc()) {
            return std::nullopt;
        }
        LinkTable table;
        table.edgeKnown = true;
        table.links.reserve(m_counters.size());
        for (const Counters& c : m_counters) {
            const auto it =
                std::lower_bound(m_links.begin(), m_links.end(), c.index,
                                 [](const LinkReading& l, int index) { return l.index < index; });
            if (it == m_links.end() || it->index != c.index) {
                continue; // came after the link dump; the next read has it
            }
            table.links.push_back(*it);
            table.links.back().bytes = c.bytes;
        }
        return table;
    }

    std::atomic<bool> m_forceProc{false};

private:
    nldump::Socket m_socket{NETLINK_ROUTE, RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE};
    int m_proc = -1;
    bool m_statsUnsupported = false;
    bool m_tableKnown = false;
    std::vector<LinkReading> m_links; // sorted by index, counters unset
    std::vector<Counters> m_counters;
    std::string m_procText;

    // Whether links or routes may have changed since the table was dumped. The kernel's
    // announcements queue on the dump socket and are noted while a dump reads past them;
    // without a stats dump they are read here.
    bool announcedChange() {
        if (m_forceProc || m_statsUnsupported) {
            m_socket.drainAnnouncements();
        }
        return m_socket.takeAnnouncements();
    }

    bool dumpStats() {
        if_stats_msg body{};
        body.family = AF_UNSPEC;
        body.filter_mask = IFLA_STATS_FILTER_BIT(IFLA_STATS_LINK_64);
        return m_socket.dump(
            nldump::makeRequest(RTM_GETSTATS, &body, sizeof body),
            [this](const nlmsghdr& h) {
                if (h.nlmsg_type != RTM_NEWSTATS ||
                    h.nlmsg_len < NLMSG_LENGTH(sizeof(if_stats_msg))) {
                    return;
                }
                const auto* m = static_cast<const if_stats_msg*>(NLMSG_DATA(&h));
                int left = static_cast<int>(h.nlmsg_len - NLMSG_LENGTH(sizeof(if_stats_msg)));
                const auto* a = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(m) +
                                                                NLMSG_ALIGN(sizeof(if_stats_msg)));
                for (; RTA_OK(a, left); a = RTA_NEXT(a, left)) {
                    if (a->rta_type == IFLA_STATS_LINK_64 &&
                        RTA_PAYLOAD(a) >= sizeof(rtnl_link_stats64)) {
                        rtnl_link_stats64 s; // attribute data is only 4-byte aligned
                        std::memcpy(&s, RTA_DATA(a), sizeof s);
                        m_counters.push_back(
                            {static_cast<int>(m->ifindex), {s.rx_bytes, s.tx_bytes}});
                    }
                }
            },
            [this] { m_counters.clear(); });
    }

    bool dumpLinksAndRoutes() {
        std::vector<LinkReading> links;
        ifinfomsg linkBody{};
        linkBody.ifi_family = AF_UNSPEC;
        std::vector<unsigned char> linkRequest =
            nldump::makeRequest(RTM_GETLINK, &linkBody, sizeof linkBody);
        const std::uint32_t skipStats = RTEXT_FILTER_SKIP_STATS;
        nldump::appendAttribute(linkRequest, IFLA_EXT_MASK, &skipStats, sizeof skipStats);
        const bool linksOk = m_socket.dump(
            std::move(linkRequest),
            [&links](const nlmsghdr& h) {
                if (h.nlmsg_type == RTM_NEWLINK && h.nlmsg_len >= NLMSG_LENGTH(sizeof(ifinfomsg))) {
                    links.push_back(parseLink(h));
                }
            },
            [&links] { links.clear(); });
        if (!linksOk) {
            return false;
        }
        std::vector<int> defaults;
        rtmsg routeBody{};
        routeBody.rtm_family = AF_UNSPEC;
        if (!m_socket.dump(
                nldump::makeRequest(RTM_GETROUTE, &routeBody, sizeof routeBody),
                [&defaults](const nlmsghdr& h) { parseDefaultRoute(h, defaults); },
                [&defaults] { defaults.clear(); })) {
            return false;
        }
        for (LinkReading& l : links) {
            l.defaultRoute = std::find(defaults.begin(), defaults.end(), l.index) != defaults.end();
        }
        std::sort(links.begin(), links.end(),
                  [](const LinkReading& a, const LinkReading& b) { return a.index < b.index; });
        m_links = std::move(links);
        m_tableKnown = true;
        return true;
    }

    bool countersMatchTable() const {
        return m_counters.size() == m_links.size() &&
               std::all_of(m_counters.begin(), m_counters.end(), [this](const Counters& c) {
                   return std::binary_search(
                       m_links.begin(), m_links.end(), c.index,
                       [](const auto& x, const auto& y) { return indexOf(x) < indexOf(y); });
               });
    }
    static int indexOf(int index) { return index; }
    static int indexOf(const LinkReading& l) { return l.index; }

    // /proc/net/dev can exceed what one read returns, so it is read to end of file.
    bool readProc() {
        if (m_proc < 0) {
            m_proc = ::open("/proc/net/dev", O_RDONLY | O_CLOEXEC);
            if (m_proc < 0) {
                return false;
            }
        }
        if (::lseek(m_proc, 0, SEEK_SET) != 0) {
            return false;
        }
        m_procText.clear();
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(m_proc, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return false;
            }
            if (n == 0) {
                break;
            }
            m_procText.append(chunk, static_cast<std::size_t>(n));
        }
        m_counters.clear();
        if (!parseProcNetDev(m_procText, m_links, m_counters)) {
            return false;
        }
        std::sort(m_counters.begin(), m_counters.end(),
                  [](const Counters& a, const Counters& b) { return a.index < b.index; });
        return true;
    }
};

std::mutex gMutex;

LinkSource& source() {
    static LinkSource s;
    return s;
}

} // namespace

void netForceProcFallback(bool force) {
    source().m_forceProc = force;
}

std::optional<LinkTable> netReadLinks() {
    std::lock_guard lock(gMutex);
    return source().read();
}
