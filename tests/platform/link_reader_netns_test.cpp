// The Linux reader against the kernel, in a network namespace of the test's own: a default route
// that comes and goes (seen through the kernel's announcements alone, as the links stay the
// same), through both the netlink and the /proc/net/dev route to the same links.

#include "NetCounters.h"
#include "TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

using namespace qftest;

TEST(LinkReaderNetns, DefaultRoutesOfRealLinksComeAndGo) {
    NetnsPair net;
    if (!net.ready())
        GTEST_SKIP() << net.why();
    ChildOptions o;
    o.netns = net.a(); // so the reader's socket belongs to the namespace
    o.body = [&net] {
        const std::string add = std::string("ip route add default via ") + NetnsPair::kAddrB;
        const struct {
            const char* what;
            const char* command;
            bool proc;
            bool routed;
        } steps[] = {
            {"no default route yet", "true", false, false},
            {"the new default route", add.c_str(), false, true},
            {"the removed route", "ip route del default", false, false},
            {"the route via /proc/net/dev", add.c_str(), true, true},
        };
        int failures = 0;
        for (const auto& s : steps) {
            netForceProcFallback(s.proc);
            const bool done = std::system(s.command) == 0;
            const auto table = netReadLinks();
            const LinkReading* veth = nullptr;
            for (std::size_t i = 0; table && i < table->links.size(); ++i) {
                if (table->links[i].name == net.ifaceA())
                    veth = &table->links[i];
            }
            // The peer lives in another namespace: nothing here is beneath the veth.
            if (!done || !veth || veth->defaultRoute != s.routed || veth->lowerIndex != 0) {
                std::printf("%s\n", s.what);
                ++failures;
            }
        }
        std::fflush(stdout);
        return failures;
    };
    const RunResult r = run(std::move(o));
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}
