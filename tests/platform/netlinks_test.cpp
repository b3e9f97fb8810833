// Which links count: the automatic choice over real topologies; and the readers that sum their
// counters.

#include "BsdInterfaceList.h"
#include "NetCounters.h"
#include "NetLinks.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

using M = LinkMedium;

LinkAttributes attrs(M medium, std::string kind = {}, std::string parent = {}) {
    return LinkAttributes{medium, false, std::move(kind), std::move(parent)};
}

LinkReading link(int index, const char* name, LinkAttributes a, bool defaultRoute = false,
                 int master = 0, int lower = 0) {
    return {index, name, std::move(a), lower, master, defaultRoute};
}

using Names = std::vector<std::string>;

Names counted(const LinkTable& t, const InterfaceChoice& c = {}) {
    const std::vector<bool> flags = netCountedLinks(t, c);
    Names names;
    for (std::size_t i = 0; i < flags.size(); ++i)
        if (flags[i])
            names.push_back(t.links[i].name);
    return names;
}

TEST(LinkChoice, AutomaticCountsEachByteWhereItCrossesTheEdge) {
    const LinkReading lo = link(1, "lo", {M::Loopback, true, {}, {}});
    const LinkAttributes pci = attrs(M::Ethernet, {}, "0000:00:1f.6");

    // A laptop with containers, a VPN whose default route lives in its own table, a Wi-Fi
    // link that carries the main default route and a modem of the kernel's WWAN framework.
    LinkTable laptop{{lo, link(2, "enp0s31f6", pci), link(3, "wlan0", pci, true),
                      link(4, "docker0", attrs(M::Ethernet, "bridge")),
                      link(5, "veth1", attrs(M::Ethernet, "veth"), false, 4),
                      link(6, "wg0", attrs(M::Tunnel, "wireguard")),
                      link(7, "wwan0", attrs(M::Tunnel, "wwan"))},
                     true};
    EXPECT_EQ(counted(laptop), (Names{"enp0s31f6", "wlan0", "wwan0"}));

    // A VM host: the default route on a bridge over the physical port, a VLAN on a NIC, a
    // VLAN on a bond of physical ports. Their bytes are counted on the ports beneath. A NIC
    // the kernel names without a parent device is physical; an unrouted ppp link of an older
    // kernel (no link kind) is not.
    LinkTable host{{lo, link(2, "enp3s0", pci, false, 3),
                    link(3, "br0", attrs(M::Ethernet, "bridge"), true),
                    link(4, "vnet0", attrs(M::Ethernet, "tun"), false, 3),
                    link(5, "eth1", pci, false, 6), link(6, "bond0", attrs(M::Ethernet, "bond")),
                    link(7, "bond0.10", attrs(M::Ethernet, "vlan"), true, 0, 6),
                    link(8, "eth2", pci), link(9, "eth2.5", attrs(M::Ethernet, "vlan"), true, 0, 8),
                    link(10, "eth3", attrs(M::Ethernet)), link(11, "ppp1", attrs(M::Ppp))},
                   true};
    EXPECT_EQ(counted(host), (Names{"enp3s0", "eth1", "eth2", "eth3"}));

    // A dial-up modem: nothing physical carries its bytes, so its default route counts it.
    LinkTable modem{{lo, link(2, "wlan0", pci), link(3, "ppp0", attrs(M::Ppp, "ppp"), true)}, true};
    EXPECT_EQ(counted(modem), (Names{"wlan0", "ppp0"}));

    // A namespace routed through an uplink veth, with a container's veth beside it.
    LinkTable routed{{lo, link(2, "up0", attrs(M::Ethernet, "veth"), true),
                      link(3, "ct0", attrs(M::Ethernet, "veth"))},
                     true};
    EXPECT_EQ(counted(routed), (Names{"up0"}));
    EXPECT_EQ(counted(routed, {InterfaceChoice::Mode::All, {}}), (Names{"up0", "ct0"}));
    EXPECT_EQ(counted(routed, {InterfaceChoice::Mode::Named, {"ct0", "gone0"}}), (Names{"ct0"}));

    // Nothing physical and no default route (a container), or an OS that cannot tell:
    // every link but loopback.
    LinkTable container{{lo, link(2, "eth0", attrs(M::Ethernet, "veth"))}, true};
    EXPECT_EQ(counted(container), (Names{"eth0"}));
    laptop.edgeKnown = false;
    EXPECT_EQ(counted(laptop), (Names{"enp0s31f6", "wlan0", "docker0", "veth1", "wg0", "wwan0"}));
    EXPECT_EQ(counted(LinkTable{{lo}, true}), Names{});
}

// One message laid out like the kernel's interface record, taking up its length but at
// least a record's size.
struct Record {
    std::uint16_t msgLength;
    std::uint8_t type;
    std::uint64_t in, out;
};

TEST(NetWalk, SumsTheCountedInterfaceRecordsAndReadsNothingPastTheEnd) {
    const struct {
        const char* what;
        std::vector<Record> records;
        NetTotals expected;
        std::size_t cut = 0; // bytes missing from the end of the list
    } cases[] = {
        {"every interface record", {{160, 18, 1000, 200}, {160, 18, 500, 300}}, {1500, 500}},
        {"shorter than one record", {{159, 18, 1, 1}}, {}, 1},
        {"other messages stepped over by their length",
         {{160, 18, 10, 20}, {200, 14, 99, 99}, {160, 18, 1, 2}},
         {11, 22}},
        {"a last record cut short", {{160, 18, 5, 6}, {160, 18, 9, 9}}, {5, 6}, 60},
        {"zero length counts, then ends the walk",
         {{160, 18, 1, 1}, {0, 18, 10, 20}, {160, 18, 100, 200}},
         {11, 21}},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> list;
        for (const Record& r : c.records) {
            const std::size_t at = list.size();
            // Filler that would show up in the sums if misread.
            list.resize(at + std::max<std::size_t>(r.msgLength, 160), 0xAB);
            std::memcpy(&list[at], &r.msgLength, 2);
            list[at + 3] = r.type;
            std::memcpy(&list[at + 96], &r.in, 8);
            std::memcpy(&list[at + 104], &r.out, 8);
        }
        // A block of exactly the list's size, so that the sanitizer build catches a read
        // past its end.
        const std::size_t length = list.size() - c.cut;
        std::unique_ptr<unsigned char[]> exact(new unsigned char[length]);
        std::memcpy(exact.get(), list.data(), length);
        ByteCounts sum;
        netWalkInterfaceRecords(exact.get(), length, [&sum](const bsdlist::Record& r) {
            sum += {r.inBytes, r.outBytes};
        });
        EXPECT_EQ(sum, c.expected) << c.what;
    }
}

// Without root this is the only check of real byte counters. Both routes read the same
// kernel counters, which only grow: each link's /proc/net/dev figures lie between two
// netlink readings (bytes for packets, or another link's figures, would not).
TEST(NetCounters, BothRoutesReadTheKernelsCountersOfEveryLink) {
    const std::optional<LinkTable> before = netReadLinks();
    netForceProcFallback(true);
    const std::optional<LinkTable> proc = netReadLinks();
    netForceProcFallback(false);
    const std::optional<LinkTable> after = netReadLinks();
    ASSERT_TRUE(before && proc && after && before->edgeKnown && proc->edgeKnown);
    ASSERT_TRUE(proc->links.size() == before->links.size() &&
                after->links.size() == before->links.size());
    for (std::size_t i = 0; i < proc->links.size(); ++i) {
        const LinkReading &b = before->links[i], &p = proc->links[i], &a = after->links[i];
        ASSERT_EQ(p.name, b.name);
        EXPECT_TRUE(b.bytes.in <= p.bytes.in && p.bytes.in <= a.bytes.in) << p.name;
        EXPECT_TRUE(b.bytes.out <= p.bytes.out && p.bytes.out <= a.bytes.out) << p.name;
        EXPECT_EQ(linkClassify(p.attributes) == LinkClass::Loopback, p.name == "lo") << p.name;
    }
}

} // namespace
