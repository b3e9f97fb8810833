// Which links count: classes from real link descriptions, the automatic choice over real
// topologies.

#include "BsdInterfaceList.h"
#include "NetLinks.h"

#include <gtest/gtest.h>
#include <string>
#include <tuple>
#include <vector>

namespace {

using M = LinkMedium;

LinkAttributes attrs(M medium, std::string kind = {}, std::string parent = {}) {
    return LinkAttributes{medium, false, std::move(kind), std::move(parent)};
}

// As RTM_GETLINK describes these links on real machines. Loopback, bus devices and driver kinds
// are classed in the topologies below too.
TEST(LinkClass, RealLinkDescriptions) {
    const std::tuple<const char*, LinkAttributes, LinkClass> links[] = {
        {"eth0, kernel naming no parent", attrs(M::Ethernet), LinkClass::Physical},
        {"wwan0 (WWAN framework)", attrs(M::Tunnel, "wwan", {}), LinkClass::Physical},
        {"ppp0, older kernel", attrs(M::Ppp), LinkClass::Virtual},
        {"macOS lo0", bsdLinkAttributes(24), LinkClass::Loopback},
        {"macOS en0", bsdLinkAttributes(6), LinkClass::Physical},
        {"macOS bridge0", bsdLinkAttributes(0xd1), LinkClass::Virtual},
        {"macOS utun3", bsdLinkAttributes(1), LinkClass::Virtual},
    };
    for (const auto& [what, attributes, expected] : links)
        EXPECT_EQ(linkClassify(attributes), expected) << what;
}

LinkReading link(int index, const char* name, LinkAttributes a, bool defaultRoute = false,
                 int master = 0, int lower = 0) {
    return {.index = index,
            .name = name,
            .attributes = std::move(a),
            .lowerIndex = lower,
            .masterIndex = master,
            .defaultRoute = defaultRoute};
}

std::vector<std::string> counted(const LinkTable& t, const InterfaceChoice& c = {}) {
    const std::vector<bool> flags = netCountedLinks(t, c);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < flags.size(); ++i)
        if (flags[i])
            names.push_back(t.links[i].name);
    return names;
}

using Names = std::vector<std::string>;

TEST(LinkChoice, AutomaticCountsEachByteWhereItCrossesTheEdge) {
    const LinkReading lo = link(1, "lo", {M::Loopback, true, {}, {}});
    const LinkAttributes pci = attrs(M::Ethernet, {}, "0000:00:1f.6");

    // A laptop with containers, a VPN whose default route lives in its own table, and a
    // Wi-Fi link that carries the main default route.
    LinkTable laptop{{lo, link(2, "enp0s31f6", pci), link(3, "wlan0", pci, true),
                      link(4, "docker0", attrs(M::Ethernet, "bridge")),
                      link(5, "veth1", attrs(M::Ethernet, "veth"), false, 4),
                      link(6, "wg0", attrs(M::Tunnel, "wireguard"))},
                     true};
    EXPECT_EQ(counted(laptop), (Names{"enp0s31f6", "wlan0"}));

    // A VM host: the default route on a bridge over the physical port, a VLAN on a NIC, a
    // VLAN on a bond of physical ports. Their bytes are counted on the ports beneath.
    LinkTable host{
        {lo, link(2, "enp3s0", pci, false, 3), link(3, "br0", attrs(M::Ethernet, "bridge"), true),
         link(4, "vnet0", attrs(M::Ethernet, "tun"), false, 3), link(5, "eth1", pci, false, 6),
         link(6, "bond0", attrs(M::Ethernet, "bond")),
         link(7, "bond0.10", attrs(M::Ethernet, "vlan"), true, 0, 6), link(8, "eth2", pci),
         link(9, "eth2.5", attrs(M::Ethernet, "vlan"), true, 0, 8)},
        true};
    EXPECT_EQ(counted(host), (Names{"enp3s0", "eth1", "eth2"}));

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
    EXPECT_EQ(counted(laptop), (Names{"enp0s31f6", "wlan0", "docker0", "veth1", "wg0"}));
    EXPECT_EQ(counted(LinkTable{{lo}, true}), Names{});
}

} // namespace
