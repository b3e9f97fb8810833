// quillfern-netd: counts every socket's bytes in the kernel and tells each user what their own
// processes moved. Optional and privileged; the widget and the tool work without it.

#include "netd.skel.h"
#include "netd_server.h"
#include "netd_service.h"
#include "netd_system.h"

#include <bpf/libbpf.h>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string>
#include <sys/signalfd.h>
#include <vector>

namespace {

using namespace qfnetd;

struct Options {
    std::string cgroup;
    std::string socket = kDefaultSocket;
    std::size_t maxProcesses = Ledger::kDefaultMaxProcesses;
};

std::optional<Options> parseArgs(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (i + 1 >= argc)
            return std::nullopt;
        const std::string_view v = argv[++i];
        if (a == "--cgroup") {
            o.cgroup = v;
        } else if (a == "--socket") {
            o.socket = v;
        } else if (a == "--max-processes") {
            const auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), o.maxProcesses);
            if (ec != std::errc() || p != v.data() + v.size() || o.maxProcesses == 0)
                return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    return o;
}

struct SkelDeleter {
    void operator()(netd_bpf* s) const { netd_bpf__destroy(s); }
};
struct LinkDeleter {
    void operator()(bpf_link* l) const { bpf_link__destroy(l); }
};

// The programs on the cgroup, through links: if this process dies the kernel detaches them,
// and on every way out of run() they are detached before the programs are unloaded.
struct Counting {
    std::unique_ptr<netd_bpf, SkelDeleter> skel;
    std::vector<std::unique_ptr<bpf_link, LinkDeleter>> links;
};

std::optional<Counting> attach(const std::string& cgroup) {
    const UniqueFd cgfd(::open(cgroup.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!cgfd) {
        say("cannot open " + cgroup + ": " + std::strerror(errno));
        return std::nullopt;
    }
    Counting c;
    c.skel.reset(netd_bpf__open_and_load());
    if (!c.skel) {
        say(std::string("cannot load the counting programs: ") + std::strerror(errno) +
            " (needs CAP_BPF, CAP_NET_ADMIN and CAP_PERFMON, or root)");
        return std::nullopt;
    }
    netd_bpf* s = c.skel.get();
    for (bpf_program* p : {s->progs.qf_sock_create, s->progs.qf_sock_release, s->progs.qf_ingress,
                           s->progs.qf_egress}) {
        c.links.emplace_back(bpf_program__attach_cgroup(p, cgfd.get()));
        if (!c.links.back()) {
            say(std::string("cannot attach ") + bpf_program__name(p) + " to " + cgroup + ": " +
                std::strerror(errno));
            return std::nullopt;
        }
    }
    return c;
}

int run(const Options& o) {
    if (const auto why = kernelRefusal()) {
        say(*why);
        return 1;
    }
    const std::string cgroup = o.cgroup.empty() ? defaultCgroup() : o.cgroup;
    if (cgroup.empty() || !isCgroup2(cgroup)) {
        say(cgroup.empty() ? "no cgroup v2 hierarchy is mounted (looked at /sys/fs/cgroup and "
                             "/sys/fs/cgroup/unified); counting needs one"
                           : cgroup + " is not a cgroup v2 directory");
        return 1;
    }
    const auto counting = attach(cgroup);
    if (!counting)
        return 1;
    const Listener listener(o.socket, o.socket == kDefaultSocket);
    if (!listener.why().empty()) {
        say("cannot listen on " + o.socket + ": " + listener.why());
        return 1;
    }

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    ::sigprocmask(SIG_BLOCK, &mask, nullptr);
    const UniqueFd stop(::signalfd(-1, &mask, SFD_CLOEXEC));
    ::signal(SIGPIPE, SIG_IGN);

    Service service(counting->skel.get(), o.maxProcesses);
    // Sockets that were there before: looked up once now rather than on their first packet.
    service.pass();
    say("counting sockets of " + cgroup + "; answering on " + o.socket);
    return serve(service, listener.fd(), stop.get()) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const auto o = parseArgs(argc, argv);
    if (!o) {
        say("usage: quillfern-netd [--cgroup DIR] [--socket PATH] [--max-processes N]");
        return 2;
    }
    return run(*o);
}
