// The Linux reader against the kernel, in a network namespace of the test's own: link kinds,
// a default route that comes and goes (seen through the kernel's announcements alone, as the
// links stay the same), and the /proc/net/dev route to the same links.

#include "NetLinks.h"
#include "TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

using namespace qftest;

namespace {

// Runs in a child inside the namespace, so the reader's socket belongs to it. Prints what
// went wrong and returns non-zero.
int checkInside(const std::string& veth, const char* gateway) {
    int failures = 0;
    const auto expect = [&failures](bool ok, const std::string& what) {
        if (!ok) {
            std::printf("%s\n", what.c_str());
            ++failures;
        }
    };
    const auto read = [&veth](std::optional<LinkTable>& t) -> const LinkReading* {
        t = netReadLinks();
        for (std::size_t i = 0; t && i < t->links.size(); ++i) {
            if (t->links[i].name == veth)
                return &t->links[i];
        }
        return nullptr;
    };
    std::optional<LinkTable> table;
    const auto defaultRouted = [&] {
        const LinkReading* l = read(table);
        return l && l->defaultRoute;
    };
    const std::string route = std::string("ip route add default via ") + gateway;

    const LinkReading* l = read(table);
    expect(table && table->edgeKnown && table->links.size() == 2, "lo and the veth expected");
    expect(l && l->attributes.kind == "veth" && linkClassify(l->attributes) == LinkClass::Virtual,
           "a veth, virtual");
    expect(l && l->lowerIndex == 0, "the peer lives in another namespace");
    expect(!defaultRouted(), "no default route yet");
    expect(std::system(route.c_str()) == 0 && defaultRouted(), "the new default route");
    expect(std::system("ip route del default") == 0 && !defaultRouted(), "the removed route");

    netForceProcFallback(true);
    expect(read(table) && table->links.size() == 2, "/proc/net/dev route");
    expect(std::system(route.c_str()) == 0 && defaultRouted(), "the route via /proc/net/dev");
    netForceProcFallback(false);
    std::fflush(stdout);
    return failures;
}

TEST(LinkReaderNetns, KindsAndDefaultRoutesOfRealLinks) {
    NetnsPair net;
    if (!net.ready())
        GTEST_SKIP() << net.why();
    ChildOptions o;
    o.netns = net.a();
    o.body = [&net] { return checkInside(net.ifaceA(), NetnsPair::kAddrB); };
    const RunResult r = run(std::move(o));
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

} // namespace
