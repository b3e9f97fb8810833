#include "NetCounters.h"

#include "BsdInterfaceList.h"

#include <algorithm>
#include <net/if.h>
#include <string>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <sys/types.h>
#include <vector>

// The interface list of the routing socket, walked by the shared walker. macOS tells no
// routes here, so the automatic choice counts every link but loopback, as it always did.
std::optional<LinkTable> netReadLinks() {
    int name[6] = {CTL_NET, PF_ROUTE, 0, 0, NET_RT_IFLIST2, 0};
    std::size_t length = 0;
    if (::sysctl(name, 6, nullptr, &length, nullptr, 0) != 0 || length < 1) {
        return std::nullopt;
    }
    // Reused between reads: the list's size hardly ever changes, and this runs every second.
    thread_local std::vector<unsigned char> buffer;
    buffer.resize(length);
    // No retry: a list that grew since the size query fails this read, and the sampler keeps
    // its baseline for the next one.
    if (::sysctl(name, 6, buffer.data(), &length, nullptr, 0) != 0) {
        return std::nullopt;
    }
    LinkTable table;
    table.edgeKnown = false;
    netWalkInterfaceRecords(
        buffer.data(), std::min(length, buffer.size()), [&table](const bsdlist::Record& r) {
            LinkReading link;
            link.index = r.index;
            char ifName[IF_NAMESIZE] = {};
            link.name = ::if_indextoname(r.index, ifName) ? std::string(ifName)
                                                          : "if" + std::to_string(r.index);
            link.attributes = bsdLinkAttributes(r.ifType);
            link.bytes = {r.inBytes, r.outBytes};
            table.links.push_back(std::move(link));
        });
    return table;
}
