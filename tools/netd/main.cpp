// quillfern-netd: counts every socket's bytes in the kernel and tells each user what their own
// processes moved. Optional and privileged; the widget and the tool work without it.

#include "netd.skel.h"
#include "netd_core.h"
#include "netd_shared.h"
#include "netd_system.h"
#include "nettop_system.h"

#include <algorithm>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

using namespace qfnetd;

constexpr std::uint64_t kSecond = 1000000000u;
// TCP can still be sending what was queued when the socket was released.
constexpr std::uint64_t kGraceNs = 5 * kSecond;
// An ended process stays listed this long, so the next sample still sees its last bytes.
constexpr std::uint64_t kRetentionNs = 120 * kSecond;
constexpr int kPassIntervalMs = 1000;
// A client asking often does not make the service walk the kernel table more often than this.
constexpr std::uint64_t kMinPassGapNs = kSecond / 4;
constexpr std::size_t kMaxClients = 64;
// No single user can take every connection, and a client that says nothing is let go.
constexpr std::size_t kMaxClientsPerUser = 8;
constexpr std::uint64_t kIdleNs = 10 * kSecond;
constexpr std::size_t kMaxPendingOutput = 4u << 20;
// Tries to find the owner of a socket first seen by a packet before its bytes stay unattributed.
constexpr int kResolveAttempts = 3;

void say(const std::string& s) {
    const std::string line = "quillfern-netd: " + s + "\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
}

struct Options {
    std::string cgroup;
    std::string socket = kDefaultSocket;
};

std::optional<Options> parseArgs(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if ((a == "--cgroup" || a == "--socket") && i + 1 < argc) {
            (a == "--cgroup" ? o.cgroup : o.socket) = argv[++i];
        } else {
            return std::nullopt;
        }
    }
    return o;
}

struct Client {
    int fd = -1;
    std::uint32_t uid = 0;
    std::uint64_t lastActiveNs = 0;
    std::string in;
    std::string out;
};

class Service {
public:
    Service(netd_bpf* skel) : m_skel(skel) {}

    void pass();
    std::string answer(std::uint32_t uid, Request r);

private:
    std::vector<SocketSample> readTable();
    void resolve(std::vector<SocketSample>& samples);
    ServiceStats stats() const;

    netd_bpf* m_skel;
    Ledger m_ledger;
    std::unordered_map<std::uint64_t, int> m_attempts;
    std::uint64_t m_folded = 0;
    std::uint64_t m_present = 0;
    std::uint64_t m_lastPassNs = 0;
    bool m_batchWorks = true;
    bool m_diagFailed = false;
};

SocketSample toSample(std::uint64_t cookie, const qf_sock& s) {
    SocketSample out;
    out.cookie = cookie;
    out.bytes = {s.rx, s.tx};
    out.createdNs = s.created_ns;
    out.closedNs = s.closed_ns;
    out.tgid = s.tgid;
    out.uid = s.uid;
    out.unowned = (s.flags & QF_SOCK_UNOWNED) != 0;
    out.comm.assign(s.comm, ::strnlen(s.comm, sizeof s.comm));
    return out;
}

std::vector<SocketSample> Service::readTable() {
    const int fd = bpf_map__fd(m_skel->maps.socks);
    std::vector<SocketSample> out;
    if (m_batchWorks) {
        constexpr std::uint32_t kChunk = 4096;
        std::vector<std::uint64_t> keys(kChunk);
        std::vector<qf_sock> values(kChunk);
        std::uint64_t inBatch = 0, outBatch = 0;
        bool first = true;
        for (;;) {
            std::uint32_t count = kChunk;
            const int rc = bpf_map_lookup_batch(fd, first ? nullptr : &inBatch, &outBatch,
                                                keys.data(), values.data(), &count, nullptr);
            const int err = rc < 0 ? errno : 0;
            for (std::uint32_t i = 0; i < count; ++i)
                out.push_back(toSample(keys[i], values[i]));
            if (err == ENOENT)
                return out;
            if (rc < 0) {
                // Kernels without batch reads for this map kind: walk it key by key instead.
                say(std::string("batch reads of the socket table failed (") + std::strerror(err) +
                    "); reading it key by key");
                m_batchWorks = false;
                out.clear();
                break;
            }
            inBatch = outBatch;
            first = false;
        }
    }
    std::uint64_t key = 0, next = 0;
    const std::uint64_t* prev = nullptr;
    while (bpf_map_get_next_key(fd, prev, &next) == 0) {
        qf_sock v{};
        if (bpf_map_lookup_elem(fd, &next, &v) == 0)
            out.push_back(toSample(next, v));
        key = next;
        prev = &key;
    }
    return out;
}

void Service::resolve(std::vector<SocketSample>& samples) {
    const std::uint64_t hz = ticksPerSecond();
    std::vector<const SocketSample*> unowned;
    // A process opening many sockets between two passes is looked up once.
    struct Seen {
        std::optional<std::uint64_t> start;
        std::optional<std::string> name;
    };
    std::unordered_map<std::uint32_t, Seen> seen;
    for (const SocketSample& s : samples) {
        if (m_ledger.hasOwner(s.cookie) || m_ledger.gaveUp(s.cookie))
            continue;
        if (s.unowned) {
            unowned.push_back(&s);
            continue;
        }
        auto [it, fresh] = seen.try_emplace(s.tgid);
        if (fresh) {
            it->second.start = qfnettop::processStartTime(s.tgid);
            it->second.name = qfnettop::processName(s.tgid);
        }
        const auto& start = it->second.start;
        if (start && startedBy(*start, hz, s.createdNs)) {
            const auto& name = it->second.name;
            m_ledger.setOwner(s.cookie, {s.tgid, *start}, {s.uid, name ? *name : s.comm});
        } else {
            // The creator is gone (its pid may belong to someone else now): keep it apart.
            m_ledger.setOwner(s.cookie, {s.tgid, 0}, {s.uid, s.comm});
        }
    }
    if (unowned.empty())
        return;

    // Sockets made before the service started, or accepted from a listener: the kernel's
    // socket list names their inode, and /proc the process holding it.
    const auto diag = socketsByCookie();
    if (!diag) {
        if (!m_diagFailed)
            say("cannot read the kernel's socket list; sockets opened before the service or "
                "accepted from a listener stay unattributed");
        m_diagFailed = true;
    } else if (m_diagFailed) {
        say("the kernel's socket list can be read again");
        m_diagFailed = false;
    }
    std::unordered_set<std::uint64_t> wanted;
    if (diag) {
        for (const SocketSample* s : unowned) {
            const auto it = diag->find(s->cookie);
            if (it != diag->end() && it->second.inode != 0)
                wanted.insert(it->second.inode);
        }
    }
    const auto holders = wanted.empty() ? decltype(qfnettop::findSocketHolders(wanted)){}
                                        : qfnettop::findSocketHolders(wanted);
    for (const SocketSample* s : unowned) {
        bool found = false;
        if (diag) {
            const auto it = diag->find(s->cookie);
            const auto h = it == diag->end() ? holders.end() : holders.find(it->second.inode);
            if (h != holders.end()) {
                const auto start = qfnettop::processStartTime(h->second);
                const auto name = qfnettop::processName(h->second);
                if (start && name) {
                    m_ledger.setOwner(s->cookie, {h->second, *start}, {it->second.uid, *name});
                    found = true;
                }
            }
        }
        if (found) {
            m_attempts.erase(s->cookie);
        } else if (s->closedNs != 0 || ++m_attempts[s->cookie] >= kResolveAttempts) {
            m_ledger.giveUp(s->cookie);
            m_attempts.erase(s->cookie);
        }
    }
}

void Service::pass() {
    const std::uint64_t now = bootTimeNs();
    m_lastPassNs = now;
    std::vector<SocketSample> samples = readTable();
    resolve(samples);

    const int fd = bpf_map__fd(m_skel->maps.socks);
    std::vector<SocketSample> live;
    live.reserve(samples.size());
    for (SocketSample& s : samples) {
        if (!readyToFold(s, now, kGraceNs)) {
            live.push_back(std::move(s));
            continue;
        }
        // Take the counters and the entry in one step where the kernel allows it, so no
        // packet lands between reading and removing.
        qf_sock last{};
        if (bpf_map_lookup_and_delete_elem(fd, &s.cookie, &last) == 0) {
            s.bytes = {last.rx, last.tx};
        } else if (bpf_map_lookup_elem(fd, &s.cookie, &last) == 0) {
            s.bytes = {last.rx, last.tx};
            bpf_map_delete_elem(fd, &s.cookie);
        }
        m_ledger.fold(s);
        m_attempts.erase(s.cookie);
        ++m_folded;
    }
    m_present = live.size();
    m_ledger.setLive(live);

    for (const auto& [key, e] : m_ledger.processes()) {
        if (e.goneSinceNs == 0 &&
            (key.start == 0 || qfnettop::processStartTime(key.pid) != key.start))
            m_ledger.markGone(key, now);
    }
    m_ledger.expire(now, kRetentionNs);
}

ServiceStats Service::stats() const {
    ServiceStats st;
    st.unattributed = m_ledger.unattributed();
    const int fd = bpf_map__fd(m_skel->maps.stats);
    const int cpus = libbpf_num_possible_cpus();
    std::uint64_t totals[QF_STAT_COUNT] = {};
    if (cpus > 0) {
        std::vector<std::uint64_t> perCpu(static_cast<std::size_t>(cpus));
        for (std::uint32_t slot = 0; slot < QF_STAT_COUNT; ++slot) {
            if (bpf_map_lookup_elem(fd, &slot, perCpu.data()) != 0)
                continue;
            for (const std::uint64_t v : perCpu)
                totals[slot] += v;
        }
    }
    // Every socket that entered the table left it through a fold, is still there, or was
    // pushed out by a newer one.
    const std::uint64_t entered = totals[QF_STAT_CREATED] + totals[QF_STAT_UNOWNED];
    const std::uint64_t accounted = m_folded + m_present;
    st.evictedSockets = entered > accounted ? entered - accounted : 0;
    st.lostPackets = totals[QF_STAT_INSERT_FAILED];
    return st;
}

std::string Service::answer(std::uint32_t uid, Request r) {
    if (r == Request::Invalid)
        return formatError("unknown request; ask TOTALS or STATS");
    if (bootTimeNs() - m_lastPassNs >= kMinPassGapNs)
        pass();
    if (r == Request::Stats)
        return formatStats(stats());
    return formatView(viewFor(uid, m_ledger, stats()));
}

int listenOn(const std::string& path, bool makeParent) {
    if (makeParent) {
        const std::string dir = path.substr(0, path.rfind('/'));
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            return -1;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    // A socket left by a service that died; anything else at that path is not ours to remove.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::chmod(path.c_str(), 0666) != 0 || ::listen(fd, 64) != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

// Hands each complete request line its answer; false when the client must be dropped.
bool serve(Service& service, Client& c) {
    char buf[512];
    for (;;) {
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0)
            return false;
        c.in.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = c.in.find('\n')) != std::string::npos) {
            const std::string line = c.in.substr(0, nl);
            c.in.erase(0, nl + 1);
            c.out += line.size() > kMaxRequestLine ? formatError("request too long")
                                                   : service.answer(c.uid, parseRequest(line));
        }
        if (c.in.size() > kMaxRequestLine) {
            // No line end in sight: answer once and stop listening to this client.
            c.out += formatError("request too long");
            c.in.clear();
            return false;
        }
        if (c.out.size() > kMaxPendingOutput)
            return false;
    }
    return true;
}

bool flush(Client& c) {
    while (!c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n <= 0)
            return false;
        c.out.erase(0, static_cast<std::size_t>(n));
    }
    return true;
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
    const int cgfd = ::open(cgroup.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (cgfd < 0) {
        say("cannot open " + cgroup + ": " + std::strerror(errno));
        return 1;
    }

    netd_bpf* skel = netd_bpf__open_and_load();
    if (!skel) {
        say(std::string("cannot load the counting programs: ") + std::strerror(errno) +
            " (needs CAP_BPF, CAP_NET_ADMIN and CAP_PERFMON, or root)");
        return 1;
    }
    // Links, not plain attachments: if this process dies the kernel detaches the programs.
    bpf_program* progs[] = {skel->progs.qf_sock_create, skel->progs.qf_sock_release,
                            skel->progs.qf_ingress, skel->progs.qf_egress};
    std::vector<bpf_link*> links;
    for (bpf_program* p : progs) {
        bpf_link* l = bpf_program__attach_cgroup(p, cgfd);
        if (!l) {
            say(std::string("cannot attach ") + bpf_program__name(p) + " to " + cgroup + ": " +
                std::strerror(errno));
            for (bpf_link* done : links)
                bpf_link__destroy(done);
            netd_bpf__destroy(skel);
            return 1;
        }
        links.push_back(l);
    }

    const int lfd = listenOn(o.socket, o.socket == kDefaultSocket);
    if (lfd < 0) {
        say("cannot listen on " + o.socket + ": " + std::strerror(errno));
        for (bpf_link* l : links)
            bpf_link__destroy(l);
        netd_bpf__destroy(skel);
        return 1;
    }

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    ::sigprocmask(SIG_BLOCK, &mask, nullptr);
    const int sfd = ::signalfd(-1, &mask, SFD_CLOEXEC);
    ::signal(SIGPIPE, SIG_IGN);

    Service service(skel);
    // Sockets that were there before: looked up once now rather than on their first packet.
    service.pass();
    say("counting sockets of " + cgroup + "; answering on " + o.socket);

    std::vector<Client> clients;
    bool stop = false;
    std::uint64_t nextPass = bootTimeNs() + kPassIntervalMs * 1000000ull;
    while (!stop) {
        std::vector<pollfd> fds = {{lfd, POLLIN, 0}, {sfd, POLLIN, 0}};
        for (const Client& c : clients)
            fds.push_back({c.fd, short(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
        const std::uint64_t now = bootTimeNs();
        const int wait = now >= nextPass ? 0 : int((nextPass - now) / 1000000u);
        const int n = ::poll(fds.data(), fds.size(), wait);
        if (n < 0 && errno != EINTR) {
            say(std::string("poll failed: ") + std::strerror(errno));
            break;
        }
        if (bootTimeNs() >= nextPass) {
            service.pass();
            nextPass = bootTimeNs() + kPassIntervalMs * 1000000ull;
        }
        if (n < 0)
            continue;
        if (fds[1].revents & POLLIN)
            stop = true;
        std::vector<Client> kept;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            Client& c = clients[i];
            bool ok = true;
            if (fds[2 + i].revents & (POLLIN | POLLHUP | POLLERR)) {
                ok = serve(service, c);
                c.lastActiveNs = bootTimeNs();
            }
            ok = flush(c) && ok && bootTimeNs() - c.lastActiveNs < kIdleNs;
            if (ok)
                kept.push_back(std::move(c));
            else
                ::close(c.fd);
        }
        clients = std::move(kept);
        if (fds[0].revents & POLLIN) {
            for (;;) {
                const int cfd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (cfd < 0)
                    break;
                ucred cred{};
                socklen_t len = sizeof cred;
                const bool known = ::getsockopt(cfd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0;
                const auto sameUser =
                    std::count_if(clients.begin(), clients.end(),
                                  [&](const Client& c) { return c.uid == cred.uid; });
                if (!known || clients.size() >= kMaxClients ||
                    std::size_t(sameUser) >= kMaxClientsPerUser) {
                    ::close(cfd);
                    continue;
                }
                clients.push_back({cfd, cred.uid, bootTimeNs(), {}, {}});
            }
        }
    }

    for (const Client& c : clients)
        ::close(c.fd);
    ::close(lfd);
    ::unlink(o.socket.c_str());
    for (bpf_link* l : links)
        bpf_link__destroy(l);
    netd_bpf__destroy(skel);
    ::close(cgfd);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const auto o = parseArgs(argc, argv);
    if (!o) {
        say("usage: quillfern-netd [--cgroup DIR] [--socket PATH]");
        return 2;
    }
    return run(*o);
}
