// What naming processes by their application costs the per-process tool in one sample: 2,000
// live processes, each line named by its comm alone (as before) or by its application as well,
// with a fresh namer per sample as the tool makes one. With root and cgroup v2 the processes sit
// in 50 application scopes of a cgroup of our own (none with an installed entry, so every ID is
// looked for in every data folder); otherwise all share this process's cgroup.
// Run: build/bench/nettop/nettop_naming_bench

#include "app_naming_system.h"
#include "nettop_core.h"
#include "nettop_system.h"

#include <benchmark/benchmark.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <linux/magic.h>
#include <string>
#include <sys/prctl.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
constexpr int kProcesses = 2000, kScopes = 50;

// The idle processes to name, and the scopes they were put in; all gone on destruction.
struct Population {
    std::vector<pid_t> pids;
    fs::path parent;
    std::vector<fs::path> scopes;

    Population() {
        for (const char* d : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"}) {
            struct statfs s {};
            if (::geteuid() == 0 && parent.empty() && ::statfs(d, &s) == 0 &&
                s.f_type == CGROUP2_SUPER_MAGIC)
                parent = fs::path(d) / ("qf-naming-bench-" + std::to_string(::getpid()));
        }
        if (!parent.empty() && !fs::create_directory(parent))
            parent.clear();
        for (int i = 0; !parent.empty() && i < kScopes; ++i) {
            scopes.push_back(parent / ("app-gnome-org.example.App" + std::to_string(i) + "-" +
                                       std::to_string(1000 + i) + ".scope"));
            fs::create_directory(scopes.back());
        }
        for (int i = 0; i < kProcesses; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives a bench that crashed
                ::pause();
                ::_exit(0);
            }
            pids.push_back(pid);
            if (!scopes.empty())
                std::ofstream(scopes[static_cast<std::size_t>(i % kScopes)] / "cgroup.procs")
                    << pid;
        }
    }
    ~Population() {
        for (pid_t pid : pids)
            ::kill(pid, SIGKILL);
        for (pid_t pid : pids)
            ::waitpid(pid, nullptr, 0);
        for (const fs::path& s : scopes)
            ::rmdir(s.c_str());
        if (!parent.empty())
            ::rmdir(parent.c_str());
    }
};

Population& population() {
    static Population p;
    return p;
}

void BM_NameProcesses(benchmark::State& state) {
    const bool naming = state.range(0) != 0;
    Population& p = population();
    std::size_t named = 0;
    for (auto _ : state) {
        qfnettop::AppNamer apps = qfnettop::AppNamer::fromEnvironment();
        named = 0;
        for (pid_t pid : p.pids) {
            const auto comm = qfnettop::processName(static_cast<std::uint32_t>(pid));
            if (!comm)
                continue;
            const std::string name =
                naming ? apps.name(static_cast<std::uint32_t>(pid), *comm) : *comm;
            named += name != *comm;
            benchmark::DoNotOptimize(qfnettop::sanitizeName(name));
        }
    }
    state.SetLabel(std::string(naming ? "named by application" : "comm only") + ", " +
                   std::to_string(named) + " of " + std::to_string(p.pids.size()) +
                   " in application scopes");
}
BENCHMARK(BM_NameProcesses)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

} // namespace

BENCHMARK_MAIN();
