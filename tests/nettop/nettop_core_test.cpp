// The tool's counting, names and state file as plain functions; and the socket dump's replies
// as the kernel lays them out, including the short tcp_info of older kernels and malformed
// lengths.

#include "NetlinkDump.h"
#include "nettop_core.h"
#include "nettop_system.h"

#include <arpa/inet.h>
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

namespace {

SocketRecord sock(std::uint64_t cookie, std::uint64_t inode, std::uint64_t rx, std::uint64_t tx,
                  std::uint32_t uid = 1000) {
    return {.cookie = cookie, .inode = inode, .uid = uid, .hasCounters = true, .bytes = {rx, tx}};
}

const OwnerKey kA = OwnerKey::process(100, 5000);
const OwnerKey kB = OwnerKey::process(200, 6000);
using Totals = std::map<OwnerKey, Counters>;

// Holders are live; `live` adds processes that hold none of these sockets.
Snapshot snapshot(std::vector<SocketRecord> sockets,
                  std::vector<std::pair<std::uint64_t, OwnerKey>> holders,
                  std::set<OwnerKey> live = {}) {
    Snapshot s{std::move(sockets), {}, std::move(live)};
    for (auto& [inode, owner] : holders) {
        s.inodeOwner.emplace(inode, owner);
        s.liveProcesses.insert(owner);
    }
    return s;
}

} // namespace

TEST(NettopCounting, ClosedSocketsStayWithTheirProcessUntilItExits) {
    auto lo = sock(3, 13, 9999, 9999);
    lo.loopback = true; // loopback chatter never counts
    auto r = countTraffic({}, snapshot({sock(1, 11, 1000, 200), sock(2, 12, 0, 0), lo},
                                       {{11, kA}, {12, kA}, {13, kA}}));
    EXPECT_EQ(r.totals, (Totals{{kA, {1000, 200}}}));

    // Socket 1 grows, then closes; socket 2 starts moving bytes.
    r = countTraffic(r.next,
                     snapshot({sock(1, 11, 1500, 300), sock(2, 12, 10, 20)}, {{11, kA}, {12, kA}}));
    r = countTraffic(r.next, snapshot({sock(2, 12, 10, 20)}, {{12, kA}}));
    EXPECT_EQ(r.totals[kA], (Counters{1510, 320}));

    // Closed by the process but still draining (no descriptor any more): still A's, not its user's.
    r = countTraffic(r.next, snapshot({sock(2, 0, 10, 25)}, {}, {kA}));
    EXPECT_EQ(r.totals, (Totals{{kA, {1510, 325}}}));

    // A exits: it and everything it had are forgotten.
    r = countTraffic(r.next, snapshot({}, {}));
    EXPECT_TRUE(r.totals.empty());
    EXPECT_EQ(r.next, State{});
}

TEST(NettopCounting, ReusedPidsHandoversAndUninspectableSockets) {
    auto r = countTraffic({}, snapshot({sock(1, 11, 700, 70)}, {{11, kA}}));
    r = countTraffic(r.next, snapshot({}, {}, {kA}));
    // Same pid, new start time: a different process that has moved 5 bytes.
    const OwnerKey again = OwnerKey::process(kA.id, kA.start + 1);
    r = countTraffic(r.next, snapshot({sock(9, 19, 5, 0)}, {{19, again}}));
    EXPECT_EQ(r.totals, (Totals{{again, {5, 0}}}));

    // A socket passed from A to B (fork, then the parent closes its copy): A keeps what it
    // had been credited, B gets only the growth after the handover...
    r = countTraffic({}, snapshot({sock(4, 14, 100, 10)}, {{14, kA}}));
    r = countTraffic(r.next, snapshot({sock(4, 14, 150, 12)}, {{14, kB}}, {kA}));
    EXPECT_EQ(r.totals, (Totals{{kA, {100, 10}}, {kB, {50, 2}}}));
    // ...and counters that appear to go back are held at their high-water mark.
    r = countTraffic(r.next, snapshot({sock(4, 14, 140, 1)}, {{14, kB}}, {kA}));
    EXPECT_EQ(r.totals[kB], (Counters{50, 2}));

    // Sockets whose holder we cannot see are summed per user, closed ones included.
    r = countTraffic({}, snapshot({sock(1, 11, 10, 1, 0), sock(2, 12, 20, 2, 0),
                                   sock(3, 13, 40, 4, 1001), sock(4, 14, 80, 8, 1000)},
                                  {{14, kA}}));
    EXPECT_EQ(
        r.totals,
        (Totals{{OwnerKey::user(0), {30, 3}}, {OwnerKey::user(1001), {40, 4}}, {kA, {80, 8}}}));
    r = countTraffic(r.next, snapshot({sock(2, 12, 25, 2, 0)}, {}));
    EXPECT_EQ(r.totals[OwnerKey::user(0)], (Counters{35, 3}));
    // The owner of a closing socket has gone: later bytes go to its user, earlier ones vanish
    // with the process.
    r = countTraffic({}, snapshot({sock(5, 15, 100, 0)}, {{15, kB}}));
    r = countTraffic(r.next, snapshot({sock(5, 0, 130, 0)}, {}));
    EXPECT_EQ(r.totals, (Totals{{OwnerKey::user(1000), {30, 0}}}));
}

TEST(NettopAddresses, LoopbackAndSameAddressFlowsAreLocal) {
    for (const auto& [src, dst, local] : {std::tuple{"127.1.2.3", "127.1.2.3", true},
                                          {"10.0.0.1", "10.0.0.1", true},
                                          {"10.0.0.1", "10.0.0.2", false},
                                          {"::1", "::ffff:127.0.0.1", true},
                                          {"::ffff:127.0.0.1", "::ffff:10.0.0.1", false},
                                          {"::", "::", false}}) {
        const int family = std::strchr(src, ':') ? AF_INET6 : AF_INET;
        std::uint8_t from[16] = {}, to[16] = {};
        ASSERT_TRUE(::inet_pton(family, src, from) == 1 && ::inet_pton(family, dst, to) == 1);
        EXPECT_EQ(isLocalFlow(family, from, to), local) << src << " to " << dst;
    }
}

TEST(NettopNames, UntrustedNamesCannotBreakLines) {
    const std::string bad = "\xEF\xBF\xBD"; // U+FFFD
    const std::pair<std::string, std::string> cases[] = {
        {"a,9\tb\x7f\r\n", "a_9_b___"},
        {"ñandú 浏览器", "ñandú 浏览器"},
        {"x\xC2\x85y\xE2\x80\xA8", "x_y_"}, // next-line, line separator
        {"\xC0\xAF\xED\xA0\x80\xFF", bad + bad + bad + bad + bad + bad}, // overlong, surrogate
        {"abc\xE6\xB5", "abc" + bad + bad}, // cut at 15 bytes inside a character
        {"", "(unnamed)"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(sanitizeName(in), out) << in;
    EXPECT_EQ(userOwnerName(0, std::string("root")), "(system)");
    EXPECT_EQ(userOwnerName(1000, std::string("ann,\n")), "(user ann__)");
    EXPECT_EQ(userOwnerName(1001, std::nullopt), "(user 1001)");
    // Another user's process keeps its owner; nothing passes for an owner line.
    EXPECT_EQ(processLineName("firefox", 1000, 0, "ann"), "firefox (ann)");
    EXPECT_EQ(processLineName("firefox", 1000, 1000, std::nullopt), "firefox");
    EXPECT_EQ(processLineName("(system)", 0, 0, std::nullopt), "_system)");
    EXPECT_EQ(processLineName("(user x)", 7, 0, std::nullopt), "_user x) (7)");
}

namespace {

// Recomputes the trailing checksum (FNV-1a) so that only the body's own checks stand in the way.
void reseal(std::string& file) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : std::string_view(file).substr(0, file.size() - 8))
        h = (h ^ c) * 0x100000001b3ULL;
    for (int k = 0; k < 8; ++k)
        file[file.size() - 8 + k] = static_cast<char>(h >> (8 * k));
}

} // namespace

TEST(NettopStateFile, RoundTripsAndRefusesForeignOrInconsistentFiles) {
    const StateIdentity id{1000, {0xAB}, 4026531840ULL};
    const State st{{{5, {kA, {100, 50}, {10, 0}}}, {77, {OwnerKey::user(0), {9, 9}, {9, 9}}}},
                   {{kA, {1, 2}}, {OwnerKey::user(1001), {5, 6}}}};
    const std::string file = encodeState(st, id);
    EXPECT_EQ(decodeState(file, id), st);

    // A repeated key (with a good checksum), a base above the reading, a trailing byte.
    std::string dup = file;
    std::memcpy(&dup[48 + 56], &dup[48], 8); // second cookie := first cookie
    reseal(dup);
    const State above{{{1, {kA, {1, 1}, {2, 0}}}}, {}};
    for (const std::string& bad : {dup, encodeState(above, id), file + '\0'})
        EXPECT_FALSE(decodeState(bad, id));

    // Every cut-short file is refused. Every file with one bit flipped and its checksum redone
    // (another user's, boot's or namespace's, another version, an unknown owner kind among them)
    // is refused or read as exactly what a writer would have produced: no half-read numbers.
    for (std::size_t n = 0; n < file.size(); ++n)
        EXPECT_FALSE(decodeState(std::string_view(file).substr(0, n), id)) << n;
    int accepted = 0;
    for (std::size_t bit = 0; bit < (file.size() - 8) * 8; ++bit) {
        std::string flipped = file;
        flipped[bit / 8] ^= static_cast<char>(1u << (bit % 8));
        reseal(flipped);
        if (const auto back = decodeState(flipped, id)) {
            ++accepted;
            EXPECT_EQ(encodeState(*back, id), flipped) << "bit " << bit;
        }
    }
    EXPECT_GT(accepted, 0); // flipped counter bits make well-formed files: the check above ran
}

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
            {"attribute longer than the message", kInfo, 0, RTA_LENGTH(kInfo) + 64, kReply, 1,
             false},
            {"attribute shorter than its own header", kInfo, 0, 2, kReply, 1, false},
        };
    tcp_info info{};
    info.tcpi_bytes_acked = 7000;
    info.tcpi_bytes_received = 5000;
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
        for (const SocketRecord& r : out) // the bytes as sent, or none at all
            EXPECT_TRUE(r.cookie == 0x211111111ULL && r.hasCounters == counted &&
                        r.bytes == (counted ? Counters{5000, 7000} : Counters{}))
                << what;
    }
}
