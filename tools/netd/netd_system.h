#pragma once

// What the counting service asks of the system besides its kernel programs: whether the kernel
// and the cgroup tree can carry them, the boot-time clock, and which inode each socket has.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace qfnetd {

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
