// SPDX-License-Identifier: GPL-2.0
/* Kernel socket hooks that divert the traffic of the programs a user chose to
 * that user's local redirect server, whatever the program is written in and
 * however it reaches the network (C library, raw system calls, io_uring).
 *
 * - connect4/6 (TCP): the real destination is kept in the socket's storage
 *   and the connection goes to the local server (127.0.0.1 or ::1 at the
 *   server's port); sockops records it under the socket's local port just
 *   before the SYN leaves, so the server finds it when it accepts.
 * - connect4 / sendmsg4 (UDP): each real destination gets a loopback alias
 *   127.a.b.c; datagrams go to alias:udp_port, where the server receives on
 *   every 127/8 address and learns the alias from the packet. recvmsg4 and
 *   getpeername4 turn the alias back into the real peer.
 * - IPv6 UDP cannot be given an alias (::1 is the only loopback address) and
 *   is refused while the program is diverted, so nothing leaves directly.
 * - exec/fork/exit tracepoints keep, per process, the hashes of its own names
 *   and its ancestors': a program's children are diverted with it.
 *
 * Policy (per user, from the proxy data block) and rules come from the
 * veilnox-capture service through maps; these programs only read them. */
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "capturewire.h"

#define AF_INET 2
#define AF_INET6 10
#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define ENOENT 2
#define EPERM 1

char LICENSE[] SEC("license") = "GPL";

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 4096);
    __type(key, __u32);
    __type(value, struct vnx_capture_policy);
} policies SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 65536);
    __type(key, struct vnx_rule_key);
    __type(value, __u8);
} rules SEC(".maps");

/* Hashes of the Veilnox programs' own names. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 64);
    __type(key, __u64);
    __type(value, __u8);
} own_names SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 262144);
    __type(key, __u32);
    __type(value, struct vnx_proc_info);
} procs SEC(".maps");

/* Raised by the service whenever a policy or rule changes: a process's
 * cached decision counts only under the generation it was made in. */
struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u64);
} policy_gen SEC(".maps");

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
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 131072);
    __type(key, struct vnx_conn_key);
    __type(value, struct vnx_capture_dest);
} tcp_dests SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 131072);
    __type(key, struct vnx_alias_key);
    __type(value, __u32);
} alias_of SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
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

/* ---- names ------------------------------------------------------------- */

struct name_buf {
    char c[VNX_NAME_MAX];
};

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct name_buf);
} scratch SEC(".maps");

static __always_inline char fold(char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

/* Loops run through bpf_loop: the verifier checks each body once, whatever
 * the name's length. */
struct name_walk {
    const struct name_buf* buf;
    int len;   /* bytes of the name in buf */
    int start; /* where its last path component begins */
    __u64 h;
};

static long find_slash(__u32 i, struct name_walk* w) {
    int j = w->len - 1 - (int)i;
    if (j < 0) return 1;
    if (w->buf->c[j & (VNX_NAME_MAX - 1)] == '/') {
        w->start = j + 1;
        return 1;
    }
    return 0;
}

static long hash_step(__u32 i, struct name_walk* w) {
    int j = w->start + (int)i;
    if (j >= w->len) return 1;
    w->h ^= (__u8)fold(w->buf->c[j & (VNX_NAME_MAX - 1)]);
    w->h *= VNX_FNV_PRIME;
    return 0;
}

/* The hash of buf[start, len): lower-cased ASCII, a trailing ".exe"
 * dropped, FNV-1a. 0 for an empty name. */
static __always_inline __u64 hash_walk(struct name_walk* w) {
    int len = w->len;
    const char* c = w->buf->c;
    if (len - w->start > 4 && c[(len - 4) & (VNX_NAME_MAX - 1)] == '.' &&
        fold(c[(len - 3) & (VNX_NAME_MAX - 1)]) == 'e' && fold(c[(len - 2) & (VNX_NAME_MAX - 1)]) == 'x' &&
        fold(c[(len - 1) & (VNX_NAME_MAX - 1)]) == 'e')
        w->len = len - 4;
    if (w->len <= w->start) return 0;
    w->h = VNX_FNV_OFFSET;
    bpf_loop(VNX_NAME_MAX, hash_step, w, 0);
    return w->h ? w->h : 1;
}

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

static __always_inline int is_own(__u64 h) { return h && bpf_map_lookup_elem(&own_names, &h) != NULL; }

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
    struct vnx_proc_info next = {};
    struct vnx_proc_info* old = bpf_map_lookup_elem(&procs, &tgid);
    __u64 exe = hash_kernel_base((const char*)BPF_CORE_READ(bprm, file, f_path.dentry, d_name.name));
    __u64 invoked = hash_kernel_base(BPF_CORE_READ(bprm, filename));
    next.names[0] = exe;
    next.names[1] = invoked != exe ? invoked : 0;
    if (old) {
        /* The previous image's names and its ancestors' move down by two. */
        for (int i = 0; i < VNX_PROC_NAMES - 2; i++)
            next.names[i + 2] = old->names[i];
    }
    next.own = is_own(exe) || is_own(invoked);
    bpf_map_update_elem(&procs, &tgid, &next, BPF_ANY);
    return 0;
}

SEC("tp_btf/sched_process_exit")
int BPF_PROG(vnx_exit, struct task_struct* p) {
    __u32 pid = BPF_CORE_READ(p, pid);
    __u32 tgid = BPF_CORE_READ(p, tgid);
    if (pid == tgid) bpf_map_delete_elem(&procs, &tgid);
    return 0;
}

/* ---- the decision -------------------------------------------------------- */

struct verdict {
    const struct vnx_capture_policy* pol;
    __u32 uid;
    __u32 tgid;
};

/* True when the calling process is diverted by its user's policy. */
static __always_inline int selected(struct verdict* v) {
    __u64 uidgid = bpf_get_current_uid_gid();
    v->uid = (__u32)uidgid;
    v->tgid = bpf_get_current_pid_tgid() >> 32;
    v->pol = bpf_map_lookup_elem(&policies, &v->uid);
    if (!v->pol || v->pol->connected != 1) return 0;
    struct vnx_proc_info* info = bpf_map_lookup_elem(&procs, &v->tgid);
    if (info && info->own) return 0;
    if (v->pol->all_apps) return 1;
    /* The decision of this process under the current rules, once made, is
     * kept: a busy program pays one lookup more per call, not one per name. */
    __u32 zero = 0;
    __u64* gen = bpf_map_lookup_elem(&policy_gen, &zero);
    if (info && gen && info->verdict && info->verdict_gen == *gen && info->verdict_uid == v->uid)
        return info->verdict == 2;
    struct vnx_rule_key key = {.uid = v->uid};
    if (!info) {
        /* A process older than the hooks that the service has not listed:
         * the thread's name is the best there is. */
        struct name_buf* buf = bpf_map_lookup_elem(&scratch, &zero);
        if (!buf) return 0;
        __builtin_memset(buf->c, 0, 16);
        bpf_get_current_comm(buf->c, 16);
        struct name_walk w = {.buf = buf, .len = 0};
        for (int i = 0; i < 16; i++) {
            if (!buf->c[i]) break;
            w.len = i + 1;
        }
        key.name_hash = hash_walk(&w);
        if (is_own(key.name_hash)) return 0;
        return key.name_hash && bpf_map_lookup_elem(&rules, &key) != NULL;
    }
    int found = 0;
    for (int i = 0; i < VNX_PROC_NAMES && !found; i++) {
        key.name_hash = info->names[i];
        found = key.name_hash && bpf_map_lookup_elem(&rules, &key) != NULL;
    }
    if (gen) {
        info->verdict_gen = *gen;
        info->verdict_uid = v->uid;
        info->verdict = found ? 2 : 1;
    }
    return found;
}

static __always_inline int loopback4(__u32 addr_be) { return (bpf_ntohl(addr_be) >> 24) == 127 || addr_be == 0; }

static __always_inline int loopback6(const __u32* a) {
    return a[0] == 0 && a[1] == 0 && a[2] == 0 && (a[3] == 0 || a[3] == bpf_htonl(1));
}

static __always_inline int mapped4(const __u32* a) { return a[0] == 0 && a[1] == 0 && a[2] == bpf_htonl(0xffff); }

static __always_inline __u16 server_port(const struct vnx_capture_policy* pol, int udp) {
    __u16 p = udp ? pol->udp_port : pol->tcp_port;
    if (!p) p = udp ? 9112 : 9111;
    return bpf_htons(p);
}

/* Whether a destination of this kind is diverted; loopback ones only when
 * they are DNS. */
static __always_inline int wanted(const struct vnx_capture_policy* pol, int stream, __u16 port_be, int loopback) {
    int dns = port_be == bpf_htons(53);
    if (loopback && !dns) return 0;
    if (dns) return pol->dns || (stream && pol->tcp && !loopback);
    return stream ? pol->tcp : pol->udp;
}

/* The alias of an IPv4 destination for this user in this network
 * namespace, allocating one when it has none. 0 when none could be had. */
static __always_inline __u32 alias_for(__u64 netns, struct verdict* v, __u32 addr_be, __u16 port_be) {
    struct vnx_alias_key key = {.netns = netns, .uid = v->uid, .family = 4, .port = port_be};
    __builtin_memcpy(key.addr, &addr_be, 4);
    __u32* known = bpf_map_lookup_elem(&alias_of, &key);
    if (known) {
        struct vnx_alias_info* info = bpf_map_lookup_elem(&alias_dest, known);
        if (info && info->netns == netns && info->dest.uid == v->uid && info->dest.addr4 == addr_be &&
            info->dest.port == port_be) {
            if (info->dest.pid != v->tgid) info->dest.pid = v->tgid;
            return *known;
        }
    }
    __u32 zero = 0;
    __u32* next = bpf_map_lookup_elem(&alias_next, &zero);
    if (!next) return 0;
    __u32 n = __sync_fetch_and_add(next, 1);
    __u32 alias = bpf_htonl((127u << 24) | (VNX_ALIAS_FIRST + n % VNX_ALIAS_COUNT));
    struct vnx_alias_info info = {.netns = netns};
    info.dest.family = 4;
    info.dest.port = port_be;
    info.dest.pid = v->tgid;
    info.dest.uid = v->uid;
    info.dest.addr4 = addr_be;
    if (bpf_map_update_elem(&alias_dest, &alias, &info, BPF_ANY)) return 0;
    if (bpf_map_update_elem(&alias_of, &key, &alias, BPF_ANY)) return 0;
    return alias;
}

/* The real peer behind alias:port, for the calling user in this namespace. */
static __always_inline struct vnx_alias_info* alias_lookup(__u64 netns, __u32 alias_be, __u16 port_be) {
    if ((bpf_ntohl(alias_be) >> 24) != 127) return NULL;
    struct vnx_alias_info* info = bpf_map_lookup_elem(&alias_dest, &alias_be);
    if (!info || info->netns != netns) return NULL;
    __u32 uid = (__u32)bpf_get_current_uid_gid();
    struct vnx_capture_policy* pol = bpf_map_lookup_elem(&policies, &uid);
    if (info->dest.uid != uid || !pol || port_be != server_port(pol, 1)) return NULL;
    return info;
}

static __always_inline void remember(struct bpf_sock* sk, const struct vnx_capture_dest* d) {
    if (!sk) return;
    struct vnx_capture_dest* slot = bpf_sk_storage_get(&sock_dest, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (slot) *slot = *d;
}

/* ---- IPv4 ----------------------------------------------------------------- */

static __always_inline int divert_udp4(struct bpf_sock_addr* ctx, struct verdict* v) {
    __u32 alias = alias_for(bpf_get_netns_cookie(ctx), v, ctx->user_ip4, (__u16)ctx->user_port);
    if (!alias) return 0; /* fail closed */
    ctx->user_ip4 = alias;
    ctx->user_port = server_port(v->pol, 1);
    return 1;
}

SEC("cgroup/connect4")
int vnx_connect4(struct bpf_sock_addr* ctx) {
    struct verdict v;
    if (!selected(&v)) return 1;
    int stream = ctx->type == SOCK_STREAM;
    if (!stream && ctx->type != SOCK_DGRAM) return 1;
    __u16 port = (__u16)ctx->user_port;
    if (!wanted(v.pol, stream, port, loopback4(ctx->user_ip4))) return 1;
    struct vnx_capture_dest d = {.family = 4, .port = port, .pid = v.tgid, .uid = v.uid, .addr4 = ctx->user_ip4};
    remember(ctx->sk, &d);
    if (!stream) return divert_udp4(ctx, &v);
    ctx->user_ip4 = bpf_htonl(0x7f000001);
    ctx->user_port = server_port(v.pol, 0);
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
    int stream = ctx->type == SOCK_STREAM;
    if (!stream && ctx->type != SOCK_DGRAM) return 1;
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
        ctx->user_ip6[3] = alias;
        ctx->user_port = server_port(v.pol, 1);
        return 1;
    }
    remember(ctx->sk, &d);
    if (v4) {
        ctx->user_ip6[3] = bpf_htonl(0x7f000001);
    } else {
        ctx->user_ip6[0] = 0;
        ctx->user_ip6[1] = 0;
        ctx->user_ip6[2] = 0;
        ctx->user_ip6[3] = bpf_htonl(1);
    }
    ctx->user_port = server_port(v.pol, 0);
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

/* ---- the connection leaves: record it under its local port ----------------- */

SEC("sockops")
int vnx_sockops(struct bpf_sock_ops* ctx) {
    if (ctx->op != BPF_SOCK_OPS_TCP_CONNECT_CB) return 1;
    struct bpf_sock* sk = ctx->sk;
    if (!sk) return 1;
    struct vnx_capture_dest* d = bpf_sk_storage_get(&sock_dest, sk, 0, 0);
    if (!d) return 1;
    struct vnx_conn_key key = {.netns = bpf_get_netns_cookie(ctx), .port = bpf_htons((__u16)ctx->local_port)};
    if (ctx->family == AF_INET6) {
        __u32 r[4] = {ctx->remote_ip6[0], ctx->remote_ip6[1], ctx->remote_ip6[2], ctx->remote_ip6[3]};
        key.family = mapped4(r) ? 4 : 6;
    } else {
        key.family = 4;
    }
    bpf_map_update_elem(&tcp_dests, &key, d, BPF_ANY);
    return 1;
}

/* ---- the local server asks ------------------------------------------------ */

SEC("cgroup/setsockopt")
int vnx_setsockopt(struct bpf_sockopt* ctx) {
    if (ctx->level != VNX_SOL_CAPTURE) return 1;
    if (ctx->optname != VNX_OPT_UDP_ALIAS || !ctx->sk) return 1;
    __u32* in = ctx->optval;
    if ((void*)(in + 1) > ctx->optval_end) return 1;
    __u32* q = bpf_sk_storage_get(&alias_question, ctx->sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (!q) return 1;
    *q = *in;
    ctx->optlen = -1; /* handled here: the kernel does not see it */
    return 1;
}

SEC("cgroup/getsockopt")
int vnx_getsockopt(struct bpf_sockopt* ctx) {
    if (ctx->level != VNX_SOL_CAPTURE) return 1;
    struct bpf_sock* sk = ctx->sk;
    struct vnx_capture_dest* out = ctx->optval;
    if (!sk || (void*)(out + 1) > ctx->optval_end) return 1;
    __u32 uid = (__u32)bpf_get_current_uid_gid();
    __u64 netns = bpf_get_netns_cookie(ctx);
    if (ctx->optname == VNX_OPT_TCP_DEST) {
        struct vnx_conn_key key = {.netns = netns, .port = sk->dst_port};
        key.family = sk->family == AF_INET6 ? 6 : 4;
        if (key.family == 6) {
            __u32 r[4] = {sk->dst_ip6[0], sk->dst_ip6[1], sk->dst_ip6[2], sk->dst_ip6[3]};
            if (mapped4(r)) key.family = 4;
        }
        struct vnx_capture_dest* d = bpf_map_lookup_elem(&tcp_dests, &key);
        if (!d || d->uid != uid) {
            ctx->retval = -ENOENT;
            return 1;
        }
        *out = *d;
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
