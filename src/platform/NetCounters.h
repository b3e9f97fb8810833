#pragma once

#include "ByteCounts.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The network links of this machine (of its network namespace, on Linux) with their
// cumulative byte counters, read the way each OS offers them. Which links count towards the
// widget's figures is decided above this layer (NetLinks.h), from what is read here.

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

// One reading of every link; nullopt when the OS could not give the list.
std::optional<LinkTable> netReadLinks();

#ifdef __linux__
// Reads the counters from /proc/net/dev instead of RTM_GETSTATS, as on kernels before 4.7.
// For tests and the benchmark; the reader switches on its own when the kernel refuses.
void netForceProcFallback(bool force);
#endif
