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
#include <memory>
#include <sys/socket.h>
#include <vector>

using namespace qfnettop;

TEST(NettopDump, ReadsCountersOnlyWhereTheKernelSentThemWhole) {
    constexpr std::size_t kInfo = sizeof(tcp_info);
    constexpr std::uint16_t kReply = SOCK_DIAG_BY_FAMILY;
    constexpr std::uint32_t kSeq = 7;
    const std::size_t needed = offsetof(tcp_info, tcpi_bytes_received) + 8;
    const std::uint32_t full = NLMSG_LENGTH(NLMSG_ALIGN(sizeof(inet_diag_msg)) + RTA_SPACE(kInfo));
    const struct {
        const char* what;
        std::size_t infoLength;         // bytes of tcp_info sent, 0 for none
        std::uint32_t messageLength;    // when not 0, in place of the true one (and received)
        unsigned short attributeLength; // when not 0, in place of the true one
        std::uint16_t type;
        std::size_t records;
        bool counted;
    } cases[] = {
        {"a whole tcp_info", kInfo, 0, 0, kReply, 1, true},
        {"an older tcp_info, just long enough", needed, 0, 0, kReply, 1, true},
        {"an older tcp_info, one byte short", needed - 1, 0, 0, kReply, 1, false},
        {"no tcp_info", 0, 0, 0, kReply, 1, false},
        {"another message type", kInfo, 0, 0, 0x4242, 0, false},
        {"message short of a socket", kInfo, NLMSG_LENGTH(sizeof(inet_diag_msg)) - 1, 0, kReply, 0,
         false},
        {"message ends inside its tcp_info", kInfo, full - 8, 0, kReply, 1, false},
        {"attribute longer than the message", kInfo, 0, RTA_LENGTH(kInfo) + 64, kReply, 1, false},
        {"attribute shorter than its own header", kInfo, 0, 2, kReply, 1, false},
    };
    for (const auto& c : cases) {
        const std::size_t payload =
            NLMSG_ALIGN(sizeof(inet_diag_msg)) + (c.infoLength ? RTA_SPACE(c.infoLength) : 0);
        std::vector<std::uint32_t> words(NLMSG_SPACE(payload) / 4); // netlink's 4-byte alignment
        auto& h = *reinterpret_cast<nlmsghdr*>(words.data());
        h = {c.messageLength ? c.messageLength : std::uint32_t(NLMSG_LENGTH(payload)), c.type, 0,
             kSeq, 0};
        auto* m = static_cast<inet_diag_msg*>(NLMSG_DATA(&h));
        m->idiag_family = AF_INET;
        m->id.idiag_cookie[0] = 0x11111111;
        m->id.idiag_cookie[1] = 0x2;
        if (c.infoLength) {
            auto* rta = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(m) +
                                                  NLMSG_ALIGN(sizeof(inet_diag_msg)));
            rta->rta_len = c.attributeLength ? c.attributeLength : RTA_LENGTH(c.infoLength);
            rta->rta_type = INET_DIAG_INFO;
            tcp_info info{};
            info.tcpi_bytes_acked = 7000;
            info.tcpi_bytes_received = 5000;
            std::memcpy(RTA_DATA(rta), &info, c.infoLength);
        }
        // Exactly the bytes received, as after a short recv: a read past them leaves the
        // allocation.
        const std::unique_ptr<char[]> exact(new char[h.nlmsg_len]);
        std::memcpy(exact.get(), words.data(), h.nlmsg_len);
        nldump::Progress progress{kSeq, 0};
        std::vector<SocketRecord> out;
        nldump::feed(exact.get(), h.nlmsg_len, 0, progress,
                     [&out](const nlmsghdr& r) { parseDiagReply(r, kReply, out); });

        ASSERT_EQ(out.size(), c.records) << c.what;
        if (c.records) {
            EXPECT_EQ(out[0].cookie, 0x211111111ULL) << c.what;
            EXPECT_EQ(out[0].bytes, (c.counted ? Counters{5000, 7000} : Counters{})) << c.what;
            EXPECT_EQ(out[0].hasCounters, c.counted) << c.what;
        }
    }
}
