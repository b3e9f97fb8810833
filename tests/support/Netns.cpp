#include "Netns.h"

#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <unistd.h>

namespace qftest {

NetnsPair::NetnsPair(bool ipv6) {
    static int serial = 0;
    // The test's pid in every name, so parallel runs never meet; interface names hold at
    // most 15 characters.
    const std::string id = std::to_string(::getpid() % 100000) + "x" + std::to_string(serial++);
    m_a = "qft-" + id + "-a";
    m_b = "qft-" + id + "-b";
    m_ifA = "qt" + id + "a";
    m_ifB = "qt" + id + "b";
    if (::geteuid() != 0 || !missingProgram({"ip", "sysctl"}).empty()) {
        m_why = "needs root, iproute2 and sysctl to make network namespaces";
        return;
    }
    m_added = true;
    // Each step an `ip` command line; IPv6 is switched off before the links come up (-e: a
    // kernel without IPv6 is just as quiet).
    std::vector<std::string> steps = {"netns add " + m_a, "netns add " + m_b,
                                      "link add " + m_ifA + " netns " + m_a +
                                          " type veth peer name " + m_ifB + " netns " + m_b};
    for (const auto& [ns, dev, addr, addr6] :
         {std::tuple{m_a, m_ifA, kAddrA, kAddr6A}, {m_b, m_ifB, kAddrB, kAddr6B}}) {
        steps.push_back("-n " + ns + " link set lo up");
        steps.push_back("-n " + ns + " addr add " + addr + "/24 dev " + dev);
        steps.push_back(ipv6 ? "-n " + ns + " addr add " + addr6 + "/64 dev " + dev + " nodad"
                             : "netns exec " + ns +
                                   " sysctl -qew net.ipv6.conf.all.disable_ipv6=1"
                                   " net.ipv6.conf.default.disable_ipv6=1");
        steps.push_back("-n " + ns + " link set " + dev + " up");
    }
    for (const std::string& step : steps) {
        std::istringstream words("ip " + step);
        if (const RunResult r = run({std::istream_iterator<std::string>(words), {}});
            r.exitCode != 0) {
            m_why = "ip " + step + " failed: " + r.err;
            return;
        }
    }
    m_ready = true;
}

std::optional<Counters> interfaceCounters(const std::string& netns) {
    // /proc/net belongs to the reading process's namespace.
    const RunResult r = run({.argv = {"cat", "/proc/net/dev"}, .netns = netns});
    std::istringstream in(r.out);
    Counters c;
    bool any = false;
    for (std::string line; std::getline(in, line);) {
        // "  name: rx_bytes packets errs drop fifo frame compressed multicast tx_bytes ..."
        char name[64] = {};
        std::uint64_t rx = 0, tx = 0;
        if (std::sscanf(line.c_str(), " %63[^:]: %" SCNu64 " %*s %*s %*s %*s %*s %*s %*s %" SCNu64,
                        name, &rx, &tx) == 3 &&
            std::string(name) != "lo") {
            c.rx += rx;
            c.tx += tx;
            any = true;
        }
    }
    return r.exitCode == 0 && any ? std::optional(c) : std::nullopt;
}

} // namespace qftest
