// The socket dump's replies as the kernel lays them out, including the short tcp_info of older
// kernels and malformed lengths.

#include "NetlinkDump.h"
#include "nettop_system.h"

#include <cstddef>
#include <cstring>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <random>
#include <vector>

using namespace qfnettop;

namespace {

constexpr std::uint32_t kSeq = 7;
const std::uint8_t kA[16] = {10, 0, 0, 1};
const std::uint8_t kB[16] = {10, 0, 0, 2};
const std::uint8_t kLo6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

using Words = std::vector<std::uint32_t>; // keeps netlink's 4-byte alignment

nlmsghdr& add(Words& b, std::uint16_t type, std::size_t payload) {
    const std::size_t at = b.size();
    b.resize(at + NLMSG_SPACE(payload) / 4, 0);
    auto* h = reinterpret_cast<nlmsghdr*>(b.data() + at);
    h->nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(payload));
    h->nlmsg_type = type;
    h->nlmsg_seq = kSeq;
    return *h;
}

// One reply for a socket, with `infoLen` bytes of tcp_info (none when 0).
nlmsghdr& addSocket(Words& b, std::uint8_t family, const std::uint8_t* src, const std::uint8_t* dst,
                    std::size_t infoLen, std::uint64_t rx = 0, std::uint64_t tx = 0) {
    nlmsghdr& h = add(b, SOCK_DIAG_BY_FAMILY,
                      NLMSG_ALIGN(sizeof(inet_diag_msg)) + (infoLen ? RTA_SPACE(infoLen) : 0));
    auto* m = static_cast<inet_diag_msg*>(NLMSG_DATA(&h));
    m->idiag_family = family;
    m->id.idiag_cookie[0] = 0x11111111;
    m->id.idiag_cookie[1] = 0x2;
    std::memcpy(m->id.idiag_src, src, 16);
    std::memcpy(m->id.idiag_dst, dst, 16);
    if (infoLen) {
        auto* rta = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(m) +
                                              NLMSG_ALIGN(sizeof(inet_diag_msg)));
        rta->rta_type = INET_DIAG_INFO;
        rta->rta_len = static_cast<unsigned short>(RTA_LENGTH(infoLen));
        char* info = static_cast<char*>(RTA_DATA(rta));
        const std::size_t offTx = offsetof(tcp_info, tcpi_bytes_acked);
        const std::size_t offRx = offsetof(tcp_info, tcpi_bytes_received);
        if (offTx + 8 <= infoLen)
            std::memcpy(info + offTx, &tx, 8);
        if (offRx + 8 <= infoLen)
            std::memcpy(info + offRx, &rx, 8);
    }
    return h;
}

// The replies as the shared dump loop hands them to the tool.
nldump::Step parse(const Words& b, std::vector<SocketRecord>& out) {
    nldump::Progress progress{kSeq, 0};
    return nldump::feed(b.data(), b.size() * 4, 0, progress,
                        [&out](const nlmsghdr& h) { parseDiagReply(h, SOCK_DIAG_BY_FAMILY, out); });
}

} // namespace

TEST(NettopDump, ReadsCountersOnlyWhenTheKernelSentThem) {
    const std::size_t needed = offsetof(tcp_info, tcpi_bytes_received) + 8;
    Words b;
    addSocket(b, AF_INET, kA, kB, sizeof(tcp_info), 5000, 7000);
    addSocket(b, AF_INET, kA, kB, needed - 1, 5000, 7000); // an older, shorter tcp_info
    addSocket(b, AF_INET, kA, kB, needed, 6, 9);           // just long enough
    addSocket(b, AF_INET6, kLo6, kLo6, sizeof(tcp_info), 1, 1);
    addSocket(b, AF_INET, kA, kB, 0);                                          // no info at all
    addSocket(b, AF_INET, kA, kB, sizeof(tcp_info), 1, 1).nlmsg_type = 0x4242; // another type
    std::vector<SocketRecord> out;
    EXPECT_EQ(parse(b, out), nldump::Step::More);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_TRUE(out[0].hasCounters);
    EXPECT_EQ(out[0].bytes, (Counters{5000, 7000}));
    EXPECT_EQ(out[0].cookie, 0x211111111ULL);
    EXPECT_FALSE(out[0].loopback);
    EXPECT_FALSE(out[1].hasCounters);
    EXPECT_EQ(out[1].bytes, (Counters{}));
    EXPECT_EQ(out[2].bytes, (Counters{6, 9}));
    EXPECT_TRUE(out[2].hasCounters);
    EXPECT_TRUE(out[3].loopback);
    EXPECT_FALSE(out[4].hasCounters);
}

TEST(NettopDump, MalformedLengthsAreNeverReadPast) {
    Words valid;
    addSocket(valid, AF_INET, kA, kB, sizeof(tcp_info), 1, 2);
    addSocket(valid, AF_INET6, kA, kB, sizeof(tcp_info), 3, 4);
    add(valid, NLMSG_DONE, 4);
    std::vector<SocketRecord> out;
    ASSERT_EQ(parse(valid, out), nldump::Step::Done);

    std::mt19937 rng(99);
    for (int i = 0; i < 20000; ++i) {
        Words b = valid;
        if (i % 4 == 0) {
            b.assign(rng() % 200, 0);
            for (auto& w : b)
                w = rng();
            if (!b.empty() && rng() % 2) // make the first header plausible
                b[0] = static_cast<std::uint32_t>(rng() % (b.size() * 4 + 8));
        } else {
            for (int k = 1 + static_cast<int>(rng() % 6); k > 0; --k)
                reinterpret_cast<char*>(b.data())[rng() % (b.size() * 4)] ^=
                    static_cast<char>(1u << (rng() % 8));
            if (rng() % 3 == 0)
                b.resize(b.size() - rng() % b.size());
        }
        // A copy of exactly the bytes received, as with a short recv, so any read past the end
        // is outside the allocation.
        const Words exact(b.begin(), b.end());
        out.clear();
        parse(exact, out);
        EXPECT_LE(out.size(), exact.size() * 4 / NLMSG_LENGTH(sizeof(inet_diag_msg)));
    }
}
