#include "BsdInterfaceList.h"
#include "NetTotals.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kMax = UINT64_MAX;

// Appends one message laid out like the kernel's interface record.
void addRecord(std::vector<unsigned char>& buf, std::uint16_t msgLength, std::uint8_t type,
               std::uint8_t ifType, std::uint64_t in, std::uint64_t out,
               std::size_t size = bsdlist::kRecordSize) {
    const std::size_t at = buf.size();
    buf.resize(at + size, 0xAB); // filler that would show up in the sums if misread
    std::memcpy(&buf[at], &msgLength, 2);
    buf[at + 3] = type;
    if (size >= 160) {
        buf[at + 32] = ifType;
        std::memcpy(&buf[at + 96], &in, 8);
        std::memcpy(&buf[at + 104], &out, 8);
    }
}

NetTotals walk(const std::vector<unsigned char>& b) {
    return netWalkInterfaceList(b.data(), b.size());
}

TEST(NetWalk, SumsCountedInterfacesOnly) {
    std::vector<unsigned char> b;
    addRecord(b, 160, 18, 6, 1000, 200);
    addRecord(b, 160, 18, 24, 7777, 8888); // loopback
    addRecord(b, 160, 18, 1, 500, 300);    // any other type counts
    EXPECT_EQ(walk(b), (NetTotals{1500, 500}));

    EXPECT_EQ(netWalkInterfaceList(nullptr, 0), (NetTotals{}));
    std::vector<unsigned char> shortList;
    addRecord(shortList, 159, 18, 6, 1, 1, 159);
    EXPECT_EQ(walk(shortList), (NetTotals{}));
}

TEST(NetWalk, StepsOverOtherMessagesByTheirLength) {
    std::vector<unsigned char> b;
    addRecord(b, 160, 18, 6, 10, 20);
    // An address message of 200 bytes that happens to carry 18 at byte 3 of a later
    // offset: only its own type counts, and the walk must land exactly after it.
    addRecord(b, 200, 14, 6, 99, 99, 200);
    b[160 + 160 + 3] = 18;
    addRecord(b, 160, 18, 6, 1, 2);
    EXPECT_EQ(walk(b), (NetTotals{11, 22}));

    // A last message starting fewer than 160 bytes before the end is not read.
    std::vector<unsigned char> tail;
    addRecord(tail, 160, 18, 6, 5, 6);
    addRecord(tail, 100, 18, 6, 9, 9, 100);
    EXPECT_EQ(walk(tail), (NetTotals{5, 6}));
}

TEST(NetWalk, ZeroLengthCountsThenEnds) {
    std::vector<unsigned char> b;
    addRecord(b, 160, 18, 6, 1, 1);
    addRecord(b, 0, 18, 6, 10, 20);
    addRecord(b, 160, 18, 6, 100, 200); // never reached
    EXPECT_EQ(walk(b), (NetTotals{11, 21}));

    std::vector<unsigned char> loopEnd;
    addRecord(loopEnd, 0, 18, 24, 10, 20);
    addRecord(loopEnd, 160, 18, 6, 100, 200);
    EXPECT_EQ(walk(loopEnd), (NetTotals{}));
}

TEST(NetWalk, SumsSaturate) {
    std::vector<unsigned char> b;
    addRecord(b, 160, 18, 6, kMax - 5, 3);
    addRecord(b, 160, 18, 6, 10, kMax);
    addRecord(b, 160, 18, 6, 10, 1);
    EXPECT_EQ(walk(b), (NetTotals{kMax, kMax}));
}

// Random lists with random length fields, each in a heap block of exactly its size so
// that the sanitizer build catches a read past the end.
TEST(NetWalk, NeverReadsPastTheBuffer) {
    std::mt19937_64 rng(20261206);
    for (int round = 0; round < 20000; ++round) {
        const std::size_t len = rng() % 1200;
        std::unique_ptr<unsigned char[]> block(new unsigned char[len == 0 ? 1 : len]);
        for (std::size_t i = 0; i < len; ++i) {
            block[i] = static_cast<unsigned char>(rng());
        }
        // Plant plausible headers often, so walks go deep instead of stopping at once.
        for (std::size_t at = 0; at + 4 <= len; at += 1 + rng() % 200) {
            const std::uint16_t l =
                static_cast<std::uint16_t>(rng() % 4 == 0 ? rng() : rng() % 400);
            std::memcpy(&block[at], &l, 2);
            block[at + 3] = rng() % 2 ? 18 : static_cast<unsigned char>(rng());
        }
        const NetTotals t = netWalkInterfaceList(block.get(), len);
        if (len < 160) {
            EXPECT_EQ(t, (NetTotals{}));
        }
    }
}

// ---- Counting the chosen links: no jump when the set changes -------------------------

LinkReading reading(int index, const char* name, std::uint64_t in, std::uint64_t out,
                    bool physical = true) {
    LinkReading l;
    l.index = index;
    l.name = name;
    l.attributes.medium = LinkMedium::Ethernet;
    l.attributes.kind = physical ? "" : "veth";
    l.inBytes = in;
    l.outBytes = out;
    return l;
}

TEST(LinkCounter, GrowsOnlyByWhatCountedLinksMovedBetweenReadings) {
    std::optional<LinkTable> next;
    LinkCounter counter([&next] { return next; });
    LinkReading lo = reading(1, "lo", 900, 900);
    lo.attributes.medium = LinkMedium::Loopback;

    next = LinkTable{{lo, reading(2, "eth0", 1000, 200), reading(3, "veth0", 50, 50, false)}, true};
    EXPECT_EQ(counter.read(), (NetTotals{1000, 200})) << "starts at the counted links' sum";

    // A failed or empty read changes nothing and gives no counters.
    next.reset();
    EXPECT_EQ(counter.read(), std::nullopt);
    next = LinkTable{};
    EXPECT_EQ(counter.read(), std::nullopt);

    // A modem plugged in with large counters of its own joins without a jump; the veth's
    // growth is not counted; eth0's is.
    next = LinkTable{{lo, reading(2, "eth0", 1500, 300), reading(3, "veth0", 9050, 9050, false),
                      reading(4, "wwan0", 70000, 80000)},
                     true};
    EXPECT_EQ(counter.read(), (NetTotals{1500, 300}));
    next->links[3].inBytes += 10;
    EXPECT_EQ(counter.read(), (NetTotals{1510, 300}));

    // The user counts every link: from now on the veth's growth counts, its past does not.
    counter.setChoice({InterfaceChoice::Mode::All, {}});
    EXPECT_EQ(counter.read(), (NetTotals{1510, 300}));
    next->links[2].outBytes += 7;
    EXPECT_EQ(counter.read(), (NetTotals{1510, 307}));

    // eth0 goes, wwan0 restarts its counters, and a new link reuses index 2 under another
    // name: nothing drops, nothing jumps; only what moved since counts.
    next = LinkTable{{lo, reading(2, "usb0", 5000, 5000), reading(3, "veth0", 9050, 9057, false),
                      reading(4, "wwan0", 3, 4)},
                     true};
    EXPECT_EQ(counter.read(), (NetTotals{1510, 307}));
    next->links[1].inBytes += 1;
    next->links[3].outBytes += 2;
    EXPECT_EQ(counter.read(), (NetTotals{1511, 309}));

    const auto shown = counter.lastLinks();
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_FALSE(shown[0].counted);
    EXPECT_TRUE(shown[2].counted);
    EXPECT_EQ(shown[3].link.name, "wwan0");
}

// ---- The reader on this machine ------------------------------------------------------

struct ProcLine {
    std::string name;
    std::uint64_t in = 0, out = 0;
};

std::vector<ProcLine> procNetDev() {
    std::ifstream in("/proc/net/dev");
    std::string line;
    std::vector<ProcLine> lines;
    while (std::getline(in, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        ProcLine p;
        p.name = line.substr(0, colon);
        p.name.erase(0, p.name.find_first_not_of(' '));
        std::istringstream fields(line.substr(colon + 1));
        std::uint64_t v[9] = {};
        for (auto& x : v) {
            fields >> x;
        }
        p.in = v[0];
        p.out = v[8];
        lines.push_back(p);
    }
    return lines;
}

// Counters move between reads, so each link's must lie between two /proc readings.
void expectMatchesProc() {
    const std::vector<ProcLine> before = procNetDev();
    const std::optional<LinkTable> table = netReadLinks();
    const std::vector<ProcLine> after = procNetDev();
    ASSERT_TRUE(table.has_value());
    EXPECT_TRUE(table->edgeKnown);
    ASSERT_EQ(table->links.size(), before.size());
    int loopbacks = 0;
    for (const LinkReading& l : table->links) {
        const auto b = std::find_if(before.begin(), before.end(),
                                    [&l](const ProcLine& p) { return p.name == l.name; });
        const auto a = std::find_if(after.begin(), after.end(),
                                    [&l](const ProcLine& p) { return p.name == l.name; });
        ASSERT_TRUE(b != before.end() && a != after.end()) << l.name;
        EXPECT_GE(l.inBytes, b->in) << l.name;
        EXPECT_LE(l.inBytes, a->in) << l.name;
        EXPECT_GE(l.outBytes, b->out) << l.name;
        EXPECT_LE(l.outBytes, a->out) << l.name;
        std::ifstream type("/sys/class/net/" + l.name + "/type");
        int arphrd = 0;
        type >> arphrd;
        const bool isLoopback = linkClassify(l.attributes) == LinkClass::Loopback;
        EXPECT_EQ(isLoopback, arphrd == 772) << l.name; // ARPHRD_LOOPBACK
        loopbacks += isLoopback ? 1 : 0;
    }
    EXPECT_EQ(loopbacks, 1);
}

TEST(NetCounters, EveryLinkWithTheKernelsCountersByBothRoutes) {
    expectMatchesProc();
    netForceProcFallback(true);
    expectMatchesProc();
    netForceProcFallback(false);
}

} // namespace
