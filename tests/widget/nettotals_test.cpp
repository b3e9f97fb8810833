#include "NetCounters.h"
#include "NetTotals.h"

#include <cerrno>
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
               std::size_t size = netlist::kRecordSize) {
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

// ---- The platform's list on this machine -------------------------------------------

NetTotals procNetDevSum() {
    std::ifstream in("/proc/net/dev");
    std::string line;
    NetTotals sum;
    while (std::getline(in, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string name = line.substr(0, colon);
        name.erase(0, name.find_first_not_of(' '));
        std::istringstream fields(line.substr(colon + 1));
        std::uint64_t v[9] = {};
        for (auto& x : v) {
            fields >> x;
        }
        std::ifstream type("/sys/class/net/" + name + "/type");
        int arphrd = 0;
        type >> arphrd;
        if (arphrd == 772) { // ARPHRD_LOOPBACK
            continue;
        }
        sum.inBytes += v[0];
        sum.outBytes += v[8];
    }
    return sum;
}

void expectMatchesProc() {
    // Counters move between the reads, so the answer must lie between two /proc readings.
    for (int attempt = 0; attempt < 20; ++attempt) {
        const NetTotals before = procNetDevSum();
        const std::optional<NetTotals> read = tryReadNetTotals();
        const NetTotals after = procNetDevSum();
        ASSERT_TRUE(read.has_value());
        EXPECT_GE(read->inBytes, before.inBytes);
        EXPECT_LE(read->inBytes, after.inBytes);
        EXPECT_GE(read->outBytes, before.outBytes);
        EXPECT_LE(read->outBytes, after.outBytes);
        if (before == after) {
            EXPECT_EQ(*read, before);
            return;
        }
    }
}

TEST(NetCounters, MatchesProcNetDevWithoutLoopback) {
    ASSERT_GT(procNetDevSum().inBytes, 0u) << "this machine has no traffic to compare";
    expectMatchesProc();
}

TEST(NetCounters, ProcFallbackGivesTheSameSums) {
    netSysctlForceProcFallback(true);
    expectMatchesProc();
    netSysctlForceProcFallback(false);
}

TEST(NetCounters, TwoCallProtocol) {
    std::size_t size = 0;
    ASSERT_EQ(netSysctl(netlist::kName, netlist::kNameLength, nullptr, &size), 0);
    ASSERT_GE(size, netlist::kRecordSize); // at least the loopback interface

    std::vector<unsigned char> buf(size);
    std::size_t len = buf.size();
    ASSERT_EQ(netSysctl(netlist::kName, netlist::kNameLength, buf.data(), &len), 0);
    EXPECT_LE(len, size);
    EXPECT_EQ(len % netlist::kRecordSize, 0u);
    bool sawLoopback = false;
    for (std::size_t at = 0; at + 160 <= len; at += 160) {
        std::uint16_t l = 0;
        std::memcpy(&l, &buf[at], 2);
        EXPECT_EQ(l, 160);
        EXPECT_EQ(buf[at + 3], 18);
        sawLoopback = sawLoopback || buf[at + 32] == 24;
    }
    EXPECT_TRUE(sawLoopback);

    // A buffer one record short behaves like a list that grew past the size query.
    std::size_t shortLen = len - 1;
    errno = 0;
    EXPECT_EQ(netSysctl(netlist::kName, netlist::kNameLength, buf.data(), &shortLen), -1);
    EXPECT_EQ(errno, ENOMEM);

    const int otherName[6] = {4, 17, 0, 0, 3, 0};
    std::size_t otherLen = 0;
    EXPECT_EQ(netSysctl(otherName, 6, nullptr, &otherLen), -1);
}

} // namespace
