// SPDX-License-Identifier: GPL-2.0
/* The stand-in for veilnox_resolver.bpf.c on kernels before 6.7 that run BPF
 * security modules (Debian's do): the same refusal of a local resolver
 * daemon's socket to a diverted program while DNS is redirected, from the
 * security hook on socket_connect. That hook runs for every process, so it
 * acts only on those in the cgroup the other hooks are attached to.
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

/* The cgroup the other hooks are attached to: the security hook runs for
 * every process and acts only on those in it. */
struct {
    __uint(type, BPF_MAP_TYPE_CGROUP_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u32);
} hooked_cgroup SEC(".maps");

SEC("lsm/socket_connect")
int BPF_PROG(vnx_resolver_lsm, struct socket* sock, struct sockaddr* address, int addrlen, int ret) {
    if (ret) return ret;
    if (BPF_CORE_READ(address, sa_family) != AF_UNIX || addrlen <= (int)sizeof(__u16)) return 0;
    if (bpf_current_task_under_cgroup(&hooked_cgroup, 0) != 1) return 0;
    struct verdict v;
    if (!selected(&v) || !v.pol->dns) return 0;
    __u32 zero = 0;
    struct name_buf* buf = bpf_map_lookup_elem(&scratch, &zero);
    if (!buf) return 0;
    long n = bpf_probe_read_kernel_str(buf->c, UNIX_PATH_MAX, ((struct sockaddr_un*)address)->sun_path);
    if (n <= 1) return 0; /* unnamed or abstract */
    struct name_walk w = {.buf = buf, .len = (int)n - 1};
    __u64 h = hash_walk(&w);
    return h && bpf_map_lookup_elem(&resolver_paths, &h) ? -ECONNREFUSED : 0;
}
