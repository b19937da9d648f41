/* Records and constants shared by the kernel socket hooks (compiled with
 * clang -target bpf), the veilnox-capture service that loads them, and
 * veilnoxsvr, which asks the hooks for the real destination of a captured
 * connection or datagram through getsockopt on its own sockets.
 *
 * Plain C, fixed layouts, all little-endian except where a field says
 * network order. */
#ifndef VEILNOX_CAPTUREWIRE_H
#define VEILNOX_CAPTUREWIRE_H

#ifdef __bpf__
typedef __u8 vnx_u8;
typedef __u16 vnx_u16;
typedef __u32 vnx_u32;
typedef __u64 vnx_u64;
#else
#include <stdint.h>
typedef uint8_t vnx_u8;
typedef uint16_t vnx_u16;
typedef uint32_t vnx_u32;
typedef uint64_t vnx_u64;
#endif

/* The socket option level on which veilnoxsvr talks to the hooks. No protocol
 * of the kernel uses it, so without the hooks every call fails with
 * ENOPROTOOPT. */
#define VNX_SOL_CAPTURE 0x564e
/* getsockopt on an accepted TCP connection: the real destination of the
 * captured connection at its other end (a vnx_capture_dest); ENOENT when the
 * hooks know nothing of it or it belongs to another user. Answered once. */
#define VNX_OPT_TCP_DEST 1
/* setsockopt with a 4-byte IPv4 address (network order): the loopback alias
 * that a captured datagram was sent to, the question for the next ... */
#define VNX_OPT_UDP_ALIAS 2
/* ... getsockopt: the real destination behind that alias. */
#define VNX_OPT_UDP_DEST 3

/* The real destination of a captured connection or datagram. */
struct vnx_capture_dest {
    vnx_u8 family; /* 4 or 6 */
    vnx_u8 reserved;
    vnx_u16 port;     /* network order */
    vnx_u32 pid;      /* process (thread group) that connected or sent */
    vnx_u32 uid;      /* its real user id */
    vnx_u32 addr4;    /* network order, family 4 */
    vnx_u8 addr6[16]; /* network order, family 6 */
} __attribute__((packed));

/* What the service publishes for one user, from that user's proxy data block. */
struct vnx_capture_policy {
    vnx_u8 connected;
    vnx_u8 tcp;
    vnx_u8 udp;
    vnx_u8 dns;
    vnx_u8 all_apps;
    vnx_u8 reserved[1];
    /* host order, the block's fixed ports (9111 and the next), kept for
     * the record: the hooks divert to the sockets the server registered */
    vnx_u16 tcp_port;
    vnx_u16 udp_port;
    vnx_u16 reserved2;
} __attribute__((packed));

/* getsockopt/setsockopt level of veilnoxsvr's own sockets: setsockopt with
 * a 4-byte kind (VNX_SERVER_TCP for a listening socket, VNX_SERVER_UDP for
 * the socket that receives captured datagrams) registers the socket as the
 * calling user's local server in its network namespace. The hooks divert a
 * user's traffic only to sockets that user registered, and fail it
 * (EPERM) when there is none: never to a port someone else holds. */
#define VNX_OPT_SERVER 4
#define VNX_SERVER_TCP 1
#define VNX_SERVER_UDP 2

struct vnx_server_key {
    vnx_u64 netns;
    vnx_u32 uid;
    vnx_u32 reserved;
} __attribute__((packed));

/* The registered ports of one user's local server (host order, 0: none). */
struct vnx_server_ports {
    vnx_u16 tcp4;
    vnx_u16 tcp6;
    vnx_u16 udp;
    vnx_u16 reserved;
} __attribute__((packed));

/* The rules of one user: hashes of the lower-cased executable names. */
#define VNX_RULES_MAX 128
struct vnx_rule_list {
    vnx_u32 count;
    vnx_u32 reserved;
    vnx_u64 hashes[VNX_RULES_MAX];
} __attribute__((packed));

/* What the hooks know of one process: the lineage, a Bloom filter of the
 * name hashes of the process and of every program it descends from (at any
 * depth: each exec adds its names, fork copies them), so that a chosen
 * program's whole subtree stays chosen and a rule added later still
 * applies. 4 bits per name in 2048: a program outside the rules is taken
 * for a chosen one about once in 10^7 for a usual lineage of ten names. */
#define VNX_LINEAGE_WORDS 32
#define VNX_LINEAGE_BITS (VNX_LINEAGE_WORDS * 64)
struct vnx_proc_info {
    vnx_u64 lineage[VNX_LINEAGE_WORDS];
    /* cached decision: (generation << 2) | verdict, verdict 0 none, 1 not
     * diverted, 2 diverted; one word, so that it is stored whole */
    vnx_u64 verdict_word;
    vnx_u32 verdict_uid; /* the user the decision was made for */
    vnx_u8 own;          /* a Veilnox program: never captured */
    vnx_u8 reserved[3];
} __attribute__((packed));

/* The k-th bit (k < 4) of a name hash in a lineage. */
static inline vnx_u32 vnx_lineage_bit(vnx_u64 hash, int k) {
    vnx_u64 mixed = hash * 0x9E3779B97F4A7C15ULL;
    return (vnx_u32)(mixed >> (16 * k)) & (VNX_LINEAGE_BITS - 1);
}

/* Key of a captured TCP connection: its whole 4-tuple as the local server
 * sees it (the application's side, the server's side), in one network
 * namespace. IPv4-mapped addresses count as IPv4; an IPv4 address is kept
 * in the first 4 bytes. */
struct vnx_conn_key {
    vnx_u64 netns;
    vnx_u8 family; /* 4 or 6 */
    vnx_u8 reserved;
    vnx_u16 app_port;    /* network order */
    vnx_u16 server_port; /* network order */
    vnx_u16 reserved2;
    vnx_u8 app_addr[16];
    vnx_u8 server_addr[16];
} __attribute__((packed));

struct vnx_conn_entry {
    struct vnx_capture_dest dest;
    vnx_u64 stamp; /* CLOCK_MONOTONIC ns when recorded */
} __attribute__((packed));

/* Key of a UDP destination that has a loopback alias. */
struct vnx_alias_key {
    vnx_u64 netns;
    vnx_u32 uid;
    vnx_u8 family;
    vnx_u8 reserved;
    vnx_u16 port;
    vnx_u8 addr[16];
} __attribute__((packed));

struct vnx_alias_info {
    vnx_u64 netns;
    struct vnx_capture_dest dest;
    vnx_u64 last_used; /* CLOCK_MONOTONIC ns, refreshed at most once a second */
} __attribute__((packed));

/* The layout of the maps above; pinned maps of another layout are never
 * reused (they live in a folder named after it). */
#define VNX_LAYOUT_VERSION 2

/* Aliases are 127.a.b.c with a.b.c from this range: 127.0.0.0/23 (127.0.0.1,
 * the usual stubs 127.0.0.53 and 127.0.1.1) is never used. */
#define VNX_ALIAS_FIRST 0x000200u
#define VNX_ALIAS_COUNT (0x1000000u - VNX_ALIAS_FIRST - 1u)

/* FNV-1a, 64 bits: the hash of a program name. */
#define VNX_FNV_OFFSET 0xcbf29ce484222325ULL
#define VNX_FNV_PRIME 0x100000001b3ULL
#define VNX_NAME_MAX 128

#endif
