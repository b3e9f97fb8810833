#include "NetCounters.h"
#include "NetTotals.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
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

// ---- A namespace of our own: interfaces appearing and going, real traffic ------------

std::vector<unsigned char> rawList() {
    std::size_t size = 0;
    EXPECT_EQ(netSysctl(netlist::kName, netlist::kNameLength, nullptr, &size), 0);
    std::vector<unsigned char> buf(size);
    EXPECT_EQ(netSysctl(netlist::kName, netlist::kNameLength, buf.data(), &size), 0);
    buf.resize(size);
    return buf;
}

std::vector<std::uint8_t> ifTypes(const std::vector<unsigned char>& list) {
    std::vector<std::uint8_t> types;
    for (std::size_t at = 0; at + 160 <= list.size(); at += 160) {
        types.push_back(list[at + 32]);
    }
    return types;
}

void sendUdp(const char* address, int count) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    ::inet_pton(AF_INET, address, &to.sin_addr);
    const std::vector<char> payload(1400, 'q');
    for (int i = 0; i < count; ++i) {
        ::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to);
    }
    ::close(fd);
}

int run(const std::string& cmd) {
    return std::system((cmd + " >/dev/null 2>&1").c_str());
}

// Runs in a fresh network namespace, started by the test below.
TEST(NetCountersNamespace, DISABLED_Inside) {
    // Only the loopback interface: listed, typed as loopback, not counted.
    EXPECT_EQ(ifTypes(rawList()), (std::vector<std::uint8_t>{24}));
    ASSERT_EQ(tryReadNetTotals(), (NetTotals{0, 0}));

    // No IPv6 chatter on the new interface, so its counters move only when we send.
    std::ofstream("/proc/sys/net/ipv6/conf/default/disable_ipv6") << 1;
    ASSERT_EQ(run("ip link set lo up"), 0);
    ASSERT_EQ(run("ip link add qfv0 type veth peer name qfv1"), 0);
    ASSERT_EQ(run("ip tuntap add qftun0 mode tun"), 0);
    ASSERT_EQ(run("ip link set qfv0 up"), 0);
    ASSERT_EQ(run("ip link set qfv1 up"), 0);
    ASSERT_EQ(run("ip addr add 10.77.0.1/24 dev qfv0"), 0);
    // A fixed neighbour: no ARP, so only our datagrams cross the pair.
    ASSERT_EQ(run("ip neigh add 10.77.0.2 lladdr 02:00:00:00:77:02 dev qfv0 nud permanent"), 0);
    std::vector<std::uint8_t> types = ifTypes(rawList());
    std::sort(types.begin(), types.end());
    EXPECT_EQ(types,
              (std::vector<std::uint8_t>{netlist::kIfTypeOther, netlist::kIfTypeEthernet,
                                         netlist::kIfTypeEthernet, netlist::kIfTypeLoopback}));

    const NetTotals start = *tryReadNetTotals();
    sendUdp("127.0.0.1", 20); // loopback traffic is never counted
    const NetTotals afterLoopback = *tryReadNetTotals();
    EXPECT_LT(afterLoopback.outBytes - start.outBytes, 1000u);
    EXPECT_LT(afterLoopback.inBytes - start.inBytes, 1000u);

    // Out of qfv0 (sent), into its peer qfv1 (received): 1400 + 28 + 14 bytes each.
    sendUdp("10.77.0.2", 20);
    const NetTotals afterPair = *tryReadNetTotals();
    EXPECT_EQ(afterPair.outBytes - afterLoopback.outBytes, 20u * 1442);
    EXPECT_EQ(afterPair.inBytes - afterLoopback.inBytes, 20u * 1442);

    netSysctlForceProcFallback(true);
    EXPECT_EQ(tryReadNetTotals(), afterPair);
    netSysctlForceProcFallback(false);

    // The interfaces go: their counters leave the sum and the list shrinks again.
    ASSERT_EQ(run("ip link del qfv0"), 0);
    ASSERT_EQ(run("ip link del qftun0"), 0);
    EXPECT_EQ(ifTypes(rawList()), (std::vector<std::uint8_t>{24}));
    EXPECT_EQ(tryReadNetTotals(), (NetTotals{0, 0}));
}

TEST(NetCountersNamespace, InterfacesComeAndGoWithRealTraffic) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to create a network namespace";
    }
    const std::string ns = "quillfern_nt_" + std::to_string(::getpid());
    if (run("ip netns add " + ns) != 0) {
        GTEST_SKIP() << "cannot create a network namespace here (ip netns add failed)";
    }
    char self[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    const std::string cmd = "ip netns exec " + ns + " " +
                            std::string(self, static_cast<std::size_t>(n)) +
                            " --gtest_also_run_disabled_tests"
                            " --gtest_filter=NetCountersNamespace.DISABLED_Inside";
    const int status = std::system(cmd.c_str());
    run("ip netns del " + ns);
    EXPECT_EQ(status, 0) << "the run inside the namespace failed; its output is above";
}

} // namespace
