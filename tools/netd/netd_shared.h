#pragma once

// The record the kernel programs keep per socket, read by the service. Plain fixed-width
// fields only: the same header is compiled for the BPF target and for the service.

#ifdef __bpf__
typedef unsigned long long qf_u64;
typedef unsigned int qf_u32;
#else
#include <stdint.h>
typedef uint64_t qf_u64;
typedef uint32_t qf_u32;
#endif

#define QF_COMM_LEN 16
// Sockets tracked at once; the oldest untouched one makes room for a new one beyond this.
#define QF_MAX_SOCKETS 65536

enum qf_sock_flags {
    // Created before the programs were attached, or by the kernel for an accepted connection:
    // the owner is not known yet and the service looks it up.
    QF_SOCK_UNOWNED = 1,
};

struct qf_sock {
    qf_u64 rx;         // bytes received (IP packet lengths)
    qf_u64 tx;         // bytes sent
    qf_u64 created_ns; // CLOCK_BOOTTIME when first seen
    qf_u64 closed_ns;  // CLOCK_BOOTTIME when released; 0 while open
    qf_u32 tgid;
    qf_u32 uid;
    qf_u32 flags;
    qf_u32 local_port; // host order, for sockets the service must find an owner for
    char comm[QF_COMM_LEN];
};

// Slots of the per-CPU statistics array.
enum qf_stat {
    QF_STAT_CREATED = 0,       // sockets seen by sock_create
    QF_STAT_UNOWNED = 1,       // sockets first seen by a packet
    QF_STAT_INSERT_FAILED = 2, // packets of a socket that could not be recorded at all
    QF_STAT_COUNT = 3,
};
