#pragma once

#include <cstddef>
#include <cstdint>

// The kernel's interface list, read the way the BSD routing socket offers it: a sysctl
// under the name {CTL_NET, PF_ROUTE, 0, 0, NET_RT_IFLIST2, 0} answering packed messages,
// of which the interface messages are 160-byte records with 64-bit counters. On macOS this
// is the real sysctl; on Linux a small stand-in answers that one name from rtnetlink.

namespace netlist {

inline constexpr int kName[6] = {4, 17, 0, 0, 6, 0};
inline constexpr unsigned kNameLength = 6;

// Layout of one interface message (all integers in native byte order).
inline constexpr std::size_t kRecordSize = 160;
inline constexpr std::size_t kOffLength = 0;     // u16 message length, 0 ends the list
inline constexpr std::size_t kOffVersion = 2;    // u8
inline constexpr std::size_t kOffType = 3;       // u8 message type
inline constexpr std::size_t kOffFlags = 8;      // i32 interface flags
inline constexpr std::size_t kOffIndex = 12;     // u16 interface index
inline constexpr std::size_t kOffIfType = 32;    // u8 interface type
inline constexpr std::size_t kOffMtu = 40;       // u32
inline constexpr std::size_t kOffInPackets = 56; // u64
inline constexpr std::size_t kOffInErrors = 64;  // u64
inline constexpr std::size_t kOffOutPackets = 72;
inline constexpr std::size_t kOffOutErrors = 80;
inline constexpr std::size_t kOffInBytes = 96;   // u64 bytes received
inline constexpr std::size_t kOffOutBytes = 104; // u64 bytes sent
inline constexpr std::size_t kOffInDrops = 128;  // u64

inline constexpr std::uint8_t kMsgVersion = 5;
inline constexpr std::uint8_t kTypeInterfaceInfo = 18;
inline constexpr std::uint8_t kIfTypeOther = 1;
inline constexpr std::uint8_t kIfTypeEthernet = 6;
inline constexpr std::uint8_t kIfTypePpp = 23;
inline constexpr std::uint8_t kIfTypeLoopback = 24;

} // namespace netlist

// sysctl-shaped: with buffer == nullptr stores in *length a size that the list fits in (it
// may round up, as sysctl(3) allows for lists that change often); otherwise
// fills at most *length bytes, stores the bytes written and returns 0, or returns -1 with
// errno ENOMEM when the list no longer fits (it grew since the size query). Any other
// failure returns -1 with errno set. Only the interface-list name is answered on Linux.
int netSysctl(const int* name, unsigned nameLength, void* buffer, std::size_t* length);

#ifdef __linux__
// Reads the counters from /proc/net/dev instead of RTM_GETSTATS, as on kernels before 4.7.
// For tests and the benchmark; the stand-in switches on its own when the kernel refuses.
void netSysctlForceProcFallback(bool force);
#endif
