// Kernel half of quillfern-netd: who created each socket, and how many bytes it moved.
// Every program lets everything through; they only count.

#include <linux/bpf.h>
#include <bpf/bpf_helpers.h>

#include "netd_shared.h"

char LICENSE[] SEC("license") = "GPL";

// The loopback device has this index in every network namespace; its bytes never leave the
// machine, so they belong to no application's traffic.
#define QF_LOOPBACK_IFINDEX 1

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, QF_MAX_SOCKETS);
    __type(key, qf_u64);
    __type(value, struct qf_sock);
} socks SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, QF_STAT_COUNT);
    __type(key, qf_u32);
    __type(value, qf_u64);
} stats SEC(".maps");

static __always_inline void bump(qf_u32 slot) {
    qf_u64* v = bpf_map_lookup_elem(&stats, &slot);
    if (v)
        *v += 1;
}

SEC("cgroup/sock_create")
int qf_sock_create(struct bpf_sock* sk) {
    qf_u64 cookie = bpf_get_socket_cookie(sk);
    struct qf_sock s = {};
    s.created_ns = bpf_ktime_get_boot_ns();
    s.tgid = (qf_u32)(bpf_get_current_pid_tgid() >> 32);
    s.uid = (qf_u32)bpf_get_current_uid_gid();
    bpf_get_current_comm(s.comm, sizeof s.comm);
    bpf_map_update_elem(&socks, &cookie, &s, BPF_ANY);
    bump(QF_STAT_CREATED);
    return 1;
}

SEC("cgroup/sock_release")
int qf_sock_release(struct bpf_sock* sk) {
    qf_u64 cookie = bpf_get_socket_cookie(sk);
    struct qf_sock* s = bpf_map_lookup_elem(&socks, &cookie);
    if (s)
        s->closed_ns = bpf_ktime_get_boot_ns();
    return 1;
}

static __always_inline void account(struct __sk_buff* skb, int egress) {
    if (skb->ifindex == QF_LOOPBACK_IFINDEX)
        return;
    qf_u64 cookie = bpf_get_socket_cookie(skb);
    if (cookie == 0)
        return;
    struct qf_sock* s = bpf_map_lookup_elem(&socks, &cookie);
    if (!s) {
        // A socket that sock_create never saw: record it so the service can find its owner.
        struct qf_sock fresh = {};
        fresh.created_ns = bpf_ktime_get_boot_ns();
        fresh.flags = QF_SOCK_UNOWNED;
        fresh.local_port = skb->local_port;
        if (bpf_map_update_elem(&socks, &cookie, &fresh, BPF_NOEXIST) == 0)
            bump(QF_STAT_UNOWNED);
        s = bpf_map_lookup_elem(&socks, &cookie);
        if (!s) {
            bump(QF_STAT_INSERT_FAILED);
            return;
        }
    }
    if (egress)
        __sync_fetch_and_add(&s->tx, skb->len);
    else
        __sync_fetch_and_add(&s->rx, skb->len);
}

SEC("cgroup_skb/ingress")
int qf_ingress(struct __sk_buff* skb) {
    account(skb, 0);
    return 1;
}

SEC("cgroup_skb/egress")
int qf_egress(struct __sk_buff* skb) {
    account(skb, 1);
    return 1;
}
