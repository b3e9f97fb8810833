// The Linux reader against the kernel, in a network namespace of the test's own: a default route
// that comes and goes (seen through the kernel's announcements alone, as the links stay the
// same), through both the netlink and the /proc/net/dev route to the same links.

#include "NetCounters.h"
#include "TestSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <tuple>

using namespace qftest;

TEST(LinkReaderNetns, DefaultRoutesOfRealLinksComeAndGo) {
    NetnsPair net;
    if (!net.ready())
        GTEST_SKIP() << net.why();
    ChildOptions o;
    o.netns = net.a(); // so the reader's socket belongs to the namespace
    o.body = [&net] {
        const std::string add = std::string("ip route add default via ") + NetnsPair::kAddrB;
        // What, the command, whether through /proc/net/dev, whether routed.
        const std::tuple<const char*, const char*, bool, bool> steps[] = {
            {"no default route yet", "true", false, false},
            {"the new default route", add.c_str(), false, true},
            {"the removed route", "ip route del default", false, false},
            {"the route via /proc/net/dev", add.c_str(), true, true},
        };
        int failures = 0;
        for (const auto& [what, command, proc, routed] : steps) {
            netForceProcFallback(proc);
            const bool done = std::system(command) == 0;
            const LinkTable table = netReadLinks().value_or(LinkTable{});
            const auto veth = std::find_if(table.links.begin(), table.links.end(),
                                           [&](const auto& l) { return l.name == net.ifaceA(); });
            // The peer lives in another namespace: nothing here is beneath the veth.
            if (!done || veth == table.links.end() || veth->defaultRoute != routed ||
                veth->lowerIndex != 0) {
                std::printf("%s\n", what);
                ++failures;
            }
        }
        std::fflush(stdout);
        return failures;
    };
    const RunResult r = run(std::move(o));
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}
