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
    vnx_u16 tcp_port; /* host order: the local server's port (9111) */
    vnx_u16 udp_port; /* host order: its port for captured datagrams (9112) */
    vnx_u16 reserved2;
} __attribute__((packed));

/* A program rule: the user and the hash of the lower-cased executable name
 * without ".exe". */
struct vnx_rule_key {
    vnx_u32 uid;
    vnx_u32 reserved;
    vnx_u64 name_hash;
} __attribute__((packed));

/* What the hooks know of one process: the hashes of its own names (the
 * executable's file name and the name it was started by) and those of the
 * programs it descends from, newest first. */
#define VNX_PROC_NAMES 12
struct vnx_proc_info {
    vnx_u64 names[VNX_PROC_NAMES];
    vnx_u8 own;     /* a Veilnox program: never captured */
    vnx_u8 verdict; /* cached decision: 0 none, 1 not diverted, 2 diverted */
    vnx_u8 reserved[2];
    vnx_u32 verdict_uid; /* the user the decision was made for */
    vnx_u64 verdict_gen; /* the policy generation it was made under */
} __attribute__((packed));

/* Key of a captured TCP connection: the network namespace it lives in and
 * the application socket's local port, as the local server sees it as the
 * source of the accepted connection. */
struct vnx_conn_key {
    vnx_u64 netns;
    vnx_u16 port;  /* network order */
    vnx_u8 family; /* 4 or 6: the family of the connection to the local server */
    vnx_u8 reserved[5];
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
} __attribute__((packed));

/* Aliases are 127.a.b.c with a.b.c from this range: 127.0.0.0/23 (127.0.0.1,
 * the usual stubs 127.0.0.53 and 127.0.1.1) is never used. */
#define VNX_ALIAS_FIRST 0x000200u
#define VNX_ALIAS_COUNT (0x1000000u - VNX_ALIAS_FIRST - 1u)

/* FNV-1a, 64 bits: the hash of a program name. */
#define VNX_FNV_OFFSET 0xcbf29ce484222325ULL
#define VNX_FNV_PRIME 0x100000001b3ULL
#define VNX_NAME_MAX 128

#endif
