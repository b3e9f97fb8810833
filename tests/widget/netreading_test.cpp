#include "BsdInterfaceList.h"
#include "NetCounters.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

// One message laid out like the kernel's interface record, taking up its length but at
// least a record's size.
struct Record {
    std::uint16_t msgLength;
    std::uint8_t type;
    std::uint64_t in, out;
};

TEST(NetWalk, SumsTheCountedInterfaceRecordsAndReadsNothingPastTheEnd) {
    const struct {
        const char* what;
        std::vector<Record> records;
        NetTotals expected;
        std::size_t cut = 0; // bytes missing from the end of the list
    } cases[] = {
        {"every interface record", {{160, 18, 1000, 200}, {160, 18, 500, 300}}, {1500, 500}},
        {"shorter than one record", {{159, 18, 1, 1}}, {}, 1},
        {"other messages stepped over by their length",
         {{160, 18, 10, 20}, {200, 14, 99, 99}, {160, 18, 1, 2}},
         {11, 22}},
        {"a last record cut short", {{160, 18, 5, 6}, {160, 18, 9, 9}}, {5, 6}, 60},
        {"zero length counts, then ends the walk",
         {{160, 18, 1, 1}, {0, 18, 10, 20}, {160, 18, 100, 200}},
         {11, 21}},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> list;
        for (const Record& r : c.records) {
            const std::size_t at = list.size();
            // Filler that would show up in the sums if misread.
            list.resize(at + std::max<std::size_t>(r.msgLength, 160), 0xAB);
            std::memcpy(&list[at], &r.msgLength, 2);
            list[at + 3] = r.type;
            std::memcpy(&list[at + 96], &r.in, 8);
            std::memcpy(&list[at + 104], &r.out, 8);
        }
        // A block of exactly the list's size, so that the sanitizer build catches a read
        // past its end.
        const std::size_t length = list.size() - c.cut;
        std::unique_ptr<unsigned char[]> exact(new unsigned char[length]);
        std::memcpy(exact.get(), list.data(), length);
        ByteCounts sum;
        netWalkInterfaceRecords(exact.get(), length, [&sum](const bsdlist::Record& r) {
            sum += {r.inBytes, r.outBytes};
        });
        EXPECT_EQ(sum, c.expected) << c.what;
    }
}

// Without root this is the only check of real byte counters. Both routes read the same
// kernel counters, which only grow: each link's /proc/net/dev figures lie between two
// netlink readings (bytes for packets, or another link's figures, would not).
TEST(NetCounters, BothRoutesReadTheKernelsCountersOfEveryLink) {
    const std::optional<LinkTable> before = netReadLinks();
    netForceProcFallback(true);
    const std::optional<LinkTable> proc = netReadLinks();
    netForceProcFallback(false);
    const std::optional<LinkTable> after = netReadLinks();
    ASSERT_TRUE(before && proc && after);
    EXPECT_TRUE(before->edgeKnown && proc->edgeKnown);
    ASSERT_EQ(proc->links.size(), before->links.size());
    ASSERT_EQ(after->links.size(), before->links.size());
    for (std::size_t i = 0; i < proc->links.size(); ++i) {
        const LinkReading &b = before->links[i], &p = proc->links[i], &a = after->links[i];
        ASSERT_EQ(p.name, b.name);
        EXPECT_TRUE(b.bytes.in <= p.bytes.in && p.bytes.in <= a.bytes.in) << p.name;
        EXPECT_TRUE(b.bytes.out <= p.bytes.out && p.bytes.out <= a.bytes.out) << p.name;
        EXPECT_EQ(linkClassify(p.attributes) == LinkClass::Loopback, p.name == "lo") << p.name;
    }
}

} // namespace
