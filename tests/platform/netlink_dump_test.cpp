// The shared netlink dump loop: datagrams crafted as the kernel lays them out.

#include "NetlinkDump.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <tuple>
#include <vector>

namespace {

constexpr std::uint32_t kSeq = 7;
constexpr std::uint32_t kPort = 4242;

struct Datagram {
    std::vector<std::uint32_t> words; // netlink's 4-byte alignment
    std::size_t size = 0;

    // Appends a message with a payload of `payload` bytes whose first int is `value`.
    nlmsghdr& add(std::uint16_t type, std::size_t payload = 4, int value = 0,
                  std::uint32_t seq = kSeq, std::uint32_t port = kPort, std::uint16_t flags = 0) {
        const std::size_t at = size;
        size += NLMSG_SPACE(payload);
        words.resize(size / 4, 0);
        auto* h = reinterpret_cast<nlmsghdr*>(reinterpret_cast<char*>(words.data()) + at);
        *h = {static_cast<std::uint32_t>(NLMSG_LENGTH(payload)), type, flags, seq, port};
        std::memcpy(NLMSG_DATA(h), &value, std::min(payload, sizeof value));
        return *h;
    }
};

struct Fed {
    nldump::Step step;
    nldump::Progress progress;
    std::vector<int> replies; // the first int of each reply handed on
};

Fed feed(const Datagram& d, std::uint32_t sender = 0) {
    Fed f{nldump::Step::More, {kSeq, kPort}, {}};
    f.step = nldump::feed(d.words.data(), d.size, sender, f.progress, [&f](const nlmsghdr& h) {
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
    EXPECT_EQ(f.replies, (std::vector<int>{1, 4}));
    EXPECT_TRUE(f.progress.foreign) << "other requests' replies tell that something else came";
    EXPECT_TRUE(feed(d, 1234).replies.empty()) << "a datagram not from the kernel";

    d.add(RTM_NEWLINK, 4, 5, kSeq, kPort, NLM_F_MULTI | NLM_F_DUMP_INTR);
    d.add(NLMSG_DONE, 4, 0, kSeq, kPort, NLM_F_MULTI);
    d.add(RTM_NEWLINK, 4, 6); // after the end: never read
    f = feed(d);
    EXPECT_EQ(f.step, nldump::Step::Done);
    EXPECT_EQ(f.replies, (std::vector<int>{1, 4, 5}));
    EXPECT_TRUE(f.progress.interrupted);
}

TEST(NetlinkDump, ErrorsOfTheDumpAndMalformedDatagramsFail) {
    // What, type, payload size, first int, a length in place of the true one (when not 0), error.
    const std::tuple<const char*, std::uint16_t, std::size_t, int, std::uint32_t, int> cases[] = {
        {"error in NLMSG_DONE", NLMSG_DONE, 4, -EMSGSIZE, 0, EMSGSIZE},
        {"error reply", NLMSG_ERROR, sizeof(nlmsgerr), -EOPNOTSUPP, 0, EOPNOTSUPP},
        {"implausible error", NLMSG_ERROR, sizeof(nlmsgerr), INT_MIN, 0, EIO},
        {"short error reply", NLMSG_ERROR, 4, -EPERM, 0, EIO},
        {"overrun", NLMSG_OVERRUN, 4, 0, 0, ENOBUFS},
        {"length past the end", RTM_NEWLINK, 4, 0, 64, EIO},
        {"length short of a header", RTM_NEWLINK, 4, 0, 4, EIO},
        {"torn header after the last message", RTM_NEWLINK, 8, 0, NLMSG_LENGTH(4), EIO},
    };
    for (const auto& [what, type, payload, value, length, error] : cases) {
        Datagram d;
        nlmsghdr& h = d.add(type, payload, value);
        h.nlmsg_len = length ? length : h.nlmsg_len;
        const Fed f = feed(d);
        EXPECT_EQ(f.step, nldump::Step::Failed) << what;
        EXPECT_EQ(f.progress.error, error) << what;
    }
    // The tool's socket dump test feeds malformed socket replies through here too.
}

} // namespace
