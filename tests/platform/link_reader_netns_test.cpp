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
    const auto find = [&veth](const LinkTable& t) -> const LinkReading* {
        for (const LinkReading& l : t.links) {
            if (l.name == veth) {
                return &l;
            }
        }
        return nullptr;
    };
    const auto defaultRouted = [&]() -> int {
        const std::optional<LinkTable> t = netReadLinks();
        const LinkReading* l = t ? find(*t) : nullptr;
        return l ? (l->defaultRoute ? 1 : 0) : -1;
    };

    std::optional<LinkTable> table = netReadLinks();
    expect(table && table->edgeKnown && table->links.size() == 2, "lo and the veth expected");
    if (const LinkReading* l = table ? find(*table) : nullptr) {
        expect(l->attributes.kind == "veth", "kind: " + l->attributes.kind);
        expect(linkClassify(l->attributes) == LinkClass::Virtual, "a veth is virtual");
        expect(l->lowerIndex == 0, "the peer lives in another namespace");
        expect(!l->defaultRoute, "no default route yet");
    } else {
        expect(false, "no link " + veth);
    }
    const std::string route = std::string("ip route add default via ") + gateway;
    expect(std::system(route.c_str()) == 0, route);
    expect(defaultRouted() == 1, "the new default route was not seen");
    expect(std::system("ip route del default") == 0, "ip route del default");
    expect(defaultRouted() == 0, "the removed default route was still seen");

    netForceProcFallback(true);
    const std::optional<LinkTable> viaProc = netReadLinks();
    expect(viaProc && viaProc->links.size() == 2 && find(*viaProc), "/proc/net/dev route");
    expect(std::system(route.c_str()) == 0, route);
    expect(defaultRouted() == 1, "the default route was not seen through /proc/net/dev");
    netForceProcFallback(false);
    std::fflush(stdout);
    return failures;
}

TEST(LinkReaderNetns, KindsAndDefaultRoutesOfRealLinks) {
    NetnsPair::removeStale();
    NetnsPair net;
    if (!net.ready()) {
        GTEST_SKIP() << net.why();
    }
    ChildOptions o;
    o.netns = net.a();
    o.body = [&net] { return checkInside(net.ifaceA(), NetnsPair::kAddrB); };
    const RunResult r = run(std::move(o));
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

} // namespace
