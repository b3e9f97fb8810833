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
#include <tuple>
#include <vector>

using namespace qfnettop;

TEST(NettopDump, ReadsCountersOnlyWhereTheKernelSentThemWhole) {
    constexpr std::size_t kInfo = sizeof(tcp_info), kMsg = NLMSG_ALIGN(sizeof(inet_diag_msg));
    constexpr std::uint16_t kReply = SOCK_DIAG_BY_FAMILY;
    const std::size_t needed = offsetof(tcp_info, tcpi_bytes_received) + 8;
    // What; bytes of tcp_info sent (0: none); a message length (also what is received) and an
    // attribute length in place of the true ones, when not 0; the type; records read; counted.
    const std::tuple<const char*, std::size_t, std::uint32_t, unsigned short, std::uint16_t,
                     std::size_t, bool>
        cases[] = {
            {"a whole tcp_info", kInfo, 0, 0, kReply, 1, true},
            {"an older tcp_info, just long enough", needed, 0, 0, kReply, 1, true},
            {"an older tcp_info, one byte short", needed - 1, 0, 0, kReply, 1, false},
            {"no tcp_info", 0, 0, 0, kReply, 1, false},
            {"another message type", kInfo, 0, 0, 0x4242, 0, false},
            {"message short of a socket", kInfo, NLMSG_LENGTH(sizeof(inet_diag_msg)) - 1, 0, kReply,
             0, false},
            {"message ends inside its tcp_info", kInfo, NLMSG_LENGTH(kMsg + RTA_SPACE(kInfo)) - 8,
             0, kReply, 1, false},
            {"attribute longer than the message", kInfo, 0, RTA_LENGTH(kInfo) + 64, kReply, 1,
             false},
            {"attribute shorter than its own header", kInfo, 0, 2, kReply, 1, false},
        };
    for (const auto& [what, infoLength, messageLength, attributeLength, type, records, counted] :
         cases) {
        const std::size_t payload = kMsg + (infoLength ? RTA_SPACE(infoLength) : 0);
        std::vector<std::uint32_t> words(NLMSG_SPACE(payload) / 4); // netlink's 4-byte alignment
        auto& h = *reinterpret_cast<nlmsghdr*>(words.data());
        h = {messageLength ? messageLength : std::uint32_t(NLMSG_LENGTH(payload)), type, 0, 7, 0};
        auto* m = static_cast<inet_diag_msg*>(NLMSG_DATA(&h));
        m->idiag_family = AF_INET;
        m->id.idiag_cookie[0] = 0x11111111;
        m->id.idiag_cookie[1] = 0x2;
        if (infoLength) {
            auto* rta = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(m) + kMsg);
            *rta = {attributeLength ? attributeLength
                                    : static_cast<unsigned short>(RTA_LENGTH(infoLength)),
                    INET_DIAG_INFO};
            tcp_info info{};
            info.tcpi_bytes_acked = 7000;
            info.tcpi_bytes_received = 5000;
            std::memcpy(RTA_DATA(rta), &info, infoLength);
        }
        // Exactly the bytes received, as after a short recv: a read past them leaves the
        // allocation.
        const std::unique_ptr<char[]> exact(new char[h.nlmsg_len]);
        std::memcpy(exact.get(), words.data(), h.nlmsg_len);
        nldump::Progress progress{7, 0};
        std::vector<SocketRecord> out;
        nldump::feed(exact.get(), h.nlmsg_len, 0, progress,
                     [&out](const nlmsghdr& r) { parseDiagReply(r, kReply, out); });

        ASSERT_EQ(out.size(), records) << what;
        if (records) {
            EXPECT_EQ(out[0].cookie, 0x211111111ULL) << what;
            EXPECT_EQ(out[0].bytes, (counted ? Counters{5000, 7000} : Counters{})) << what;
            EXPECT_EQ(out[0].hasCounters, counted) << what;
        }
    }
}
