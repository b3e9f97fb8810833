#include "BsdInterfaceList.h"

#include <cstring>

void netWalkInterfaceRecords(const unsigned char* data, std::size_t length,
                             const std::function<void(const bsdlist::Record&)>& visit) {
    using namespace bsdlist;
    std::size_t offset = 0;
    while (length >= kRecordSize && offset <= length - kRecordSize) {
        const unsigned char* msg = data + offset;
        std::uint16_t msgLength = 0;
        std::memcpy(&msgLength, msg + kOffLength, sizeof msgLength);
        if (msg[kOffType] == kTypeInterfaceInfo) {
            Record r;
            std::memcpy(&r.index, msg + kOffIndex, sizeof r.index);
            r.ifType = msg[kOffIfType];
            std::memcpy(&r.inBytes, msg + kOffInBytes, sizeof r.inBytes);
            std::memcpy(&r.outBytes, msg + kOffOutBytes, sizeof r.outBytes);
            visit(r);
        }
        if (msgLength == 0) {
            break;
        }
        offset += msgLength;
    }
}

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
