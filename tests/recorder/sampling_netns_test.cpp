// The recorder with the real per-process tool, in a network namespace of the test's own: what
// it credits each application against the bytes that really moved.

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <map>
#include <sstream>

using namespace qftest;

namespace {

struct Bytes {
    std::uint64_t in = 0;
    std::uint64_t out = 0;
};

// The sampling driver (sampling_driver.cpp) inside a namespace, with its own tool state.
std::unique_ptr<Child> startDriver(const std::string& netns, const TempDir& dir) {
    ChildOptions o;
    o.argv = {QUILLFERN_SAMPLING_DRIVER, (dir / "traffic.db").string(), toolPath().string()};
    o.env = {"XDG_RUNTIME_DIR=" + dir.path().string()};
    o.netns = netns;
    o.pipeStdin = o.pipeStdout = true;
    o.logFile = dir / "driver.log";
    return std::make_unique<Child>(std::move(o));
}

// One run of the tool, applied.
bool sample(Child& driver) {
    return driver.writeStdin("sample\n") &&
           driver.readLine(120s) == std::optional<std::string>("sampled");
}

std::map<std::string, Bytes> creditedApps(Child& driver) {
    std::map<std::string, Bytes> apps;
    driver.writeStdin("apps\n");
    for (auto line = driver.readLine(); line && *line != "end"; line = driver.readLine()) {
        std::istringstream fields(*line);
        Bytes bytes;
        std::string name;
        fields >> bytes.in >> bytes.out;
        fields.get();
        std::getline(fields, name);
        apps[name] = bytes;
    }
    return apps;
}

void expectCredited(std::uint64_t credited, std::uint64_t moved, const char* what) {
    EXPECT_GE(credited, moved * 95 / 100) << what << ": " << credited << " of " << moved;
    EXPECT_LE(credited, moved * 102 / 100) << what << ": " << credited << " of " << moved;
}

} // namespace

TEST(SamplingNetns, QuietStartAndRenameCreditWhatMoved) {
    NetnsPair net;
    if (!net.ready())
        GTEST_SKIP() << net.why();
    TempDir dir;
    TrafficServer server(net.b(), NetnsPair::kAddrB, dir / "server.log");
    ASSERT_TRUE(server.ready()) << server.why();
    const std::unique_ptr<Child> driver = startDriver(net.a(), dir);

    // Two runs while the namespace has no TCP socket at all: each lists nothing.
    ASSERT_TRUE(sample(*driver));
    ASSERT_TRUE(sample(*driver));

    // A process's first connection after a quiet spell counts from its first byte.
    constexpr std::uint64_t kMB = 1 << 20;
    TrafficClient quiet(net.a(), "qf-quiet", {{NetnsPair::kAddrB, server.port()}}, 10 * kMB,
                        50 * kMB, dir / "quiet.log");
    ASSERT_TRUE(quiet.connected());
    ASSERT_TRUE(quiet.go());
    ASSERT_TRUE(sample(*driver));
    auto apps = creditedApps(*driver);
    expectCredited(apps["qf-quiet"].in, 50 * kMB + kAckBytes, "quiet start, received");
    expectCredited(apps["qf-quiet"].out, 10 * kMB + kRequestBytes, "quiet start, sent");

    // A process that renames itself between two halves of a transfer is credited each byte
    // once, the second half under its new name.
    TrafficClient renamed(net.a(), "qf-before", {{NetnsPair::kAddrB, server.port()}}, 4 * kMB,
                          20 * kMB, dir / "renamed.log");
    ASSERT_TRUE(renamed.connected());
    ASSERT_TRUE(renamed.go());
    ASSERT_TRUE(sample(*driver));
    ASSERT_TRUE(renamed.rename("qf-after"));
    ASSERT_TRUE(renamed.go());
    ASSERT_TRUE(sample(*driver));
    apps = creditedApps(*driver);
    expectCredited(apps["qf-before"].in + apps["qf-after"].in, 2 * (20 * kMB + kAckBytes),
                   "renamed, received");
    expectCredited(apps["qf-before"].out + apps["qf-after"].out, 2 * (4 * kMB + kRequestBytes),
                   "renamed, sent");
    EXPECT_GE(apps["qf-after"].in, 19 * kMB) << "the second half goes to the new name";
    // The quiet process moved nothing more.
    expectCredited(apps["qf-quiet"].in, 50 * kMB + kAckBytes, "quiet start, received later");
}
