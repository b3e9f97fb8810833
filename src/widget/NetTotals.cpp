#include "NetTotals.h"

#include "NetCounters.h"
#include "Saturating.h"

#include <algorithm>
#include <cstring>
#include <vector>

NetTotals netWalkInterfaceList(const unsigned char* data, std::size_t length) {
    NetTotals sum;
    std::size_t offset = 0;
    while (length >= netlist::kRecordSize && offset <= length - netlist::kRecordSize) {
        const unsigned char* msg = data + offset;
        std::uint16_t msgLength = 0;
        std::memcpy(&msgLength, msg + netlist::kOffLength, sizeof msgLength);
        if (msg[netlist::kOffType] == netlist::kTypeInterfaceInfo &&
            msg[netlist::kOffIfType] != netlist::kIfTypeLoopback) {
            std::uint64_t in = 0;
            std::uint64_t out = 0;
            std::memcpy(&in, msg + netlist::kOffInBytes, sizeof in);
            std::memcpy(&out, msg + netlist::kOffOutBytes, sizeof out);
            sum.inBytes = saturatingAdd(sum.inBytes, in);
            sum.outBytes = saturatingAdd(sum.outBytes, out);
        }
        if (msgLength == 0) {
            break;
        }
        offset += msgLength;
    }
    return sum;
}

std::optional<NetTotals> tryReadNetTotals() {
    std::size_t length = 0;
    if (netSysctl(netlist::kName, netlist::kNameLength, nullptr, &length) != 0 || length < 1) {
        return std::nullopt;
    }
    // Reused between reads: the list's size hardly ever changes, and this runs every second.
    thread_local std::vector<unsigned char> buffer;
    buffer.resize(length);
    if (netSysctl(netlist::kName, netlist::kNameLength, buffer.data(), &length) != 0) {
        return std::nullopt;
    }
    return netWalkInterfaceList(buffer.data(), std::min(length, buffer.size()));
}

NetTotals readNetTotals() {
    return tryReadNetTotals().value_or(NetTotals{});
}
