#include "nettop_system.h"

#include "NetlinkDump.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qfnettop {

namespace {

// Kernel TCP state numbers (include/net/tcp_states.h).
constexpr unsigned kTcpTimeWait = 6, kTcpListen = 10, kTcpNewSynRecv = 12;

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    int release() {
        const int f = m_fd;
        m_fd = -1;
        return f;
    }

private:
    int m_fd;
};

// Reads an open file whole; nullopt on any failure or when it is larger than cap.
std::optional<std::string> readAll(int fd, std::size_t cap) {
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > cap)
            return std::nullopt;
    }
    return out;
}

std::optional<std::string> readSmallFile(int dirFd, const char* path, std::size_t cap) {
    Fd fd(::openat(dirFd, path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0)
        return std::nullopt;
    return readAll(fd.get(), cap);
}

template <typename T> bool parseDecimal(std::string_view s, T& v) {
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && p == s.data() + s.size() && !s.empty();
}

void parseDiagMessage(const nlmsghdr* h, std::vector<SocketRecord>& out) {
    if (h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        return;
    const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
    SocketRecord r;
    r.cookie = std::uint64_t(m->id.idiag_cookie[0]) | (std::uint64_t(m->id.idiag_cookie[1]) << 32);
    r.inode = m->idiag_inode;
    r.uid = m->idiag_uid;
    std::uint8_t src[16], dst[16];
    std::memcpy(src, m->id.idiag_src, 16);
    std::memcpy(dst, m->id.idiag_dst, 16);
    r.loopback = isLocalFlow(m->idiag_family, src, dst);

    int attrLen = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof(inet_diag_msg)));
    // The attributes follow the message, aligned as the kernel laid them out.
    auto* rta = reinterpret_cast<rtattr*>(const_cast<char*>(reinterpret_cast<const char*>(m)) +
                                          NLMSG_ALIGN(sizeof(inet_diag_msg)));
    for (; RTA_OK(rta, attrLen); rta = RTA_NEXT(rta, attrLen)) {
        if (rta->rta_type != INET_DIAG_INFO)
            continue;
        const std::size_t len = RTA_PAYLOAD(rta);
        // Older kernels send a shorter tcp_info: only read fields that are really there.
        constexpr std::size_t needAcked = offsetof(tcp_info, tcpi_bytes_acked) + 8;
        constexpr std::size_t needReceived = offsetof(tcp_info, tcpi_bytes_received) + 8;
        if (len < needAcked || len < needReceived)
            break;
        const auto* data = static_cast<const char*>(RTA_DATA(rta));
        std::memcpy(&r.bytes.out, data + offsetof(tcp_info, tcpi_bytes_acked), 8);
        std::memcpy(&r.bytes.in, data + offsetof(tcp_info, tcpi_bytes_received), 8);
        r.hasCounters = true;
        break;
    }
    out.push_back(r);
}

// One dump through the shared loop; a dump the kernel marks as torn is asked again whole.
bool dumpReplies(nldump::Socket& nl, std::vector<unsigned char> request, std::uint16_t replyType,
                 std::vector<SocketRecord>& out) {
    const std::size_t kept = out.size();
    return nl.dump(
        std::move(request),
        [&out, replyType](const nlmsghdr& h) { parseDiagReply(h, replyType, out); },
        [&out, kept] { out.resize(kept); });
}

// Listening, time-wait and half-open sockets carry no bytes of their own.
constexpr std::uint32_t kStates =
    ~((1u << kTcpTimeWait) | (1u << kTcpListen) | (1u << kTcpNewSynRecv));

// The older request form asks for both address families in one walk of the kernel's socket
// table, where the current form walks the whole table once per family: half the kernel time on
// a machine with a large table and few sockets.
bool dumpBothFamilies(nldump::Socket& nl, std::vector<SocketRecord>& out) {
    inet_diag_req req{};
    req.idiag_family = AF_INET;
    req.idiag_states = kStates;
    req.idiag_ext = 1u << (INET_DIAG_INFO - 1);
    return dumpReplies(nl, nldump::makeRequest(TCPDIAG_GETSOCK, &req, sizeof req), TCPDIAG_GETSOCK,
                       out);
}

bool dumpFamily(nldump::Socket& nl, std::uint8_t family, std::vector<SocketRecord>& out) {
    inet_diag_req_v2 req{};
    req.sdiag_family = family;
    req.sdiag_protocol = IPPROTO_TCP;
    req.idiag_states = kStates;
    req.idiag_ext = 1u << (INET_DIAG_INFO - 1);
    return dumpReplies(nl, nldump::makeRequest(SOCK_DIAG_BY_FAMILY, &req, sizeof req),
                       SOCK_DIAG_BY_FAMILY, out);
}

} // namespace

void parseDiagReply(const nlmsghdr& h, std::uint16_t replyType, std::vector<SocketRecord>& out) {
    if (h.nlmsg_type == replyType) {
        parseDiagMessage(&h, out);
    }
}

std::optional<std::vector<SocketRecord>> dumpTcpSockets(DumpMethod method) {
    nldump::Socket nl(NETLINK_SOCK_DIAG);
    if (!nl.valid())
        return std::nullopt;
    std::vector<SocketRecord> out;
    const bool ok = method == DumpMethod::Combined
                        ? dumpBothFamilies(nl, out)
                        : dumpFamily(nl, AF_INET, out) && dumpFamily(nl, AF_INET6, out);
    if (!ok)
        return std::nullopt;
    return out;
}

std::unordered_map<std::uint64_t, std::uint32_t>
findSocketHolders(const std::unordered_set<std::uint64_t>& wanted) {
    std::unordered_map<std::uint64_t, std::uint32_t> holders;
    if (wanted.empty())
        return holders;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return holders;
    const int procFd = ::dirfd(proc);
    constexpr std::string_view kPrefix = "socket:[";
    char link[64];
    while (const dirent* e = ::readdir(proc)) {
        std::uint32_t pid = 0;
        const std::string_view name(e->d_name);
        if (name.empty() || name[0] < '1' || name[0] > '9' || !parseDecimal(name, pid))
            continue;
        char path[32];
        std::memcpy(path, name.data(), name.size());
        std::memcpy(path + name.size(), "/fd", 4);
        const int fdDirFd = ::openat(procFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fdDirFd < 0)
            continue; // another user's process, or gone
        DIR* fds = ::fdopendir(fdDirFd);
        if (!fds) {
            ::close(fdDirFd);
            continue;
        }
        while (const dirent* f = ::readdir(fds)) {
            if (f->d_name[0] == '.')
                continue;
            const ssize_t n = ::readlinkat(fdDirFd, f->d_name, link, sizeof link);
            if (n <= static_cast<ssize_t>(kPrefix.size()) + 1 || link[n - 1] != ']')
                continue;
            const std::string_view target(link, static_cast<std::size_t>(n));
            if (target.substr(0, kPrefix.size()) != kPrefix)
                continue;
            std::uint64_t inode = 0;
            if (!parseDecimal(target.substr(kPrefix.size(), target.size() - kPrefix.size() - 1),
                              inode))
                continue;
            // /proc lists pids in ascending order, so the first holder found is the lowest.
            if (wanted.count(inode) != 0)
                holders.emplace(inode, pid);
        }
        ::closedir(fds);
        if (holders.size() == wanted.size())
            break;
    }
    ::closedir(proc);
    return holders;
}

std::optional<std::uint64_t> processStartTime(std::uint32_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const auto text = readSmallFile(AT_FDCWD, path.c_str(), 4096);
    if (!text)
        return std::nullopt;
    // The name in parentheses may itself hold ") ": the fields start after the last ')'.
    const std::size_t close = text->rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::string_view rest = std::string_view(*text).substr(close + 1);
    // Field 3 (state) is the first after the name; the start time is field 22.
    for (int field = 3; field <= 22; ++field) {
        const std::size_t b = rest.find_first_not_of(' ');
        if (b == std::string_view::npos)
            return std::nullopt;
        rest.remove_prefix(b);
        const std::size_t end = rest.find_first_of(" \n");
        const std::string_view token = rest.substr(0, end);
        if (field == 22) {
            std::uint64_t v = 0;
            if (!parseDecimal(token, v))
                return std::nullopt;
            return v;
        }
        if (end == std::string_view::npos)
            return std::nullopt;
        rest.remove_prefix(end);
    }
    return std::nullopt;
}

std::optional<std::string> processName(std::uint32_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/comm";
    auto text = readSmallFile(AT_FDCWD, path.c_str(), 256);
    if (text && !text->empty() && text->back() == '\n')
        text->pop_back();
    return text;
}

std::optional<std::string> loginName(std::uint32_t uid) {
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buf(4096);
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || !found || !pw.pw_name)
        return std::nullopt;
    return std::string(pw.pw_name);
}

StateIdentity currentIdentity() {
    StateIdentity id;
    id.uid = ::getuid();
    struct stat st {};
    if (::stat("/proc/self/ns/net", &st) == 0)
        id.netns = st.st_ino;
    if (const auto text = readSmallFile(AT_FDCWD, "/proc/sys/kernel/random/boot_id", 128)) {
        std::size_t k = 0;
        int half = -1;
        for (char c : *text) {
            int v;
            if (c >= '0' && c <= '9')
                v = c - '0';
            else if (c >= 'a' && c <= 'f')
                v = c - 'a' + 10;
            else
                continue;
            if (half < 0) {
                half = v;
            } else if (k < id.bootId.size()) {
                id.bootId[k++] = static_cast<std::uint8_t>(half << 4 | v);
                half = -1;
            }
        }
    }
    return id;
}

namespace {

// Makes dir (one level) if missing, private to the user; true if it is now a directory we own.
bool ensurePrivateDir(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
}

bool absolute(const char* p) {
    return p && p[0] == '/';
}

} // namespace

std::string StateStore::defaultDirectory() {
    // The session's runtime directory is made by the login manager, never by us: one that
    // is named but missing (a stale environment, a daemon's "/nonexistent") falls back to
    // the cache instead of being created, as root, wherever it points.
    struct stat st {};
    if (const char* run = std::getenv("XDG_RUNTIME_DIR");
        absolute(run) && ::stat(run, &st) == 0 && S_ISDIR(st.st_mode))
        return std::string(run) + "/quillfern";
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); absolute(cache))
        return std::string(cache) + "/quillfern";
    std::string home;
    if (const char* h = std::getenv("HOME"); absolute(h)) {
        home = h;
    } else {
        passwd pw{};
        passwd* found = nullptr;
        std::vector<char> buf(4096);
        if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
            absolute(pw.pw_dir))
            home = pw.pw_dir;
    }
    if (home.empty())
        return {};
    return home + "/.cache/quillfern";
}

StateStore::StateStore(std::string dir) {
    if (dir.empty()) {
        dir = defaultDirectory();
        if (dir.empty())
            return;
        // The cache directory's parent (~/.cache) may not exist yet on a fresh account.
        const std::size_t slash = dir.rfind('/');
        if (slash != std::string::npos && slash > 0)
            ::mkdir(dir.substr(0, slash).c_str(), 0700);
    }
    if (!ensurePrivateDir(dir))
        return;
    m_dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
}

StateStore::~StateStore() {
    unlock();
    if (m_dirFd >= 0)
        ::close(m_dirFd);
}

void StateStore::lock() {
    // Two runs at once would each rewrite the file from the same old state; take turns.
    if (m_dirFd >= 0 && !m_locked) {
        while (::flock(m_dirFd, LOCK_EX) != 0 && errno == EINTR) {
        }
        m_locked = true;
    }
}

void StateStore::unlock() {
    if (m_dirFd >= 0 && m_locked) {
        ::flock(m_dirFd, LOCK_UN);
        m_locked = false;
    }
}

State StateStore::load(const StateIdentity& id) const {
    if (m_dirFd < 0)
        return {};
    Fd fd(::openat(m_dirFd, kFileName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::getuid())
        return {};
    constexpr std::size_t kCap = 64u << 20;
    const auto bytes = readAll(fd.get(), kCap);
    if (!bytes)
        return {};
    return decodeState(*bytes, id).value_or(State{});
}

bool StateStore::save(const State& state, const StateIdentity& id) const {
    if (m_dirFd < 0)
        return false;
    const std::string bytes = encodeState(state, id);
    // One fixed name: runs take turns under the directory lock, and a run killed halfway leaves
    // a file the next one simply replaces rather than one more stray file per killed run.
    const std::string tmp = std::string(kFileName) + ".tmp";
    ::unlinkat(m_dirFd, tmp.c_str(), 0);
    Fd fd(
        ::openat(m_dirFd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.get() < 0)
        return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::unlinkat(m_dirFd, tmp.c_str(), 0);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    // No fsync: the file lives on tmpfs in the usual case, and a torn file after a crash is
    // refused by its checksum, which costs only the monotonic carry-over, never wrong numbers.
    if (::close(fd.release()) != 0 || ::renameat(m_dirFd, tmp.c_str(), m_dirFd, kFileName) != 0) {
        ::unlinkat(m_dirFd, tmp.c_str(), 0);
        return false;
    }
    return true;
}

} // namespace qfnettop
