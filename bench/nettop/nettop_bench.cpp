// quillfern-nettop against `ss -tinpH` (the same socket dump and /proc walk) with about 1,000
// open TCP connections across 50 processes over a veth pair; the tool's CPU time on this
// machine's own sockets; and the share of a mixed workload it attributes, against the veth's
// own byte counters. Needs root for the namespaces.

#include "AppSampling.h"
#include "TestSupport.h"
#include "TrafficRecorder.h"

#include <algorithm>
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using qftest::Child;
using qftest::ChildOptions;
using qftest::NetnsPair;
using qftest::TempDir;

namespace {

// A one-way pipe for the forked workers to say "ready" and for the bench to let them go:
// one byte per event; wait() gives nothing once every writer has gone or at the deadline.
class EventPipe {
public:
    EventPipe() {
        if (::pipe2(m_fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    }
    ~EventPipe() {
        ::close(m_fds[0]);
        ::close(m_fds[1]);
    }
    EventPipe(const EventPipe&) = delete;
    EventPipe& operator=(const EventPipe&) = delete;
    void post(char event = '.') const {
        [[maybe_unused]] const ssize_t n = ::write(m_fds[1], &event, 1);
    }
    std::optional<char> wait(std::chrono::milliseconds deadline = std::chrono::seconds(30)) const {
        pollfd p{m_fds[0], POLLIN, 0};
        int r = 0;
        while ((r = ::poll(&p, 1, static_cast<int>(deadline.count()))) < 0 && errno == EINTR) {
        }
        char c = 0;
        return r == 1 && ::read(m_fds[0], &c, 1) == 1 ? std::optional(c) : std::nullopt;
    }

private:
    int m_fds[2] = {-1, -1};
};

// The recorder's own command line for the tool.
std::vector<std::string> toolCommand() {
    std::vector<std::string> argv = {qftest::toolPath().string()};
    for (const QString& a : TrafficRecorder::defaultConfig().toolArgs)
        argv.push_back(a.toStdString());
    return argv;
}
const std::vector<std::string> kToolArgs = toolCommand();

bool writeFull(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, data, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool readFull(int fd, char* data, std::size_t n) {
    while (n > 0) {
        const ssize_t r = ::read(fd, data, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        data += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

bool receiveBytes(int fd, std::size_t n) {
    static char sink[64 * 1024];
    while (n > 0) {
        const std::size_t k = std::min(n, sizeof sink);
        if (!readFull(fd, sink, k))
            return false;
        n -= k;
    }
    return true;
}

std::unique_ptr<Child> spawn(const std::string& netns, std::function<int()> body) {
    ChildOptions o;
    o.netns = netns;
    o.body = std::move(body);
    return std::make_unique<Child>(std::move(o));
}

qftest::RunResult runIn(const std::string& netns, const std::vector<std::string>& argv,
                        const std::vector<std::string>& env) {
    ChildOptions o;
    o.argv = argv;
    o.netns = netns;
    o.env = env;
    return qftest::run(std::move(o), std::chrono::minutes(5));
}

std::string ssPath() {
    for (const char* p : {"/usr/bin/ss", "/bin/ss", "/usr/sbin/ss", "/sbin/ss"}) {
        if (::access(p, X_OK) == 0)
            return p;
    }
    return {};
}

// One process echoes every byte back on every connection, however many there are.
int echoServer(const std::string& addr, std::uint16_t port) {
    rlimit lim{16384, 16384};
    ::setrlimit(RLIMIT_NOFILE, &lim);
    const int ls = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
    if (::bind(ls, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(ls, 4096) != 0)
        return 1;
    std::vector<pollfd> fds = {{ls, POLLIN, 0}};
    static char buf[65536];
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0)
            continue;
        for (std::size_t i = fds.size(); i-- > 1;) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n <= 0 || !writeFull(fds[i].fd, buf, static_cast<std::size_t>(n))) {
                ::close(fds[i].fd);
                fds.erase(fds.begin() + static_cast<long>(i));
            }
        }
        if (fds[0].revents & POLLIN) {
            const int c = ::accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0)
                fds.push_back({c, POLLIN, 0});
        }
    }
}

int connectTo(const std::string& addr, std::uint16_t port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
    for (int attempt = 0; ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0;
         ++attempt) {
        if (attempt > 300) {
            ::close(s);
            return -1;
        }
        ::usleep(10000);
    }
    return s;
}

// Sends `n` bytes in blocks and reads each block's echo before the next, so neither side can
// stall the other.
bool echoRound(int s, std::size_t n) {
    static const std::string block(32 * 1024, 'e');
    while (n > 0) {
        const std::size_t k = std::min(n, block.size());
        if (!writeFull(s, block.data(), k) || !receiveBytes(s, k))
            return false;
        n -= k;
    }
    return true;
}

// Received plus sent bytes of namespace A's veth end, its only interface besides loopback.
std::uint64_t vethBytes(const NetnsPair& net) {
    const auto c = qftest::interfaceCounters(net.a());
    return c ? c->rx + c->tx : 0;
}

double cpuSecondsOfChildren() {
    rusage ru{};
    ::getrusage(RUSAGE_CHILDREN, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// ~1,000 open connections across 50 client processes, each having moved a few bytes.
struct Crowd {
    NetnsPair net;
    TempDir runtime;
    std::unique_ptr<Child> server;
    std::vector<std::unique_ptr<Child>> clients;
    std::string why;
    bool ready = false;

    static constexpr int kProcesses = 50, kPerProcess = 20;

    Crowd() {
        if (!net.ready()) {
            why = net.why();
            return;
        }
        server = spawn(net.b(), [] { return echoServer(NetnsPair::kAddrB, 7200); });
        EventPipe up;
        for (int p = 0; p < kProcesses; ++p) {
            clients.push_back(spawn(net.a(), [&up] {
                ::prctl(PR_SET_NAME, "qfcrowd");
                std::vector<int> socks;
                for (int k = 0; k < kPerProcess; ++k) {
                    const int s = connectTo(NetnsPair::kAddrB, 7200);
                    if (s < 0 || !echoRound(s, 1024))
                        return 1;
                    socks.push_back(s);
                }
                up.post();
                ::pause();
                return 0;
            }));
        }
        for (int p = 0; p < kProcesses; ++p) {
            if (!up.wait(std::chrono::seconds(30))) {
                why = "the client processes could not open their connections";
                return;
            }
        }
        ready = true;
    }
};

Crowd& crowd() {
    static Crowd c;
    return c;
}

void runAndCount(benchmark::State& state, const std::vector<std::string>& argv,
                 const std::string& netns, const std::vector<std::string>& env) {
    const double cpu0 = cpuSecondsOfChildren();
    std::size_t lines = 0;
    for (auto _ : state) {
        const qftest::RunResult r = runIn(netns, argv, env);
        if (r.exitCode != 0) {
            state.SkipWithError("the program failed");
            return;
        }
        lines = static_cast<std::size_t>(std::count(r.out.begin(), r.out.end(), '\n'));
    }
    state.counters["cpu_ms_per_run"] = benchmark::Counter((cpuSecondsOfChildren() - cpu0) * 1000.0 /
                                                          static_cast<double>(state.iterations()));
    state.counters["lines"] = static_cast<double>(lines);
}

void BM_Tool_1000Connections(benchmark::State& state) {
    Crowd& c = crowd();
    if (!c.ready) {
        state.SkipWithError(c.why.c_str());
        return;
    }
    runAndCount(state, kToolArgs, c.net.a(), {"XDG_RUNTIME_DIR=" + c.runtime.path().string()});
}

void BM_Ss_1000Connections(benchmark::State& state) {
    Crowd& c = crowd();
    const std::string ss = ssPath();
    if (!c.ready || ss.empty()) {
        state.SkipWithError(ss.empty() ? "ss (iproute2) is not installed" : c.why.c_str());
        return;
    }
    runAndCount(state, {ss, "-tinpH"}, c.net.a(), {});
}

void BM_Tool_IdleMachine(benchmark::State& state) {
    TempDir runtime;
    runAndCount(state, kToolArgs, "", {"XDG_RUNTIME_DIR=" + runtime.path().string()});
}

// Long transfers and many short connections at once; the tool sampled like the recorder
// (each sample's growth per name over the previous one) at the given interval in seconds.
void BM_MixedWorkloadShare(benchmark::State& state) {
    const int intervalMs = static_cast<int>(state.range(0));
    for (auto _ : state) {
        NetnsPair net;
        if (!net.ready()) {
            state.SkipWithError(net.why().c_str());
            return;
        }
        TempDir runtime;
        const auto server = spawn(net.b(), [] { return echoServer(NetnsPair::kAddrB, 7300); });
        const auto sample = [&] {
            std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> s;
            const std::string out =
                runIn(net.a(), kToolArgs, {"XDG_RUNTIME_DIR=" + runtime.path().string()}).out;
            for (const ProcessCounters& p : appParseProcesses(QString::fromStdString(out))) {
                auto& sum = s[p.name.toStdString()];
                sum = {saturatingAdd(sum.first, p.counters.in),
                       saturatingAdd(sum.second, p.counters.out)};
            }
            return s;
        };

        constexpr int kBulk = 3, kShortWorkers = 2, kDurationMs = 6000;
        constexpr std::size_t kShortBytes = 64 * 1024;
        EventPipe done, release;
        int payloadPipe[2];
        if (::pipe2(payloadPipe, O_CLOEXEC) != 0) {
            state.SkipWithError("pipe");
            return;
        }
        // Each worker reports the payload it moved (both directions) when it is done.
        const auto report = [&](std::uint64_t kind, std::uint64_t bytes) {
            const std::uint64_t msg[2] = {kind, bytes};
            writeFull(payloadPipe[1], reinterpret_cast<const char*>(msg), sizeof msg);
            done.post();
        };
        const auto start = std::chrono::steady_clock::now();
        const auto until = start + std::chrono::milliseconds(kDurationMs);
        std::vector<std::unique_ptr<Child>> workers;
        // Payload moved by each kind of worker, both directions, reported on exit.
        for (int b = 0; b < kBulk; ++b) {
            workers.push_back(spawn(net.a(), [&] {
                ::prctl(PR_SET_NAME, "qfbulk");
                const int s = connectTo(NetnsPair::kAddrB, 7300);
                std::uint64_t moved = 0;
                while (s >= 0 && std::chrono::steady_clock::now() < until) {
                    if (echoRound(s, 256 * 1024))
                        moved += 2 * 256 * 1024;
                    ::usleep(50000);
                }
                report(0, moved);
                release.wait(std::chrono::seconds(60));
                return 0;
            }));
        }
        for (int k = 0; k < kShortWorkers; ++k) {
            workers.push_back(spawn(net.a(), [&] {
                ::prctl(PR_SET_NAME, "qfshort");
                std::uint64_t moved = 0;
                while (std::chrono::steady_clock::now() < until) {
                    const int s = connectTo(NetnsPair::kAddrB, 7300);
                    if (s >= 0) {
                        if (echoRound(s, kShortBytes))
                            moved += 2 * kShortBytes;
                        ::close(s);
                    }
                    ::usleep(5000);
                }
                report(1, moved);
                release.wait(std::chrono::seconds(60));
                return 0;
            }));
        }

        const std::uint64_t veth0 = vethBytes(net);
        auto previous = sample();
        std::map<std::string, std::uint64_t> attributed;
        const auto applySample = [&] {
            auto now = sample();
            for (const auto& [name, c] : now) {
                const auto old = previous.count(name) ? previous[name]
                                                      : std::pair<std::uint64_t, std::uint64_t>{};
                attributed[name] += (c.first > old.first ? c.first - old.first : 0) +
                                    (c.second > old.second ? c.second - old.second : 0);
            }
            previous = std::move(now);
        };
        while (std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
            applySample();
        }
        std::uint64_t bulkPayload = 0, shortPayload = 0;
        for (std::size_t k = 0; k < workers.size(); ++k) {
            done.wait(std::chrono::seconds(30));
            std::uint64_t msg[2] = {};
            readFull(payloadPipe[0], reinterpret_cast<char*>(msg), sizeof msg);
            (msg[0] == 0 ? bulkPayload : shortPayload) += msg[1];
        }
        ::close(payloadPipe[0]);
        ::close(payloadPipe[1]);
        ::usleep(200000);
        applySample(); // the workers still live; the recorder would see them once more
        const std::uint64_t veth = vethBytes(net) - veth0;
        release.post();
        for (std::size_t k = 0; k < workers.size(); ++k)
            release.post();

        std::uint64_t total = 0;
        for (const auto& [name, bytes] : attributed)
            total += bytes;
        state.counters["veth_MB"] = static_cast<double>(veth) / 1e6;
        state.counters["share_all"] = static_cast<double>(total) / static_cast<double>(veth);
        state.counters["share_payload"] =
            static_cast<double>(total) / static_cast<double>(bulkPayload + shortPayload);
        state.counters["share_bulk"] =
            static_cast<double>(attributed["qfbulk"]) / static_cast<double>(bulkPayload);
        state.counters["share_short"] =
            static_cast<double>(attributed["qfshort"]) / static_cast<double>(shortPayload);
        std::uint64_t perUser = 0;
        for (const auto& [name, bytes] : attributed) {
            if (name.rfind("(", 0) == 0)
                perUser += bytes;
        }
        // Sockets seen in the dump whose process had already closed them by the /proc walk.
        state.counters["share_per_user"] =
            static_cast<double>(perUser) / static_cast<double>(bulkPayload + shortPayload);
        state.counters["short_of_payload"] =
            static_cast<double>(shortPayload) / static_cast<double>(bulkPayload + shortPayload);
    }
}

} // namespace

BENCHMARK(BM_Tool_1000Connections)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_Ss_1000Connections)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_Tool_IdleMachine)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1);
BENCHMARK(BM_MixedWorkloadShare)
    ->Arg(1000)
    ->Arg(15000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
