// The shared netlink dump loop: datagrams crafted as the kernel lays them out, and one real
// dump against the kernel.

#include "NetlinkDump.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kSeq = 7;
constexpr std::uint32_t kPort = 4242;

struct Datagram {
    std::vector<std::uint32_t> words; // netlink's 4-byte alignment
    std::size_t size = 0;
    unsigned char* data() { return reinterpret_cast<unsigned char*>(words.data()); }

    // Appends a message with a payload of `payload` bytes whose first int is `value`.
    nlmsghdr& add(std::uint16_t type, std::size_t payload = 4, int value = 0,
                  std::uint32_t seq = kSeq, std::uint32_t port = kPort, std::uint16_t flags = 0) {
        const std::size_t at = size;
        size += NLMSG_SPACE(payload);
        words.resize(size / 4, 0);
        auto* h = reinterpret_cast<nlmsghdr*>(data() + at);
        h->nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(payload));
        h->nlmsg_type = type;
        h->nlmsg_seq = seq;
        h->nlmsg_pid = port;
        h->nlmsg_flags = flags;
        if (payload >= sizeof value) {
            std::memcpy(NLMSG_DATA(h), &value, sizeof value);
        }
        return *h;
    }
};

struct Fed {
    nldump::Step step;
    nldump::Progress progress;
    std::vector<int> replies; // the first int of each reply handed on
};

Fed feed(Datagram& d, std::uint32_t sender = 0) {
    Fed f{nldump::Step::More, {kSeq, kPort}, {}};
    f.step = nldump::feed(d.data(), d.size, sender, f.progress, [&f](const nlmsghdr& h) {
        int v = 0;
        std::memcpy(&v, NLMSG_DATA(&h), sizeof v);
        f.replies.push_back(v);
    });
    return f;
}

TEST(NetlinkDump, HandsOnOnlyThisRequestsRepliesAndEndsWhereTheKernelSays) {
    Datagram d;
    d.add(RTM_NEWLINK, 4, 1);
    d.add(RTM_NEWLINK, 4, 2, kSeq - 1);        // left from an earlier dump
    d.add(RTM_NEWLINK, 4, 3, kSeq, kPort + 1); // another socket's
    d.add(NLMSG_NOOP);
    d.add(NLMSG_ERROR, sizeof(nlmsgerr), 0); // an acknowledgement
    d.add(RTM_NEWLINK, 4, 4);
    Fed f = feed(d);
    EXPECT_EQ(f.step, nldump::Step::More);
    EXPECT_EQ(f.replies, (std::vector<int>{1, 4}));
    EXPECT_FALSE(f.progress.interrupted);
    EXPECT_TRUE(f.progress.foreign) << "other requests' replies tell that something else came";
    EXPECT_TRUE(feed(d, 1234).replies.empty()) << "a datagram not from the kernel";

    d.add(RTM_NEWLINK, 4, 5, kSeq, kPort, NLM_F_MULTI | NLM_F_DUMP_INTR);
    d.add(NLMSG_DONE, 4, 0, kSeq, kPort, NLM_F_MULTI);
    d.add(RTM_NEWLINK, 4, 6); // after the end: never read
    f = feed(d);
    EXPECT_EQ(f.step, nldump::Step::Done);
    EXPECT_EQ(f.replies, (std::vector<int>{1, 4, 5}));
    EXPECT_TRUE(f.progress.interrupted);

    // An error of the dump itself, in NLMSG_DONE or in an error reply.
    Datagram done;
    done.add(NLMSG_DONE, 4, -EMSGSIZE);
    f = feed(done);
    EXPECT_EQ(f.step, nldump::Step::Failed);
    EXPECT_EQ(f.progress.error, EMSGSIZE);
    Datagram error;
    error.add(NLMSG_ERROR, sizeof(nlmsgerr), -EOPNOTSUPP);
    f = feed(error);
    EXPECT_EQ(f.step, nldump::Step::Failed);
    EXPECT_EQ(f.progress.error, EOPNOTSUPP);
    Datagram wild;
    wild.add(NLMSG_ERROR, sizeof(nlmsgerr), INT_MIN);
    EXPECT_EQ(feed(wild).progress.error, EIO);
    Datagram shortError;
    shortError.add(NLMSG_ERROR, 4, -EPERM);
    EXPECT_EQ(feed(shortError).step, nldump::Step::Failed);
}

TEST(NetlinkDump, MalformedDatagramsFail) {
    Datagram tooLong;
    tooLong.add(RTM_NEWLINK).nlmsg_len = 64;
    Datagram tooShort;
    tooShort.add(RTM_NEWLINK).nlmsg_len = 8;
    Datagram leftover;
    leftover.add(RTM_NEWLINK, 4, 1);
    leftover.size += 4; // a torn header after the last message
    leftover.words.resize(leftover.size / 4, 0);
    for (Datagram* d : {&tooLong, &tooShort, &leftover}) {
        const Fed f = feed(*d);
        EXPECT_EQ(f.step, nldump::Step::Failed);
        EXPECT_EQ(f.progress.error, EIO);
    }
    // Random datagrams go through the tool's dump test, which feeds them here too.
}

TEST(NetlinkDump, DumpsTheKernelsLinksAndReportsItsRefusals) {
    nldump::Socket socket(NETLINK_ROUTE);
    ASSERT_TRUE(socket.valid()) << std::strerror(errno);
    ifinfomsg body{};
    std::vector<std::string> names;
    int restarts = 0;
    ASSERT_TRUE(socket.dump(
        nldump::makeRequest(RTM_GETLINK, &body, sizeof body),
        [&names](const nlmsghdr& h) {
            const auto* m = static_cast<const ifinfomsg*>(NLMSG_DATA(&h));
            int left = static_cast<int>(IFLA_PAYLOAD(&h));
            for (const rtattr* a = IFLA_RTA(m); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
                if (a->rta_type == IFLA_IFNAME) {
                    names.emplace_back(static_cast<const char*>(RTA_DATA(a)));
                }
            }
        },
        [&names, &restarts] {
            names.clear();
            ++restarts;
        }))
        << std::strerror(errno);
    EXPECT_NE(std::find(names.begin(), names.end(), "lo"), names.end());
    EXPECT_EQ(std::count(names.begin(), names.end(), "lo"), 1) << restarts << " restarts";

    // A request type the kernel does not know: an error, and the socket goes on working.
    EXPECT_FALSE(socket.dump(nldump::makeRequest(RTM_NEWLINK + 200, &body, sizeof body),
                             [](const nlmsghdr&) {}, {}));
    EXPECT_NE(errno, 0);
    names.clear();
    EXPECT_TRUE(socket.dump(nldump::makeRequest(RTM_GETLINK, &body, sizeof body),
                            [&names](const nlmsghdr&) { names.emplace_back(); }, {}));
    EXPECT_FALSE(names.empty());
}

} // namespace
