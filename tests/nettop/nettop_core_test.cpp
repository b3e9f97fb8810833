#include "TrafficRecorder.h"
#include "nettop_core.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <random>

using namespace qfnettop;

namespace {

SocketRecord sock(std::uint64_t cookie, std::uint64_t inode, std::uint64_t rx, std::uint64_t tx,
                  std::uint32_t uid = 1000) {
    SocketRecord s;
    s.cookie = cookie;
    s.inode = inode;
    s.uid = uid;
    s.hasCounters = true;
    s.bytes = {rx, tx};
    return s;
}

const OwnerKey kA = OwnerKey::process(100, 5000);
const OwnerKey kB = OwnerKey::process(200, 6000);

Snapshot snapshot(std::vector<SocketRecord> sockets,
                  std::vector<std::pair<std::uint64_t, OwnerKey>> holders,
                  std::set<OwnerKey> live) {
    Snapshot s;
    s.sockets = std::move(sockets);
    for (auto& [inode, owner] : holders) {
        s.inodeOwner.emplace(inode, owner);
        live.insert(owner);
    }
    s.liveProcesses = std::move(live);
    return s;
}

} // namespace

TEST(NettopCounting, ClosedSocketsStayWithTheirProcessUntilItExits) {
    State st;
    // First run: two sockets of A, one without traffic yet, and loopback chatter that must
    // not count.
    auto lo = sock(3, 13, 9999, 9999);
    lo.loopback = true;
    auto r = countTraffic(st, snapshot({sock(1, 11, 1000, 200), sock(2, 12, 0, 0), lo},
                                       {{11, kA}, {12, kA}, {13, kA}}, {}));
    ASSERT_EQ(r.totals.size(), 1u);
    EXPECT_EQ(r.totals[kA], (Counters{1000, 200}));

    // Socket 1 grows then closes; socket 2 starts moving bytes.
    r = countTraffic(
        r.next, snapshot({sock(1, 11, 1500, 300), sock(2, 12, 10, 20)}, {{11, kA}, {12, kA}}, {}));
    EXPECT_EQ(r.totals[kA], (Counters{1510, 320}));
    r = countTraffic(r.next, snapshot({sock(2, 12, 10, 20)}, {{12, kA}}, {}));
    EXPECT_EQ(r.totals[kA], (Counters{1510, 320}));

    // Closed by the process but still draining (no descriptor any more): still A's.
    r = countTraffic(r.next, snapshot({sock(2, 0, 10, 25)}, {}, {kA}));
    EXPECT_EQ(r.totals[kA], (Counters{1510, 325}));
    EXPECT_EQ(r.totals.count(OwnerKey::user(1000)), 0u);

    // A exits: it and everything it had are forgotten.
    r = countTraffic(r.next, snapshot({}, {}, {}));
    EXPECT_TRUE(r.totals.empty());
    EXPECT_TRUE(r.next.closed.empty());
    EXPECT_TRUE(r.next.sockets.empty());
}

TEST(NettopCounting, ReusedPidStartsFromZeroAndHandoverKeepsBothSides) {
    State st;
    auto r = countTraffic(st, snapshot({sock(1, 11, 700, 70)}, {{11, kA}}, {}));
    r = countTraffic(r.next, snapshot({}, {}, {kA}));
    EXPECT_EQ(r.totals[kA], (Counters{700, 70}));

    // Same pid, new start time: a different process that has moved 5 bytes.
    const OwnerKey again = OwnerKey::process(kA.id, kA.start + 1);
    r = countTraffic(r.next, snapshot({sock(9, 19, 5, 0)}, {{19, again}}, {}));
    EXPECT_EQ(r.totals.size(), 1u);
    EXPECT_EQ(r.totals[again], (Counters{5, 0}));

    // A socket passed from A to B (fork, then the parent closes its copy): A keeps what it
    // had been credited, B gets only the growth after the handover.
    r = countTraffic({}, snapshot({sock(4, 14, 100, 10)}, {{14, kA}}, {}));
    r = countTraffic(r.next, snapshot({sock(4, 14, 150, 12)}, {{14, kB}}, {kA}));
    EXPECT_EQ(r.totals[kA], (Counters{100, 10}));
    EXPECT_EQ(r.totals[kB], (Counters{50, 2}));

    // Counters that appear to go back are held at their high-water mark.
    r = countTraffic(r.next, snapshot({sock(4, 14, 140, 1)}, {{14, kB}}, {kA}));
    EXPECT_EQ(r.totals[kB], (Counters{50, 2}));
}

TEST(NettopCounting, UninspectableSocketsAreSummedPerUser) {
    auto r = countTraffic({}, snapshot({sock(1, 11, 10, 1, 0), sock(2, 12, 20, 2, 0),
                                        sock(3, 13, 40, 4, 1001), sock(4, 14, 80, 8, 1000)},
                                       {{14, kA}}, {}));
    EXPECT_EQ(r.totals[OwnerKey::user(0)], (Counters{30, 3}));
    EXPECT_EQ(r.totals[OwnerKey::user(1001)], (Counters{40, 4}));
    EXPECT_EQ(r.totals[kA], (Counters{80, 8}));
    // A user's closed sockets keep counting for that user.
    r = countTraffic(r.next, snapshot({sock(2, 12, 25, 2, 0)}, {}, {}));
    EXPECT_EQ(r.totals[OwnerKey::user(0)], (Counters{35, 3}));
    // The owner of a closing socket has gone: later bytes go to its user, earlier ones vanish
    // with the process.
    r = countTraffic({}, snapshot({sock(5, 15, 100, 0)}, {{15, kB}}, {}));
    r = countTraffic(r.next, snapshot({sock(5, 0, 130, 0)}, {}, {}));
    EXPECT_EQ(r.totals.size(), 1u);
    EXPECT_EQ(r.totals[OwnerKey::user(1000)], (Counters{30, 0}));
}

// Whatever happens to sockets between runs, a live process's totals never go down: the
// recorder's delta rule would otherwise lose the bytes of every connection that closes.
TEST(NettopCounting, TotalsOnlyGrowWhileProcessesLive) {
    std::mt19937_64 rng(7);
    const std::vector<OwnerKey> owners = {kA, kB, OwnerKey::process(300, 1)};
    struct Sim {
        std::uint64_t cookie, inode;
        Counters bytes;
        std::size_t holder; // index into owners, or owners.size() for "no descriptor"
    };
    for (int round = 0; round < 50; ++round) {
        std::vector<Sim> live;
        std::uint64_t nextCookie = 1;
        State st;
        std::map<OwnerKey, Counters> before;
        for (int step = 0; step < 40; ++step) {
            const int action = static_cast<int>(rng() % 5);
            if (action == 0 || live.empty()) {
                live.push_back({nextCookie, nextCookie + 1000, {}, rng() % owners.size()});
                ++nextCookie;
            } else {
                Sim& s = live[rng() % live.size()];
                if (action == 1)
                    live.erase(live.begin() + static_cast<long>(&s - live.data()));
                else if (action == 2)
                    s.holder = rng() % (owners.size() + 1);
                else
                    s.bytes = {s.bytes.rx + rng() % 5000, s.bytes.tx + rng() % 5000};
            }
            for (Sim& s : live) // traffic on every socket, sometimes none
                s.bytes.rx += rng() % 3 == 0 ? 0 : rng() % 1000;
            Snapshot snap;
            snap.liveProcesses = {owners.begin(), owners.end()};
            for (const Sim& s : live) {
                snap.sockets.push_back(
                    sock(s.cookie, s.holder < owners.size() ? s.inode : 0, s.bytes.rx, s.bytes.tx));
                if (s.holder < owners.size())
                    snap.inodeOwner.emplace(s.inode, owners[s.holder]);
            }
            auto r = countTraffic(st, snap);
            for (const auto& [owner, c] : before) {
                ASSERT_GE(r.totals[owner].rx, c.rx) << "round " << round << " step " << step;
                ASSERT_GE(r.totals[owner].tx, c.tx) << "round " << round << " step " << step;
            }
            before = r.totals;
            st = r.next;
        }
    }
}

TEST(NettopAddresses, LoopbackAndSameAddressFlowsAreLocal) {
    const std::uint8_t v4lo[16] = {127, 1, 2, 3};
    const std::uint8_t v4a[16] = {10, 0, 0, 1};
    const std::uint8_t v4b[16] = {10, 0, 0, 2};
    const std::uint8_t v6lo[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const std::uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
    const std::uint8_t mappedOut[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 1};
    const std::uint8_t any[16] = {};
    constexpr int inet = 2, inet6 = 10;
    EXPECT_TRUE(isLocalFlow(inet, v4lo, v4lo));
    EXPECT_TRUE(isLocalFlow(inet, v4a, v4a));
    EXPECT_FALSE(isLocalFlow(inet, v4a, v4b));
    EXPECT_FALSE(isLocalFlow(inet, v4lo, v4b));
    EXPECT_TRUE(isLocalFlow(inet6, v6lo, mapped));
    EXPECT_TRUE(isLocalFlow(inet6, mapped, mapped));
    EXPECT_FALSE(isLocalFlow(inet6, mapped, mappedOut));
    EXPECT_FALSE(isLocalFlow(inet6, any, any));
    EXPECT_FALSE(isLoopbackAddress(inet6, mappedOut));
}

TEST(NettopNames, UntrustedNamesCannotBreakLines) {
    EXPECT_EQ(sanitizeName("a,9,9\n"), "a_9_9_");
    EXPECT_EQ(sanitizeName("tab\there\x7f\r"), "tab_here__");
    EXPECT_EQ(sanitizeName("Web Content"), "Web Content");
    EXPECT_EQ(sanitizeName("ñandú 浏览器"), "ñandú 浏览器");
    EXPECT_EQ(sanitizeName("x\xC2\x85y"), "x_y"); // C1 next-line control
    EXPECT_EQ(sanitizeName("\xE2\x80\xA8"), "_"); // line separator
    // The kernel cuts names at 15 bytes, possibly inside a character.
    EXPECT_EQ(sanitizeName("abc\xE6\xB5"), "abc\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(sanitizeName("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");                 // overlong '/'
    EXPECT_EQ(sanitizeName("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"); // surrogate
    EXPECT_EQ(sanitizeName("\xFF"), "\xEF\xBF\xBD");
    EXPECT_EQ(sanitizeName(""), "(unnamed)");
    EXPECT_EQ(userOwnerName(0, std::string("root")), "(system)");
    EXPECT_EQ(userOwnerName(1000, std::string("ann,\n")), "(user ann__)");
    EXPECT_EQ(userOwnerName(1001, std::nullopt), "(user 1001)");
}

TEST(NettopOutput, LinesMatchTheHeaderAndTheRecorderReadsThem) {
    const auto commas = [](const std::string& line) {
        return static_cast<std::size_t>(std::count(line.begin(), line.end(), ','));
    };
    const std::string header = headerLine();
    ASSERT_EQ(header.back(), '\n');
    EXPECT_EQ(commas(header), headerFieldCount()); // with a trailing comma
    EXPECT_EQ(header.rfind("time,,interface,state,bytes_in,bytes_out,", 0), 0u);

    const std::string time = formatClock(9, 5, 7, 42);
    EXPECT_EQ(time, "09:05:07.000042");
    const std::string a = processLine(time, "a.b", 42, {18446744073709551615ULL, 0});
    const std::string b = processLine(time, sanitizeName("x,1,2\n3"), 7, {5, 6});
    const std::string s = processLine(time, userOwnerName(0, std::nullopt), 0, {1, 2});
    for (const std::string& line : {a, b, s}) {
        ASSERT_EQ(line.back(), '\n');
        EXPECT_EQ(commas(line), commas(header));
    }
    EXPECT_EQ(a, "09:05:07.000042,a.b.42,,,18446744073709551615,0,,,,,,,,,,,,,,,\n");

    const AppSample sample =
        TrafficRecorder::parseNettop(QString::fromStdString(header + a + b + s));
    EXPECT_EQ(sample, (AppSample{{"a.b", {18446744073709551615ULL, 0}},
                                 {"x_1_2_3", {5, 6}},
                                 {"(system)", {1, 2}}}));
}

TEST(NettopOptions, RecorderArgumentsAcceptedOthersRejected) {
    const auto ok = parseOptions({"-P", "-x", "-L", "1", "-s", "1"});
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->samples, 1);
    const auto clustered = parseOptions({"-Px", "-L3", "-s0"});
    ASSERT_TRUE(clustered);
    EXPECT_EQ(clustered->samples, 3);
    EXPECT_EQ(clustered->intervalSeconds, 0);
    EXPECT_TRUE(parseOptions({}));
    for (std::vector<std::string_view> bad : {std::vector<std::string_view>{"-q"},
                                              {"-L"},
                                              {"-L", "0"},
                                              {"-L", "x"},
                                              {"-L", "-1"},
                                              {"-s", "1.5"},
                                              {"extra"},
                                              {"-"},
                                              {"--help"},
                                              {"-L", " 1"},
                                              {"-P", "file"}}) {
        EXPECT_FALSE(parseOptions(bad)) << (bad.empty() ? "" : bad[0]);
    }
}

namespace {

StateIdentity identity() {
    StateIdentity id;
    id.uid = 1000;
    id.bootId[0] = 0xAB;
    id.bootId[15] = 0x01;
    id.netns = 4026531840ULL;
    return id;
}

State sampleState() {
    State st;
    st.sockets[5] = {kA, {100, 50}, {10, 0}};
    st.sockets[77] = {OwnerKey::user(0), {9, 9}, {9, 9}};
    st.closed[kA] = {1, 2};
    st.closed[kB] = {3, 4};
    st.closed[OwnerKey::user(1001)] = {5, 6};
    return st;
}

std::uint64_t fnv(std::string_view bytes) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : bytes)
        h = (h ^ c) * 0x100000001b3ULL;
    return h;
}

// Recomputes the trailing checksum so that only the body's own checks stand in the way.
void reseal(std::string& file) {
    const std::uint64_t h = fnv(std::string_view(file).substr(0, file.size() - 8));
    for (int k = 0; k < 8; ++k)
        file[file.size() - 8 + k] = static_cast<char>(h >> (8 * k));
}

} // namespace

TEST(NettopStateFile, RoundTripsAndRefusesForeignFiles) {
    const State st = sampleState();
    const std::string file = encodeState(st, identity());
    const auto back = decodeState(file, identity());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, st);
    EXPECT_TRUE(decodeState(encodeState({}, identity()), identity()));

    StateIdentity other = identity();
    other.uid = 0;
    EXPECT_FALSE(decodeState(file, other));
    other = identity();
    other.bootId[3] = 1;
    EXPECT_FALSE(decodeState(file, other));
    other = identity();
    other.netns += 1;
    EXPECT_FALSE(decodeState(file, other));

    // An older format version, a trailing byte, and records that break our own invariants
    // (base above the reading, a repeated key, an unknown owner kind) even with a good checksum.
    std::string older = file;
    older[8] = 0;
    reseal(older);
    EXPECT_FALSE(decodeState(older, identity()));
    std::string longer = file + '\0';
    EXPECT_FALSE(decodeState(longer, identity()));
    State bad;
    bad.sockets[1] = {kA, {1, 1}, {2, 0}};
    EXPECT_FALSE(decodeState(encodeState(bad, identity()), identity()));
    std::string dup = encodeState(sampleState(), identity());
    std::memcpy(&dup[48 + 56], &dup[48], 8); // second cookie := first cookie
    reseal(dup);
    EXPECT_FALSE(decodeState(dup, identity()));
    std::string kind = file;
    kind[48 + 8] = 7;
    reseal(kind);
    EXPECT_FALSE(decodeState(kind, identity()));
}

// Random and cut-short files never crash the reader; whatever it accepts is exactly what a
// writer would have produced (so no half-read numbers can get through).
TEST(NettopStateFile, FuzzedAndTruncatedFilesAreRefusedSafely) {
    const std::string file = encodeState(sampleState(), identity());
    for (std::size_t n = 0; n < file.size(); ++n)
        EXPECT_FALSE(decodeState(std::string_view(file).substr(0, n), identity())) << n;

    std::mt19937_64 rng(12345);
    int accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string mutated = file;
        const int flips = 1 + static_cast<int>(rng() % 4);
        for (int k = 0; k < flips; ++k)
            mutated[48 + rng() % (mutated.size() - 56)] ^= static_cast<char>(1u << (rng() % 8));
        if (rng() % 3 == 0)
            mutated.resize(mutated.size() - rng() % 40);
        if (mutated.size() >= 8)
            reseal(mutated);
        if (const auto st = decodeState(mutated, identity())) {
            ++accepted;
            EXPECT_EQ(encodeState(*st, identity()), mutated);
        }
    }
    // Flipped counter bits produce well-formed files too; the point is the check above.
    EXPECT_GT(accepted, 0);
}
