#pragma once

// What the counting service asks of the system besides its kernel programs: whether the kernel
// and the cgroup tree can carry them, the boot-time clock, and which inode each socket has.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace qfnetd {

// A descriptor closed when it goes out of scope.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : m_fd(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
    UniqueFd& operator=(UniqueFd&& o) noexcept;
    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

private:
    int m_fd;
};

// Listens on a Unix socket at `path` that every user may connect to. The socket is made with
// its final mode, through a descriptor of its directory, and only in a directory that only
// this user (root) may change: nobody can slip a link in between. With makeParent the
// directory is made when missing. Removes the socket on destruction.
class Listener {
public:
    Listener(const std::string& path, bool makeParent);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    int fd() const { return m_fd.get(); }
    // Why it is not listening; empty when it is.
    const std::string& why() const { return m_why; }

private:
    std::string open(const std::string& path, bool makeParent);
    UniqueFd m_dir, m_fd;
    std::string m_name, m_why;
};

// Why this kernel cannot run the programs (older than 5.9, which brought the socket release
// hook), or nullopt when it can.
std::optional<std::string> kernelRefusal();
// Whether a kernel release string ("6.1.0-18-amd64") is at least major.minor.
bool releaseAtLeast(const std::string& release, int major, int minor);

bool isCgroup2(const std::string& dir);
// The cgroup-v2 root: /sys/fs/cgroup on unified systems, /sys/fs/cgroup/unified on hybrid
// ones; empty when there is none.
std::string defaultCgroup();

std::uint64_t bootTimeNs();
std::uint64_t ticksPerSecond();

struct DiagSocket {
    std::uint64_t inode = 0;
    std::uint32_t uid = 0;
};
// TCP and UDP sockets of this network namespace, both address families, by cookie; nullopt
// when the kernel's socket dump cannot be had.
std::optional<std::unordered_map<std::uint64_t, DiagSocket>> socketsByCookie();

} // namespace qfnetd
