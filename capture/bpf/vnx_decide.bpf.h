/* What the kernel socket hooks share between their objects: the maps of
 * policy, rules and processes (the service pins them once; every object
 * uses the same maps), program names, and the decision whether the calling
 * process is diverted. Included by each .bpf.c after vmlinux.h and the
 * libbpf headers. */
#ifndef VNX_DECIDE_BPF_H
#define VNX_DECIDE_BPF_H

#include "capturewire.h"

/* Maps are allocated entry by entry (BPF_F_NO_PREALLOC): an idle service
 * holds little kernel memory. Where a map is full the hooks fail closed. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, 4096);
    __type(key, __u32);
    __type(value, struct vnx_capture_policy);
} policies SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, 4096);
    __type(key, __u32);
    __type(value, struct vnx_rule_list);
} rule_lists SEC(".maps");

/* Hashes of the Veilnox programs' own names. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 64);
    __type(key, __u64);
    __type(value, __u8);
} own_names SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, 131072);
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

/* Hashes of the paths of local resolver daemons' sockets. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 16);
    __type(key, __u64);
    __type(value, __u8);
} resolver_paths SEC(".maps");

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

static __always_inline int is_own(__u64 h) { return h && bpf_map_lookup_elem(&own_names, &h) != NULL; }

static __always_inline int lineage_has(const struct vnx_proc_info* info, __u64 h) {
    if (!h) return 0;
    for (int k = 0; k < 4; k++) {
        __u32 bit = vnx_lineage_bit(h, k);
        if (!(info->lineage[(bit >> 6) & (VNX_LINEAGE_WORDS - 1)] & (1ULL << (bit & 63)))) return 0;
    }
    return 1;
}

/* ---- the decision -------------------------------------------------------- */

struct verdict {
    const struct vnx_capture_policy* pol;
    __u32 uid;
    __u32 tgid;
};

struct rule_walk {
    const struct vnx_rule_list* list;
    const struct vnx_proc_info* info;
    int found;
};

static long rule_step(__u32 i, struct rule_walk* w) {
    if (i >= w->list->count || i >= VNX_RULES_MAX) return 1;
    if (lineage_has(w->info, w->list->hashes[i & (VNX_RULES_MAX - 1)])) {
        w->found = 1;
        return 1;
    }
    return 0;
}

/* Whether the current thread's name is one of Veilnox's programs: the last
 * resort for a process the hooks know nothing of. */
static __always_inline int comm_is_own(void) {
    __u32 zero = 0;
    struct name_buf* buf = bpf_map_lookup_elem(&scratch, &zero);
    if (!buf) return 0;
    __builtin_memset(buf->c, 0, 16);
    bpf_get_current_comm(buf->c, 16);
    struct name_walk w = {.buf = buf, .len = 0};
    for (int i = 0; i < 16; i++) {
        if (!buf->c[i]) break;
        w.len = i + 1;
    }
    return is_own(hash_walk(&w));
}

/* True when the calling process is diverted by its user's policy. */
static __always_inline int selected(struct verdict* v) {
    __u64 uidgid = bpf_get_current_uid_gid();
    v->uid = (__u32)uidgid;
    v->tgid = bpf_get_current_pid_tgid() >> 32;
    v->pol = bpf_map_lookup_elem(&policies, &v->uid);
    if (!v->pol || v->pol->connected != 1) return 0;
    struct vnx_proc_info* info = bpf_map_lookup_elem(&procs, &v->tgid);
    if (info && info->own) return 0;
    if (v->pol->all_apps) return info || !comm_is_own();
    const struct vnx_rule_list* list;
    if (!info) {
        /* A process the hooks know nothing of (its record could not be
         * made) fails closed: it goes to the local server, never out
         * directly, when its user chose programs. */
        list = bpf_map_lookup_elem(&rule_lists, &v->uid);
        return list && list->count && !comm_is_own();
    }
    /* The decision under the current rules, once made, is kept: a busy
     * program pays two lookups more per call, not one per rule. The
     * generation is read once, so a decision made while the rules change
     * is stored under the older generation and made again. */
    __u32 zero = 0;
    __u64* genp = bpf_map_lookup_elem(&policy_gen, &zero);
    __u64 gen = genp ? *genp : 0;
    __u64 word = info->verdict_word;
    if ((word >> 2) == gen && (word & 3) && info->verdict_uid == v->uid) return (word & 3) == 2;
    list = bpf_map_lookup_elem(&rule_lists, &v->uid);
    if (!list) {
        info->verdict_uid = v->uid;
        info->verdict_word = (gen << 2) | 1;
        return 0;
    }
    struct rule_walk w = {.list = list, .info = info};
    bpf_loop(VNX_RULES_MAX, rule_step, &w, 0);
    info->verdict_uid = v->uid;
    info->verdict_word = (gen << 2) | (w.found ? 2 : 1);
    return w.found;
}

#endif
