// The Linux reader against the kernel, in a network namespace of the test's own: a default route
// that comes and goes (seen through the kernel's announcements alone, as the links stay the
// same), through both the netlink and the /proc/net/dev route to the same links.

#include "NetCounters.h"
#include "TestSupport.h"

#include <algorithm>
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
        // The command, whether through /proc/net/dev, whether routed. The exit code is the
        // failing step's, counted from 1.
        const std::tuple<const char*, bool, bool> steps[] = {{"true", false, false},
                                                             {add.c_str(), false, true},
                                                             {"ip route del default", false, false},
                                                             {add.c_str(), true, true}};
        for (int i = 0; i < 4; ++i) {
            const auto& [command, proc, routed] = steps[i];
            netForceProcFallback(proc);
            const bool done = std::system(command) == 0;
            const LinkTable table = netReadLinks().value_or(LinkTable{});
            const auto veth = std::ranges::find(table.links, net.ifaceA(), &LinkReading::name);
            // The peer lives in another namespace: nothing here is beneath the veth.
            if (!done || veth == table.links.end() || veth->defaultRoute != routed ||
                veth->lowerIndex != 0)
                return i + 1;
        }
        return 0;
    };
    const RunResult r = run(std::move(o));
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}
