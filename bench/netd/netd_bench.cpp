// The counting service's cost: TCP throughput over a veth pair from a cgroup without and with
// the kernel programs attached, the service's own CPU time per million packets, and its memory
// after 100,000 short connections. Needs root, cgroup v2 and BPF; run by hand, e.g.
//   netd_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

#include "netd_fixture.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>

using namespace qftest;
using namespace qfnetd_test;

namespace {

constexpr std::uint64_t kTransfer = 256u << 20;

// Packets through the namespace's interfaces other than loopback.
std::uint64_t packetsIn(const std::string& netns) {
    ChildOptions o;
    o.argv = {"cat", "/proc/net/dev"};
    o.netns = netns;
    std::istringstream in(run(std::move(o)).out);
    std::uint64_t packets = 0;
    for (std::string line; std::getline(in, line);) {
        const auto colon = line.find(':');
        if (colon == std::string::npos || line.substr(0, colon).find("lo") != std::string::npos)
            continue;
        std::istringstream f(line.substr(colon + 1));
        std::uint64_t v[10] = {};
        for (auto& x : v)
            f >> x;
        packets += v[1] + v[9];
    }
    return packets;
}

// utime + stime of a process, in milliseconds.
double cpuMs(pid_t pid) {
    std::istringstream in(slurp("/proc/" + std::to_string(pid) + "/stat"));
    std::string field;
    std::uint64_t ticks = 0;
    std::string rest((std::istreambuf_iterator<char>(in)), {});
    const auto close = rest.rfind(')');
    std::istringstream f(rest.substr(close + 2));
    for (int i = 3; i <= 15 && f >> field; ++i) {
        if (i == 14 || i == 15)
            ticks += std::stoull(field);
    }
    return double(ticks) * 1000.0 / double(::sysconf(_SC_CLK_TCK));
}

std::uint64_t statusKb(pid_t pid, const char* key) {
    std::istringstream in(slurp("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key, 0) == 0)
            return std::stoull(line.substr(std::string(key).size()));
    }
    return 0;
}

sockaddr_in addressB(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, NetnsPair::kAddrB, &a.sin_addr);
    return a;
}

// In namespace B: takes one connection at a time, reads it to its end, closes it.
int sink(std::uint16_t port) {
    const int ls = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in a = addressB(port);
    if (::bind(ls, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(ls, 4096) != 0)
        return 1;
    if (::write(3, "r\n", 2) != 2)
        return 1;
    static char buf[1 << 16];
    for (;;) {
        const int c = ::accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
        while (c >= 0 && ::recv(c, buf, sizeof buf, 0) > 0) {
        }
        ::close(c);
    }
}

// In namespace A: on each line from the test, sends kTransfer bytes on a fresh connection and
// answers once the sink has read them all (it closes only at the end of the stream).
int bulkSender(std::uint16_t port) {
    static char buf[1 << 16];
    char cmd;
    while (::read(0, &cmd, 1) == 1) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = addressB(port);
        if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
            return 2;
        for (std::uint64_t left = kTransfer; left > 0;) {
            const ssize_t n =
                ::send(s, buf, std::min<std::uint64_t>(sizeof buf, left), MSG_NOSIGNAL);
            if (n <= 0)
                return 3;
            left -= std::uint64_t(n);
        }
        ::shutdown(s, SHUT_WR);
        while (::recv(s, buf, sizeof buf, 0) > 0) {
        }
        ::close(s);
        if (::write(3, "d\n", 2) != 2)
            return 4;
    }
    return 0;
}

// arg 0: the cgroup has no programs; arg 1: the service counts it.
void BM_VethThroughput(benchmark::State& state) {
    TestCgroup cg;
    NetnsPair net;
    if (!cg.ready() || !net.ready() || !fs::exists(kService)) {
        state.SkipWithError(
            (cg.why() + net.why() + " (needs root, cgroup v2, the service)").c_str());
        return;
    }
    ChildOptions so;
    so.netns = net.b();
    so.extraFd = 3;
    so.body = [] { return sink(7400); };
    Child server(std::move(so));
    server.readLine(30s, Child::Stream::Extra);
    std::unique_ptr<Service> service;
    if (state.range(0) == 1) {
        service = std::make_unique<Service>(net, cg);
        if (!service->skipWhy.empty() || !service->failWhy.empty()) {
            state.SkipWithError((service->skipWhy + service->failWhy).c_str());
            return;
        }
    }
    cg.enter();
    ChildOptions co;
    co.netns = net.a();
    co.extraFd = 3;
    co.pipeStdin = true;
    co.body = [] { return bulkSender(7400); };
    Child client(std::move(co));
    cg.leave();
    const std::uint64_t packetsBefore = packetsIn(net.a());
    const double cpuBefore = service ? cpuMs(service->child->pid()) : 0;
    for (auto _ : state) {
        if (!client.writeStdin("g") || !client.readLine(300s, Child::Stream::Extra)) {
            state.SkipWithError("transfer failed");
            return;
        }
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * kTransfer));
    if (service) {
        const double packets = double(packetsIn(net.a()) - packetsBefore);
        state.counters["service_cpu_ms_per_Mpkt"] =
            (cpuMs(service->child->pid()) - cpuBefore) / (packets / 1e6);
        state.counters["packets"] = packets;
    }
}
BENCHMARK(BM_VethThroughput)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Small UDP datagrams, one packet each, so the per-packet cost of the programs shows rather
// than being spread over 64 KiB segments. arg as above.
void BM_SmallPacketRate(benchmark::State& state) {
    constexpr int kDatagrams = 200000;
    TestCgroup cg;
    NetnsPair net;
    if (!cg.ready() || !net.ready() || !fs::exists(kService)) {
        state.SkipWithError(
            (cg.why() + net.why() + " (needs root, cgroup v2, the service)").c_str());
        return;
    }
    std::unique_ptr<Service> service;
    if (state.range(0) == 1) {
        service = std::make_unique<Service>(net, cg);
        if (!service->skipWhy.empty() || !service->failWhy.empty()) {
            state.SkipWithError((service->skipWhy + service->failWhy).c_str());
            return;
        }
    }
    cg.enter();
    ChildOptions co;
    co.netns = net.a();
    co.extraFd = 3;
    co.pipeStdin = true;
    co.body = [] {
        const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = addressB(7500); // nobody listens: the packets still cross the veth
        if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
            return 2;
        char buf[64] = {};
        char cmd;
        while (::read(0, &cmd, 1) == 1) {
            for (int i = 0; i < kDatagrams; ++i)
                ::send(s, buf, sizeof buf, 0);
            if (::write(3, "d\n", 2) != 2)
                return 4;
        }
        return 0;
    };
    Child client(std::move(co));
    cg.leave();
    const double cpuBefore = service ? cpuMs(service->child->pid()) : 0;
    for (auto _ : state) {
        if (!client.writeStdin("g") || !client.readLine(300s, Child::Stream::Extra)) {
            state.SkipWithError("sending failed");
            return;
        }
    }
    state.counters["packets_per_s"] =
        benchmark::Counter(double(state.iterations()) * kDatagrams, benchmark::Counter::kIsRate);
    if (service)
        state.counters["service_cpu_ms_per_Mpkt"] = (cpuMs(service->child->pid()) - cpuBefore) /
                                                    (double(state.iterations()) * kDatagrams / 1e6);
}
BENCHMARK(BM_SmallPacketRate)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// 100,000 connections, each open for one small exchange, with the service counting them.
void BM_ServiceMemoryUnderShortConnections(benchmark::State& state) {
    TestCgroup cg;
    NetnsPair net;
    if (!cg.ready() || !net.ready() || !fs::exists(kService)) {
        state.SkipWithError(
            (cg.why() + net.why() + " (needs root, cgroup v2, the service)").c_str());
        return;
    }
    Service service(net, cg);
    if (!service.skipWhy.empty() || !service.failWhy.empty()) {
        state.SkipWithError((service.skipWhy + service.failWhy).c_str());
        return;
    }
    constexpr int kConnections = 100000;
    ChildOptions so;
    so.netns = net.b();
    so.extraFd = 3;
    so.body = [] {
        const int ls = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(7300);
        ::inet_pton(AF_INET, NetnsPair::kAddrB, &a.sin_addr);
        const int one = 1;
        ::setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(ls, 4096) != 0)
            return 1;
        ::write(3, "r\n", 2);
        for (;;) {
            const int c = ::accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
            char b[64];
            if (c >= 0 && ::recv(c, b, sizeof b, 0) >= 0)
                ::close(c);
        }
    };
    Child server(std::move(so));
    server.readLine(30s, Child::Stream::Extra);
    for (auto _ : state) {
        cg.enter();
        ChildOptions co;
        co.netns = net.a();
        co.body = [] {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(7300);
            ::inet_pton(AF_INET, NetnsPair::kAddrB, &a.sin_addr);
            for (int i = 0; i < kConnections; ++i) {
                const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
                    return 2;
                // The server closes first, so the waiting state stays on its side and the
                // client's ports are not used up.
                char b;
                ::send(s, "x", 1, MSG_NOSIGNAL);
                while (::recv(s, &b, 1, 0) > 0) {
                }
                ::close(s);
            }
            return 0;
        };
        Child client(std::move(co));
        cg.leave();
        const auto status = client.waitExit(600s);
        if (!status || exitCode(*status) != 0) {
            state.SkipWithError("the connections failed");
            return;
        }
    }
    const auto view = service.ask();
    state.counters["service_rss_kb"] = double(statusKb(service.child->pid(), "VmRSS:"));
    state.counters["service_peak_rss_kb"] = double(statusKb(service.child->pid(), "VmHWM:"));
    if (view) {
        state.counters["evicted_sockets"] = double(view->stats.evictedSockets);
        state.counters["unattributed_bytes"] =
            double(view->stats.unattributed.in + view->stats.unattributed.out);
    }
}
BENCHMARK(BM_ServiceMemoryUnderShortConnections)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
