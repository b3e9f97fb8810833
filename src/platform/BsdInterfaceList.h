#pragma once

#include "NetCounters.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

// The BSD routing socket's interface list (sysctl {CTL_NET, PF_ROUTE, 0, 0, NET_RT_IFLIST2, 0}):
// packed messages, of which the interface messages are 160-byte records with 64-bit counters.
// Only macOS reads it from the kernel; the walk is pure and built and tested everywhere.

namespace bsdlist {

// Layout of one interface message (all integers in native byte order).
inline constexpr std::size_t kRecordSize = 160;
inline constexpr std::size_t kOffLength = 0;     // u16 message length, 0 ends the list
inline constexpr std::size_t kOffType = 3;       // u8 message type
inline constexpr std::size_t kOffIndex = 12;     // u16 interface index
inline constexpr std::size_t kOffIfType = 32;    // u8 interface type
inline constexpr std::size_t kOffInBytes = 96;   // u64 bytes received
inline constexpr std::size_t kOffOutBytes = 104; // u64 bytes sent

inline constexpr std::uint8_t kTypeInterfaceInfo = 18;
inline constexpr std::uint8_t kIfTypeEthernet = 6;
inline constexpr std::uint8_t kIfTypeLoopback = 24;

struct Record {
    std::uint16_t index = 0;
    std::uint8_t ifType = 0;
    std::uint64_t inBytes = 0;
    std::uint64_t outBytes = 0;
};

} // namespace bsdlist

// Calls visit(const bsdlist::Record&) for each interface message of the list, loopback
// included. Reads nothing outside [data, data + length): a message that starts fewer than 160
// bytes before the end is not read, and a length field of 0 ends the walk after its own
// message.
template <typename Visit>
void netWalkInterfaceRecords(const unsigned char* data, std::size_t length, Visit&& visit) {
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

// What a BSD interface type says of a link, for its class.
LinkAttributes bsdLinkAttributes(std::uint8_t ifType);
