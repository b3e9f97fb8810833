#pragma once

#include "NetCounters.h"

#include <string>
#include <string_view>
#include <vector>

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
