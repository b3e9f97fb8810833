#include "BsdInterfaceList.h"
#include "NetTotals.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kMax = UINT64_MAX;

// One message laid out like the kernel's interface record; size is what it really takes up.
struct Record {
    std::uint16_t msgLength;
    std::uint8_t type, ifType;
    std::uint64_t in, out;
    std::size_t size = bsdlist::kRecordSize;
};

TEST(NetWalk, SumsTheCountedInterfaceRecords) {
    const struct {
        const char* what;
        std::vector<Record> records;
        NetTotals expected;
    } cases[] = {
        {"loopback (24) left out, other types counted",
         {{160, 18, 6, 1000, 200}, {160, 18, 24, 7777, 8888}, {160, 18, 1, 500, 300}},
         {1500, 500}},
        {"empty", {}, {}},
        {"shorter than a record", {{159, 18, 6, 1, 1, 159}}, {}},
        {"other messages stepped over by their length",
         {{160, 18, 6, 10, 20}, {200, 14, 6, 99, 99, 200}, {160, 18, 6, 1, 2}},
         {11, 22}},
        {"a last record cut short", {{160, 18, 6, 5, 6}, {100, 18, 6, 9, 9, 100}}, {5, 6}},
        {"zero length counts, then ends the walk",
         {{160, 18, 6, 1, 1}, {0, 18, 6, 10, 20}, {160, 18, 6, 100, 200}},
         {11, 21}},
        {"zero-length loopback ends it too", {{0, 18, 24, 10, 20}, {160, 18, 6, 100, 200}}, {}},
        {"sums saturate",
         {{160, 18, 6, kMax - 5, 3}, {160, 18, 6, 10, kMax}, {160, 18, 6, 10, 1}},
         {kMax, kMax}},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> buf;
        for (const Record& r : c.records) {
            const std::size_t at = buf.size();
            buf.resize(at + r.size, 0xAB); // filler that would show up in the sums if misread
            std::memcpy(&buf[at], &r.msgLength, 2);
            buf[at + 3] = r.type;
            if (r.size >= 160) {
                buf[at + 32] = r.ifType;
                std::memcpy(&buf[at + 96], &r.in, 8);
                std::memcpy(&buf[at + 104], &r.out, 8);
            }
        }
        EXPECT_EQ(netWalkInterfaceList(buf.data(), buf.size()), c.expected) << c.what;
    }
}

// Random lists with random length fields, each in a heap block of exactly its size so
// that the sanitizer build catches a read past the end.
TEST(NetWalk, NeverReadsPastTheBuffer) {
    std::mt19937_64 rng(20261206);
    for (int round = 0; round < 20000; ++round) {
        const std::size_t len = rng() % 1200;
        std::unique_ptr<unsigned char[]> block(new unsigned char[len == 0 ? 1 : len]);
        std::generate_n(block.get(), len, [&] { return static_cast<unsigned char>(rng()); });
        // Plant plausible headers often, so walks go deep instead of stopping at once.
        for (std::size_t at = 0; at + 4 <= len; at += 1 + rng() % 200) {
            const auto l = static_cast<std::uint16_t>(rng() % 4 == 0 ? rng() : rng() % 400);
            std::memcpy(&block[at], &l, 2);
            block[at + 3] = rng() % 2 ? 18 : static_cast<unsigned char>(rng());
        }
        const NetTotals t = netWalkInterfaceList(block.get(), len);
        if (len < 160) {
            EXPECT_EQ(t, (NetTotals{}));
        }
    }
}

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
}

// name -> {received, sent} as /proc/net/dev lists them.
std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> procNetDev() {
    std::ifstream in("/proc/net/dev");
    std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> out;
    for (std::string line; std::getline(in, line);) {
        std::replace(line.begin(), line.end(), ':', ' ');
        std::istringstream fields(line);
        std::string name;
        std::uint64_t v[9] = {};
        if (fields >> name >> v[0] >> v[1] >> v[2] >> v[3] >> v[4] >> v[5] >> v[6] >> v[7] >>
            v[8]) {
            out[name] = {v[0], v[8]};
        }
    }
    return out;
}

// Counters move between reads, so each link's must lie between two /proc readings.
TEST(NetCounters, EveryLinkWithTheKernelsCountersByBothRoutes) {
    for (const bool viaProc : {false, true}) {
        SCOPED_TRACE(viaProc);
        netForceProcFallback(viaProc);
        const auto before = procNetDev();
        const std::optional<LinkTable> table = netReadLinks();
        const auto after = procNetDev();
        ASSERT_TRUE(table.has_value());
        EXPECT_TRUE(table->edgeKnown);
        ASSERT_EQ(table->links.size(), before.size());
        for (const LinkReading& l : table->links) {
            ASSERT_TRUE(before.contains(l.name) && after.contains(l.name)) << l.name;
            EXPECT_GE(l.inBytes, before.at(l.name).first) << l.name;
            EXPECT_LE(l.inBytes, after.at(l.name).first) << l.name;
            EXPECT_GE(l.outBytes, before.at(l.name).second) << l.name;
            EXPECT_LE(l.outBytes, after.at(l.name).second) << l.name;
            EXPECT_EQ(linkClassify(l.attributes) == LinkClass::Loopback, l.name == "lo") << l.name;
        }
    }
    netForceProcFallback(false);
}

} // namespace
