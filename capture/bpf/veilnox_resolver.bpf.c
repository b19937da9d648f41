// SPDX-License-Identifier: GPL-2.0
/* The hook on unix socket connections (cgroup/connect_unix, kernels from
 * 6.7 on), in an object of its own so that the other hooks load where the
 * kernel lacks it (veilnox_resolver_lsm.bpf.c stands in for it there). While DNS is redirected, a diverted program
 * cannot reach a local resolver daemon's socket (systemd-resolved's varlink socket, nscd): the daemon would ask
 * upstream from the user's own address. The C library then asks over UDP, which the other hooks capture.
 *
 * The maps are those of the main object (the service hands them over). */
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "vnx_decide.bpf.h"

#define AF_UNIX 1
#define ECONNREFUSED 111
#define UNIX_PATH_MAX 108

char LICENSE[] SEC("license") = "GPL";

extern void* bpf_cast_to_kern_ctx(void* obj) __ksym;
extern void* bpf_rdonly_cast(const void* obj, __u32 btf_id) __ksym;

/* Hashes path[0, len) as program names are hashed (the service hashes the
 * daemons' paths the same way). */
static __always_inline __u64 hash_path(const struct sockaddr_un* un, int len) {
    __u64 h = VNX_FNV_OFFSET;
    int done = 0;
    /* Unrolled, without an early exit: each byte is read at a constant
     * offset of the address, which is all the verifier allows here. */
#pragma clang loop unroll(full)
    for (int i = 0; i < UNIX_PATH_MAX; i++) {
        char c = un->sun_path[i];
        done |= i >= len || c == 0;
        if (!done) {
            h ^= (__u8)fold(c);
            h *= VNX_FNV_PRIME;
        }
    }
    return h ? h : 1;
}

/* The service gives this program the connect_unix attach type (libbpf of
 * Debian 12 does not know the section); it is written as a sock_addr one. */
SEC("cgroup/connect4")
int vnx_resolver_connect(struct bpf_sock_addr* ctx) {
    if (ctx->user_family != AF_UNIX) return 1;
    struct verdict v;
    if (!selected(&v) || !v.pol->dns) return 1;
    struct bpf_sock_addr_kern* kern = bpf_cast_to_kern_ctx(ctx);
    const struct sockaddr_un* un = bpf_rdonly_cast(kern->uaddr, bpf_core_type_id_kernel(struct sockaddr_un));
    int len = (int)kern->uaddrlen - (int)sizeof(un->sun_family);
    if (len <= 0 || un->sun_path[0] == 0) return 1; /* unnamed or abstract */
    __u64 h = hash_path(un, len);
    if (!bpf_map_lookup_elem(&resolver_paths, &h)) return 1;
    /* Refused as if nobody listened: the C library goes on to plain DNS. */
    bpf_set_retval(-ECONNREFUSED);
    return 0;
}
