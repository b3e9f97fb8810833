#include "netd_system.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/magic.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <utility>

namespace qfnetd {

UniqueFd::~UniqueFd() {
    if (m_fd >= 0)
        ::close(m_fd);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(o.m_fd, -1);
    }
    return *this;
}

Listener::Listener(const std::string& path, bool makeParent) {
    m_why = open(path, makeParent);
    if (!m_why.empty())
        m_fd = UniqueFd();
}

std::string Listener::open(const std::string& path, bool makeParent) {
    const auto failed = [](const std::string& what) { return what + ": " + std::strerror(errno); };
    const std::size_t slash = path.rfind('/');
    // No trailing slash: that would have the last component followed even when it is a link.
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    m_name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (makeParent && ::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return failed("cannot make " + dir);
    m_dir = UniqueFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st {};
    if (!m_dir || ::fstat(m_dir.get(), &st) != 0)
        return failed("cannot open " + dir);
    if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return dir + " belongs to another user or others may write to it";
    // A socket left by a service that died; anything else at that path is not ours to remove.
    if (::fstatat(m_dir.get(), m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISSOCK(st.st_mode))
        ::unlinkat(m_dir.get(), m_name.c_str(), 0);
    // Bound through the directory's descriptor, so the path cannot be turned elsewhere.
    const std::string via = "/proc/self/fd/" + std::to_string(m_dir.get()) + "/" + m_name;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (m_name.empty() || via.size() >= sizeof addr.sun_path)
        return "not a usable socket name";
    std::memcpy(addr.sun_path, via.c_str(), via.size() + 1);
    m_fd = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!m_fd)
        return failed("cannot make a socket");
    // The file takes the socket's own mode when it is bound: it never exists with another.
    const mode_t mask = ::umask(0);
    const bool bound = ::fchmod(m_fd.get(), 0666) == 0 &&
                       ::bind(m_fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::umask(mask);
    if (!bound)
        return failed("cannot bind");
    if (::listen(m_fd.get(), 64) != 0) {
        const std::string why = failed("cannot listen");
        ::unlinkat(m_dir.get(), m_name.c_str(), 0);
        return why;
    }
    return {};
}

Listener::~Listener() {
    struct stat st {};
    if (m_fd && ::fstatat(m_dir.get(), m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISSOCK(st.st_mode))
        ::unlinkat(m_dir.get(), m_name.c_str(), 0);
}

bool releaseAtLeast(const std::string& release, int major, int minor) {
    int maj = 0, min = 0;
    const char* p = release.data();
    const char* end = p + release.size();
    auto r = std::from_chars(p, end, maj);
    if (r.ec != std::errc() || r.ptr == end || *r.ptr != '.')
        return false;
    r = std::from_chars(r.ptr + 1, end, min);
    if (r.ec != std::errc())
        return false;
    return maj > major || (maj == major && min >= minor);
}

std::optional<std::string> kernelRefusal() {
    utsname u{};
    if (::uname(&u) != 0)
        return std::string("cannot read the kernel version");
    if (!releaseAtLeast(u.release, 5, 9))
        return "kernel " + std::string(u.release) +
               " is too old: counting needs Linux 5.9 or later (socket release hook)";
    return std::nullopt;
}

bool isCgroup2(const std::string& dir) {
    struct statfs fs {};
    return ::statfs(dir.c_str(), &fs) == 0 && fs.f_type == CGROUP2_SUPER_MAGIC;
}

std::string defaultCgroup() {
    for (const char* d : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"}) {
        if (isCgroup2(d))
            return d;
    }
    return {};
}

std::uint64_t bootTimeNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    return std::uint64_t(ts.tv_sec) * 1000000000u + std::uint64_t(ts.tv_nsec);
}

std::uint64_t ticksPerSecond() {
    const long hz = ::sysconf(_SC_CLK_TCK);
    return hz > 0 ? std::uint64_t(hz) : 100;
}

namespace {

bool dumpOne(int nl, std::uint8_t family, std::uint8_t protocol, std::uint32_t seq,
             std::unordered_map<std::uint64_t, DiagSocket>& out) {
    struct {
        nlmsghdr nlh;
        inet_diag_req_v2 req;
    } msg{};
    msg.nlh.nlmsg_len = sizeof msg;
    msg.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    msg.nlh.nlmsg_seq = seq;
    msg.req.sdiag_family = family;
    msg.req.sdiag_protocol = protocol;
    msg.req.idiag_states = ~0u;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(nl, &msg, sizeof msg, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
        return false;
    alignas(nlmsghdr) static char buf[32 * 1024];
    for (;;) {
        const ssize_t n = ::recv(nl, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        int len = static_cast<int>(n);
        for (auto* h = reinterpret_cast<const nlmsghdr*>(buf); NLMSG_OK(h, len);
             h = NLMSG_NEXT(h, len)) {
            if (h->nlmsg_seq != seq)
                continue;
            if (h->nlmsg_type == NLMSG_DONE)
                return true;
            if (h->nlmsg_type == NLMSG_ERROR)
                return false;
            if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                continue;
            const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
            const std::uint64_t cookie =
                std::uint64_t(m->id.idiag_cookie[0]) | (std::uint64_t(m->id.idiag_cookie[1]) << 32);
            out[cookie] = {m->idiag_inode, m->idiag_uid};
        }
    }
}

} // namespace

std::optional<std::unordered_map<std::uint64_t, DiagSocket>> socketsByCookie() {
    const int nl = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0)
        return std::nullopt;
    std::unordered_map<std::uint64_t, DiagSocket> out;
    std::uint32_t seq = 1;
    // IPv6 or UDP diagnostics may be missing from a kernel; what the others find still counts.
    bool ok = false;
    for (const std::uint8_t family : {std::uint8_t(AF_INET), std::uint8_t(AF_INET6)}) {
        for (const std::uint8_t proto : {std::uint8_t(IPPROTO_TCP), std::uint8_t(IPPROTO_UDP)})
            ok = dumpOne(nl, family, proto, seq++, out) || ok;
    }
    ::close(nl);
    if (!ok)
        return std::nullopt;
    return out;
}

} // namespace qfnetd
