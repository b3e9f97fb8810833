#pragma once

#include "ByteCounts.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The network links as the OS reports them (see NetCounters.h for the reading).

// What carries a link's frames, as far as the OS tells.
enum class LinkMedium : std::uint8_t { Other, Loopback, Ethernet, Wireless, Ppp, Tunnel, RawIp };

struct LinkAttributes {
    LinkMedium medium = LinkMedium::Other;
    bool loopbackFlag = false;
    std::string kind;         // the driver's link kind ("veth", "bridge", "wireguard" ...); empty
                              // for plain hardware
    std::string parentDevice; // the device behind the link ("0000:00:1f.6", "1-2:1.0"); empty
                              // when none (or the kernel does not say)
};

struct LinkReading {
    int index = 0;
    std::string name;
    LinkAttributes attributes;
    int lowerIndex = 0;        // the link this one is stacked on here (vlan, macvlan); 0 if none
    int masterIndex = 0;       // the bridge or bond this link is a port of; 0 if none
    bool defaultRoute = false; // carries a default route of the main table (IPv4 or IPv6)
    ByteCounts bytes{};
};

struct LinkTable {
    std::vector<LinkReading> links;
    // False where the OS reader knows neither link kinds nor routes; then the automatic
    // choice counts every link but loopback.
    bool edgeKnown = false;
};

// Which links the widget and the day totals count. Summing every link counts each byte
// that passes a container's veth and bridge, a VM's tap or a VPN's tunnel once more for
// every hop; the automatic choice counts each byte once, where it crosses the machine's edge.

enum class LinkClass : std::uint8_t { Loopback, Physical, Virtual };

// Pure: the class of a link from what the OS says of it.
LinkClass linkClassify(const LinkAttributes& attributes);

struct InterfaceChoice {
    enum class Mode : std::uint8_t { Auto, All, Named };
    Mode mode = Mode::Auto;
    std::vector<std::string> names; // for Named: the links to count, by name

    friend bool operator==(const InterfaceChoice&, const InterfaceChoice&) = default;
};

// The stored value of the "interfaces" key: "auto", "all" or link names. Items may carry
// several names split by commas or blanks (a hand-edited file); nothing usable reads as auto.
InterfaceChoice parseInterfaceChoice(const std::vector<std::string>& items);
// The stored form: {"auto"}, {"all"} or the names.
std::vector<std::string> formatInterfaceChoice(const InterfaceChoice& choice);

// Which links of a table to count, one flag per link. Auto: the physical links, and every
// link that carries a default route unless its bytes already pass a counted physical link
// beneath it (a bridge or bond over physical ports, a VLAN on a physical NIC); when that
// leaves nothing, or the OS could not tell, every link but loopback. All: every link but
// loopback. Named: the links with those names.
std::vector<bool> netCountedLinks(const LinkTable& table, const InterfaceChoice& choice);
