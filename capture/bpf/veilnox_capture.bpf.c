// SPDX-License-Identifier: GPL-2.0
/* Kernel socket hooks that divert the traffic of the programs a user chose to
 * that user's local redirect server, whatever the program is written in and
 * however it reaches the network (C library, raw system calls, io_uring).
 *
 * - The local server registers its sockets (setsockopt VNX_OPT_SERVER): a
 *   user's traffic goes only to sockets that same user registered in the
 *   same network namespace, checked at every diversion with a socket lookup.
 *   Without one the call fails (EPERM): nothing goes out directly, and
 *   nothing reaches a port another user holds.
 * - connect4/6 (TCP): the real destination is kept in the socket's storage
 *   and the connection goes to the registered listener; sockops records it
 *   under the connection's whole 4-tuple just before the SYN leaves, so the
 *   server finds it when it accepts.
 * - connect4 / sendmsg4 (UDP): each real destination gets a loopback alias
 *   127.a.b.c; datagrams go to alias:port of the registered datagram socket,
 *   which receives on every 127/8 address and learns the alias from the
 *   packet. recvmsg4 and getpeername4 turn the alias back into the real peer.
 * - IPv6 UDP cannot be given an alias (::1 is the only loopback address) and
 *   is refused while the program is diverted, so nothing leaves directly.
 * - sock_create: a diverted program cannot open sockets of protocols that
 *   cannot be relayed (raw, ICMP, SCTP, UDP-Lite): they would leave directly.
 * - exec/fork/exit tracepoints keep, per process, a Bloom filter of its own
 *   names and every ancestor's: a program's descendants at any depth are
 *   diverted with it, and the record lives as long as the thread group.
 *
 * Policy (per user, from the proxy data block) and rules come from the
 * veilnox-capture service through maps; these programs only read them. */
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "capturewire.h"
#include "vnx_decide.bpf.h"

#define AF_INET 2
#define AF_INET6 10
#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define PROTO_TCP 6
#define PROTO_UDP 17
#define PROTO_MPTCP 262
#define ENOENT 2
#define EINVAL 22
#define TCP_LISTEN 10
#define PAGE_SIZE 4096
#define NSEC_PER_SEC 1000000000ULL

char LICENSE[] SEC("license") = "GPL";

/* The registered sockets of each user's local server, per namespace. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, 4096);
    __type(key, struct vnx_server_key);
    __type(value, struct vnx_server_ports);
} servers SEC(".maps");

/* Per registered server socket: the user that registered it. */
struct {
    __uint(type, BPF_MAP_TYPE_SK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, __u32);
} server_mark SEC(".maps");

/* Per application socket: its real destination. */
struct {
    __uint(type, BPF_MAP_TYPE_SK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, struct vnx_capture_dest);
} sock_dest SEC(".maps");

/* Per server socket: the alias asked about. */
struct {
    __uint(type, BPF_MAP_TYPE_SK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, __u32);
} alias_question SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, 65536);
    __type(key, struct vnx_conn_key);
    __type(value, struct vnx_conn_entry);
} tcp_dests SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, 131072);
    __type(key, struct vnx_alias_key);
    __type(value, __u32);
} alias_of SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, 131072);
    __type(key, __u32);
    __type(value, struct vnx_alias_info);
} alias_dest SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u32);
} alias_next SEC(".maps");

/* A zeroed record to create a process's entry from. */
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct vnx_proc_info);
} blank_proc SEC(".maps");

/* Hash of a kernel string's last path component. */
static __always_inline __u64 hash_kernel_base(const char* s) {
    __u32 zero = 0;
    struct name_buf* buf = bpf_map_lookup_elem(&scratch, &zero);
    if (!buf || !s) return 0;
    long n = bpf_probe_read_kernel_str(buf->c, sizeof buf->c, s);
    if (n <= 1) return 0;
    struct name_walk w = {.buf = buf, .len = (int)n - 1};
    bpf_loop(VNX_NAME_MAX, find_slash, &w, 0);
    return hash_walk(&w);
}

static __always_inline void lineage_add(struct vnx_proc_info* info, __u64 h) {
    if (!h) return;
    for (int k = 0; k < 4; k++) {
        __u32 bit = vnx_lineage_bit(h, k);
        info->lineage[(bit >> 6) & (VNX_LINEAGE_WORDS - 1)] |= 1ULL << (bit & 63);
    }
}

SEC("tp_btf/sched_process_fork")
int BPF_PROG(vnx_fork, struct task_struct* parent, struct task_struct* child) {
    __u32 ptgid = BPF_CORE_READ(parent, tgid);
    __u32 ctgid = BPF_CORE_READ(child, tgid);
    if (ptgid == ctgid) return 0; /* a new thread */
    struct vnx_proc_info* info = bpf_map_lookup_elem(&procs, &ptgid);
    if (info) bpf_map_update_elem(&procs, &ctgid, info, BPF_ANY);
    return 0;
}

SEC("tp_btf/sched_process_exec")
int BPF_PROG(vnx_exec, struct task_struct* p, pid_t old_pid, struct linux_binprm* bprm) {
    __u32 tgid = BPF_CORE_READ(p, tgid);
    __u64 exe = hash_kernel_base((const char*)BPF_CORE_READ(bprm, file, f_path.dentry, d_name.name));
    __u64 invoked = hash_kernel_base(BPF_CORE_READ(bprm, filename));
    struct vnx_proc_info* info = bpf_map_lookup_elem(&procs, &tgid);
    if (!info) {
        /* Unknown until now (older than the hooks and not listed): its own
         * names are all there is. */
        __u32 zero = 0;
        struct vnx_proc_info* blank = bpf_map_lookup_elem(&blank_proc, &zero);
        if (!blank) return 0;
        bpf_map_update_elem(&procs, &tgid, blank, BPF_NOEXIST);
        info = bpf_map_lookup_elem(&procs, &tgid);
        if (!info) return 0;
    }
    /* The new image's names join those of the image before it and its
     * ancestors'. */
    lineage_add(info, exe);
    lineage_add(info, invoked);
    info->own = is_own(exe) || is_own(invoked);
    info->verdict_word = 0;
    return 0;
}

SEC("tp_btf/sched_process_exit")
int BPF_PROG(vnx_exit, struct task_struct* p) {
    /* The record goes with the thread group's last thread, not its leader:
     * a program whose main thread ended keeps its other threads' decision. */
    if (BPF_CORE_READ(p, signal, live.counter) != 0) return 0;
    __u32 tgid = BPF_CORE_READ(p, tgid);
    bpf_map_delete_elem(&procs, &tgid);
    return 0;
}

static __always_inline int loopback4(__u32 addr_be) { return (bpf_ntohl(addr_be) >> 24) == 127 || addr_be == 0; }

static __always_inline int loopback6(const __u32* a) {
    return a[0] == 0 && a[1] == 0 && a[2] == 0 && (a[3] == 0 || a[3] == bpf_htonl(1));
}

static __always_inline int mapped4(const __u32* a) { return a[0] == 0 && a[1] == 0 && a[2] == bpf_htonl(0xffff); }

/* Whether a destination of this kind is diverted; loopback ones only when
 * they are DNS. */
static __always_inline int wanted(const struct vnx_capture_policy* pol, int stream, __u16 port_be, int loopback) {
    int dns = port_be == bpf_htons(53);
    if (loopback && !dns) return 0;
    if (dns) return pol->dns || (stream && pol->tcp && !loopback);
    return stream ? pol->tcp : pol->udp;
}

/* ---- the user's own local server -------------------------------------------- */

static __always_inline struct vnx_server_ports* server_of(__u64 netns, __u32 uid) {
    struct vnx_server_key key = {.netns = netns, .uid = uid};
    return bpf_map_lookup_elem(&servers, &key);
}

/* Whether `sk` (from a lookup, released here) is a socket `uid` registered. */
static __always_inline int owned_by(struct bpf_sock* sk, __u32 uid, int listening) {
    if (!sk) return 0;
    int ok = !listening || sk->state == TCP_LISTEN;
    if (ok) {
        __u32* mark = bpf_sk_storage_get(&server_mark, sk, 0, 0);
        ok = mark && *mark == uid;
    }
    bpf_sk_release(sk);
    return ok;
}

/* The calling user's TCP listener for IPv4 (or IPv4-mapped) connections:
 * its port in network order, 0 when there is none that user holds. */
static __always_inline __u16 tcp4_server(struct bpf_sock_addr* ctx, __u32 uid) {
    struct vnx_server_ports* sp = server_of(bpf_get_netns_cookie(ctx), uid);
    if (!sp || !sp->tcp4) return 0;
    struct bpf_sock_tuple t = {};
    t.ipv4.daddr = bpf_htonl(0x7f000001);
    t.ipv4.dport = bpf_htons(sp->tcp4);
    __u16 port = t.ipv4.dport;
    struct bpf_sock* sk = bpf_sk_lookup_tcp(ctx, &t, sizeof t.ipv4, BPF_F_CURRENT_NETNS, 0);
    return owned_by(sk, uid, 1) ? port : 0;
}

static __always_inline __u16 tcp6_server(struct bpf_sock_addr* ctx, __u32 uid) {
    struct vnx_server_ports* sp = server_of(bpf_get_netns_cookie(ctx), uid);
    if (!sp || !sp->tcp6) return 0;
    struct bpf_sock_tuple t = {};
    t.ipv6.daddr[3] = bpf_htonl(1);
    t.ipv6.dport = bpf_htons(sp->tcp6);
    __u16 port = t.ipv6.dport;
    struct bpf_sock* sk = bpf_sk_lookup_tcp(ctx, &t, sizeof t.ipv6, BPF_F_CURRENT_NETNS, 0);
    return owned_by(sk, uid, 1) ? port : 0;
}

/* The calling user's socket for captured datagrams, as reached at `alias`:
 * its port in network order, 0 when the socket that would receive them is
 * not one that user registered. */
static __always_inline __u16 udp_server(struct bpf_sock_addr* ctx, __u32 uid, __u32 alias_be) {
    struct vnx_server_ports* sp = server_of(bpf_get_netns_cookie(ctx), uid);
    if (!sp || !sp->udp) return 0;
    struct bpf_sock_tuple t = {};
    t.ipv4.daddr = alias_be;
    t.ipv4.dport = bpf_htons(sp->udp);
    __u16 port = t.ipv4.dport;
    struct bpf_sock* sk = bpf_sk_lookup_udp(ctx, &t, sizeof t.ipv4, BPF_F_CURRENT_NETNS, 0);
    return owned_by(sk, uid, 0) ? port : 0;
}

/* ---- aliases for datagram destinations ---------------------------------------- */

/* The alias of an IPv4 destination for this user in this network
 * namespace, allocating one when it has none. An alias still in use is never
 * handed out again. 0 when none could be had. */
static __always_inline __u32 alias_for(__u64 netns, struct verdict* v, __u32 addr_be, __u16 port_be) {
    struct vnx_alias_key key = {.netns = netns, .uid = v->uid, .family = 4, .port = port_be};
    __builtin_memcpy(key.addr, &addr_be, 4);
    __u64 now = bpf_ktime_get_ns();
    __u32* known = bpf_map_lookup_elem(&alias_of, &key);
    if (known) {
        __u32 alias = *known;
        struct vnx_alias_info* info = bpf_map_lookup_elem(&alias_dest, &alias);
        if (info && info->netns == netns && info->dest.uid == v->uid && info->dest.addr4 == addr_be &&
            info->dest.port == port_be) {
            if (info->dest.pid != v->tgid) info->dest.pid = v->tgid;
            if (now - info->last_used > NSEC_PER_SEC) info->last_used = now;
            return alias;
        }
    }
    __u32 zero = 0;
    __u32* next = bpf_map_lookup_elem(&alias_next, &zero);
    if (!next) return 0;
    struct vnx_alias_info info = {.netns = netns, .last_used = now};
    info.dest.family = 4;
    info.dest.port = port_be;
    info.dest.pid = v->tgid;
    info.dest.uid = v->uid;
    info.dest.addr4 = addr_be;
    /* After the counter wraps an alias may still be held: take the next
     * free one (BPF_NOEXIST), a few tries at most, else fail closed. */
    for (int attempt = 0; attempt < 8; attempt++) {
        __u32 n = __sync_fetch_and_add(next, 1);
        __u32 alias = bpf_htonl((127u << 24) | (VNX_ALIAS_FIRST + n % VNX_ALIAS_COUNT));
        if (bpf_map_update_elem(&alias_dest, &alias, &info, BPF_NOEXIST) != 0) continue;
        if (bpf_map_update_elem(&alias_of, &key, &alias, BPF_ANY) != 0) {
            bpf_map_delete_elem(&alias_dest, &alias);
            return 0;
        }
        return alias;
    }
    return 0;
}

/* The real peer behind alias:port, for the calling user in this namespace. */
static __always_inline struct vnx_alias_info* alias_lookup(__u64 netns, __u32 alias_be, __u16 port_be) {
    if ((bpf_ntohl(alias_be) >> 24) != 127) return NULL;
    struct vnx_alias_info* info = bpf_map_lookup_elem(&alias_dest, &alias_be);
    if (!info || info->netns != netns) return NULL;
    __u32 uid = (__u32)bpf_get_current_uid_gid();
    struct vnx_server_ports* sp = server_of(netns, uid);
    if (info->dest.uid != uid || !sp || port_be != bpf_htons(sp->udp)) return NULL;
    __u64 now = bpf_ktime_get_ns();
    if (now - info->last_used > NSEC_PER_SEC) info->last_used = now;
    return info;
}

static __always_inline void remember(struct bpf_sock* sk, const struct vnx_capture_dest* d) {
    if (!sk) return;
    struct vnx_capture_dest* slot = bpf_sk_storage_get(&sock_dest, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (slot) *slot = *d;
    /* An MPTCP connection is made on its first subflow: the program asks
     * the MPTCP socket for its peer, so that one keeps the destination too. */
    struct mptcp_sock* msk = bpf_skc_to_mptcp_sock(sk);
    if (msk) {
        slot = bpf_sk_storage_get(&sock_dest, msk, 0, BPF_SK_STORAGE_GET_F_CREATE);
        if (slot) *slot = *d;
    }
}

/* ---- protocols that cannot be relayed ---------------------------------------- */

SEC("cgroup/sock_create")
int vnx_sock_create(struct bpf_sock* ctx) {
    __u32 family = ctx->family;
    __u32 type = ctx->type;
    __u32 proto = ctx->protocol;
    barrier_var(family);
    barrier_var(type);
    barrier_var(proto);
    if (family != AF_INET && family != AF_INET6) return 1;
    if (type == SOCK_STREAM && (proto == PROTO_TCP || proto == PROTO_MPTCP)) return 1;
    if (type == SOCK_DGRAM && proto == PROTO_UDP) return 1;
    struct verdict v;
    if (!selected(&v)) return 1;
    /* Raw, ICMP, SCTP, UDP-Lite...: refused (EPERM) while diverted. */
    return !(v.pol->tcp || v.pol->udp || v.pol->dns);
}

/* ---- IPv4 ----------------------------------------------------------------- */

static __always_inline int divert_udp4(struct bpf_sock_addr* ctx, struct verdict* v) {
    __u32 alias = alias_for(bpf_get_netns_cookie(ctx), v, ctx->user_ip4, (__u16)ctx->user_port);
    if (!alias) return 0; /* fail closed */
    __u16 port = udp_server(ctx, v->uid, alias);
    if (!port) return 0;
    ctx->user_ip4 = alias;
    ctx->user_port = port;
    return 1;
}

/* Context fields are read once each, straight into registers: the verifier
 * refuses a read through a computed context pointer. */
static __always_inline int relayable(struct bpf_sock_addr* ctx, int* stream) {
    __u32 type = ctx->type;
    __u32 proto = ctx->protocol;
    barrier_var(type);
    barrier_var(proto);
    *stream = type == SOCK_STREAM;
    if (*stream) return proto == PROTO_TCP || proto == PROTO_MPTCP;
    return type == SOCK_DGRAM && proto == PROTO_UDP;
}

SEC("cgroup/connect4")
int vnx_connect4(struct bpf_sock_addr* ctx) {
    struct verdict v;
    if (!selected(&v)) return 1;
    int stream;
    if (!relayable(ctx, &stream)) return 1;
    __u16 port = (__u16)ctx->user_port;
    if (!wanted(v.pol, stream, port, loopback4(ctx->user_ip4))) return 1;
    struct vnx_capture_dest d = {.family = 4, .port = port, .pid = v.tgid, .uid = v.uid, .addr4 = ctx->user_ip4};
    if (!stream) {
        remember(ctx->sk, &d);
        return divert_udp4(ctx, &v);
    }
    __u16 server = tcp4_server(ctx, v.uid);
    if (!server) return 0;
    remember(ctx->sk, &d);
    ctx->user_ip4 = bpf_htonl(0x7f000001);
    ctx->user_port = server;
    return 1;
}

SEC("cgroup/sendmsg4")
int vnx_sendmsg4(struct bpf_sock_addr* ctx) {
    struct verdict v;
    if (!selected(&v)) return 1;
    __u16 port = (__u16)ctx->user_port;
    if (!wanted(v.pol, 0, port, loopback4(ctx->user_ip4))) return 1;
    return divert_udp4(ctx, &v);
}

SEC("cgroup/recvmsg4")
int vnx_recvmsg4(struct bpf_sock_addr* ctx) {
    struct vnx_alias_info* info = alias_lookup(bpf_get_netns_cookie(ctx), ctx->user_ip4, (__u16)ctx->user_port);
    if (info) {
        ctx->user_ip4 = info->dest.addr4;
        ctx->user_port = info->dest.port;
    }
    return 1;
}

SEC("cgroup/getpeername4")
int vnx_getpeername4(struct bpf_sock_addr* ctx) {
    struct bpf_sock* sk = ctx->sk;
    if (!sk) return 1;
    struct vnx_capture_dest* d = bpf_sk_storage_get(&sock_dest, sk, 0, 0);
    if (d && d->family == 4) {
        ctx->user_ip4 = d->addr4;
        ctx->user_port = d->port;
    }
    return 1;
}

/* ---- IPv6 ----------------------------------------------------------------- */

SEC("cgroup/connect6")
int vnx_connect6(struct bpf_sock_addr* ctx) {
    struct verdict v;
    if (!selected(&v)) return 1;
    int stream;
    if (!relayable(ctx, &stream)) return 1;
    __u32 a[4] = {ctx->user_ip6[0], ctx->user_ip6[1], ctx->user_ip6[2], ctx->user_ip6[3]};
    __u16 port = (__u16)ctx->user_port;
    int v4 = mapped4(a);
    if (!wanted(v.pol, stream, port, v4 ? loopback4(a[3]) : loopback6(a))) return 1;
    struct vnx_capture_dest d = {.port = port, .pid = v.tgid, .uid = v.uid};
    if (v4) {
        d.family = 4;
        d.addr4 = a[3];
    } else {
        d.family = 6;
        __builtin_memcpy(d.addr6, a, 16);
    }
    if (!stream) {
        if (!v4) return 0; /* no alias for IPv6 datagrams: refused, never direct */
        remember(ctx->sk, &d);
        __u32 alias = alias_for(bpf_get_netns_cookie(ctx), &v, a[3], port);
        if (!alias) return 0;
        __u16 server = udp_server(ctx, v.uid, alias);
        if (!server) return 0;
        ctx->user_ip6[3] = alias;
        ctx->user_port = server;
        return 1;
    }
    __u16 server = v4 ? tcp4_server(ctx, v.uid) : tcp6_server(ctx, v.uid);
    if (!server) return 0;
    remember(ctx->sk, &d);
    if (v4) {
        ctx->user_ip6[3] = bpf_htonl(0x7f000001);
    } else {
        ctx->user_ip6[0] = 0;
        ctx->user_ip6[1] = 0;
        ctx->user_ip6[2] = 0;
        ctx->user_ip6[3] = bpf_htonl(1);
    }
    ctx->user_port = server;
    return 1;
}

SEC("cgroup/sendmsg6")
int vnx_sendmsg6(struct bpf_sock_addr* ctx) {
    /* IPv4-mapped destinations take the IPv4 path and its hook. */
    struct verdict v;
    if (!selected(&v)) return 1;
    __u32 a[4] = {ctx->user_ip6[0], ctx->user_ip6[1], ctx->user_ip6[2], ctx->user_ip6[3]};
    if (!wanted(v.pol, 0, (__u16)ctx->user_port, loopback6(a))) return 1;
    return 0;
}

SEC("cgroup/recvmsg6")
int vnx_recvmsg6(struct bpf_sock_addr* ctx) {
    __u32 a[4] = {ctx->user_ip6[0], ctx->user_ip6[1], ctx->user_ip6[2], ctx->user_ip6[3]};
    if (!mapped4(a)) return 1;
    struct vnx_alias_info* info = alias_lookup(bpf_get_netns_cookie(ctx), a[3], (__u16)ctx->user_port);
    if (info) {
        ctx->user_ip6[3] = info->dest.addr4;
        ctx->user_port = info->dest.port;
    }
    return 1;
}

SEC("cgroup/getpeername6")
int vnx_getpeername6(struct bpf_sock_addr* ctx) {
    struct bpf_sock* sk = ctx->sk;
    if (!sk) return 1;
    struct vnx_capture_dest* d = bpf_sk_storage_get(&sock_dest, sk, 0, 0);
    if (!d) return 1;
    if (d->family == 4) {
        ctx->user_ip6[0] = 0;
        ctx->user_ip6[1] = 0;
        ctx->user_ip6[2] = bpf_htonl(0xffff);
        ctx->user_ip6[3] = d->addr4;
    } else {
        __u32 a[4];
        __builtin_memcpy(a, d->addr6, 16);
        ctx->user_ip6[0] = a[0];
        ctx->user_ip6[1] = a[1];
        ctx->user_ip6[2] = a[2];
        ctx->user_ip6[3] = a[3];
    }
    ctx->user_port = d->port;
    return 1;
}

/* ---- the connection leaves: record it under its 4-tuple ---------------------- */

/* The key of a connection as seen from `sk`: the application's side is the
 * socket's own end when `app_is_local`, else its peer. */
static __always_inline void conn_key(struct bpf_sock* sk, int app_is_local, __u64 netns, struct vnx_conn_key* k) {
    __builtin_memset(k, 0, sizeof *k);
    k->netns = netns;
    __u16 local_port = bpf_htons((__u16)sk->src_port);
    __u16 remote_port = (__u16)sk->dst_port;
    k->app_port = app_is_local ? local_port : remote_port;
    k->server_port = app_is_local ? remote_port : local_port;
    if (sk->family == AF_INET6) {
        __u32 l[4] = {sk->src_ip6[0], sk->src_ip6[1], sk->src_ip6[2], sk->src_ip6[3]};
        __u32 r[4] = {sk->dst_ip6[0], sk->dst_ip6[1], sk->dst_ip6[2], sk->dst_ip6[3]};
        if (mapped4(r)) {
            k->family = 4;
            __builtin_memcpy(k->app_addr, app_is_local ? &l[3] : &r[3], 4);
            __builtin_memcpy(k->server_addr, app_is_local ? &r[3] : &l[3], 4);
        } else {
            k->family = 6;
            __builtin_memcpy(k->app_addr, app_is_local ? l : r, 16);
            __builtin_memcpy(k->server_addr, app_is_local ? r : l, 16);
        }
    } else {
        __u32 l = sk->src_ip4, r = sk->dst_ip4;
        k->family = 4;
        __builtin_memcpy(k->app_addr, app_is_local ? &l : &r, 4);
        __builtin_memcpy(k->server_addr, app_is_local ? &r : &l, 4);
    }
}

SEC("sockops")
int vnx_sockops(struct bpf_sock_ops* ctx) {
    if (ctx->op != BPF_SOCK_OPS_TCP_CONNECT_CB) return 1;
    struct bpf_sock* sk = ctx->sk;
    if (!sk) return 1;
    struct vnx_capture_dest* d = bpf_sk_storage_get(&sock_dest, sk, 0, 0);
    if (!d) return 1;
    struct vnx_conn_key key;
    conn_key(sk, 1, bpf_get_netns_cookie(ctx), &key);
    struct vnx_conn_entry e = {.dest = *d, .stamp = bpf_ktime_get_ns()};
    /* Never overwritten: a record left for the same 4-tuple means something
     * is wrong, and the server then learns nothing (it closes the connection)
     * rather than a wrong destination. */
    if (bpf_map_update_elem(&tcp_dests, &key, &e, BPF_NOEXIST) != 0) bpf_map_delete_elem(&tcp_dests, &key);
    return 1;
}

/* ---- the local server registers and asks ---------------------------------------- */

SEC("cgroup/setsockopt")
int vnx_setsockopt(struct bpf_sockopt* ctx) {
    if (ctx->level != VNX_SOL_CAPTURE) {
        /* Options of other levels pass untouched; one longer than a page is
         * not visible here, and must be handed back whole. */
        if (ctx->optlen > PAGE_SIZE) ctx->optlen = 0;
        return 1;
    }
    struct bpf_sock* sk = ctx->sk;
    __u32* in = ctx->optval;
    if (!sk || (void*)(in + 1) > ctx->optval_end) return 1;
    if (ctx->optname == VNX_OPT_UDP_ALIAS) {
        __u32* q = bpf_sk_storage_get(&alias_question, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
        if (!q) return 1;
        *q = *in;
        ctx->optlen = -1; /* handled here: the kernel does not see it */
        return 1;
    }
    if (ctx->optname != VNX_OPT_SERVER) return 1;
    __u32 kind = *in;
    __u16 port = (__u16)sk->src_port;
    int tcp = kind == VNX_SERVER_TCP && sk->type == SOCK_STREAM && sk->state == TCP_LISTEN;
    int udp = kind == VNX_SERVER_UDP && sk->type == SOCK_DGRAM && sk->family == AF_INET;
    if (!port || (!tcp && !udp)) return 0; /* EPERM: not a socket that can serve */
    __u32 uid = (__u32)bpf_get_current_uid_gid();
    __u32* mark = bpf_sk_storage_get(&server_mark, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (!mark) return 0;
    *mark = uid;
    struct vnx_server_key key = {.netns = bpf_get_netns_cookie(ctx), .uid = uid};
    struct vnx_server_ports ports = {};
    struct vnx_server_ports* had = bpf_map_lookup_elem(&servers, &key);
    if (had) ports = *had;
    if (udp)
        ports.udp = port;
    else if (sk->family == AF_INET6)
        ports.tcp6 = port;
    else
        ports.tcp4 = port;
    if (bpf_map_update_elem(&servers, &key, &ports, BPF_ANY) != 0) return 0;
    ctx->optlen = -1;
    return 1;
}

SEC("cgroup/getsockopt")
int vnx_getsockopt(struct bpf_sockopt* ctx) {
    if (ctx->level != VNX_SOL_CAPTURE) {
        if (ctx->optlen > PAGE_SIZE) ctx->optlen = 0;
        return 1;
    }
    struct bpf_sock* sk = ctx->sk;
    struct vnx_capture_dest* out = ctx->optval;
    if (!sk || (void*)(out + 1) > ctx->optval_end) return 1;
    __u32 uid = (__u32)bpf_get_current_uid_gid();
    __u64 netns = bpf_get_netns_cookie(ctx);
    if (ctx->optname == VNX_OPT_TCP_DEST) {
        struct vnx_conn_key key;
        conn_key(sk, 0, netns, &key);
        struct vnx_conn_entry* e = bpf_map_lookup_elem(&tcp_dests, &key);
        if (!e || e->dest.uid != uid) {
            ctx->retval = -ENOENT;
            return 1;
        }
        *out = e->dest;
        bpf_map_delete_elem(&tcp_dests, &key);
    } else if (ctx->optname == VNX_OPT_UDP_DEST) {
        __u32* q = bpf_sk_storage_get(&alias_question, sk, 0, 0);
        if (!q) {
            ctx->retval = -ENOENT;
            return 1;
        }
        struct vnx_alias_info* info = bpf_map_lookup_elem(&alias_dest, q);
        if (!info || info->netns != netns || info->dest.uid != uid) {
            ctx->retval = -ENOENT;
            return 1;
        }
        *out = info->dest;
    } else {
        return 1;
    }
    ctx->optlen = sizeof(*out);
    ctx->retval = 0;
    return 1;
}
