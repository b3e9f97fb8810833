#include "BsdInterfaceList.h"

LinkAttributes bsdLinkAttributes(std::uint8_t ifType) {
    // Interface types of <net/if_types.h>.
    LinkAttributes a;
    switch (ifType) {
    case bsdlist::kIfTypeLoopback:
        a.medium = LinkMedium::Loopback;
        break;
    case bsdlist::kIfTypeEthernet: // wired and Wi-Fi alike
        a.medium = LinkMedium::Ethernet;
        break;
    case 0x17: // IFT_PPP
        a.medium = LinkMedium::Ppp;
        break;
    case 0x01: // IFT_OTHER: utun and other tunnels
    case 0x37: // IFT_GIF
    case 0x39: // IFT_STF
        a.medium = LinkMedium::Tunnel;
        break;
    case 0xd1: // IFT_BRIDGE
        a.medium = LinkMedium::Ethernet;
        a.kind = "bridge";
        break;
    default:
        break;
    }
    return a;
}
