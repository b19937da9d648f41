#pragma once
// What veilnox-capture publishes to the kernel hooks for one user: the
// policy fields of the user's proxy data block and the hashes of the program
// rules. Pure functions, shared by the service and its tests.
#include "capturewire.h"
#include "records.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

namespace vnxcap {

// The hash the hooks give a program name: ASCII letters folded to lower
// case (whatever the locale), a trailing ".exe" dropped, FNV-1a over the
// bytes. 0 for an empty name.
std::uint64_t nameHash(const char* name, std::size_t length);
std::uint64_t nameHash(const std::string& name);

// The last component of a path ("/usr/bin/curl" -> "curl").
std::string baseName(const std::string& path);

// The hashes of the names Veilnox's own programs run under; the hooks never
// divert them.
std::set<std::uint64_t> ownNameHashes();

struct UserPolicy {
    vnx_capture_policy policy{};
    std::set<std::uint64_t> rules;
    bool operator==(const UserPolicy& o) const;
    bool operator!=(const UserPolicy& o) const { return !(*this == o); }
};

// Reads a proxy data block. The rules are the block's first rule_count
// entries (bounded to 128), each the last path component of its UTF-16 text,
// trimmed; empty ones are skipped. Ports default to 9111 (TCP) and the TCP
// port + 1 for captured datagrams.
UserPolicy policyFromBlock(const vnx::ProxyData& block);

}  // namespace vnxcap

// The records the hooks and the service share keep their layouts.
static_assert(sizeof(vnx_capture_dest) == 32, "vnx_capture_dest size");
static_assert(offsetof(vnx_capture_dest, port) == 2, "vnx_capture_dest.port");
static_assert(offsetof(vnx_capture_dest, pid) == 4, "vnx_capture_dest.pid");
static_assert(offsetof(vnx_capture_dest, uid) == 8, "vnx_capture_dest.uid");
static_assert(offsetof(vnx_capture_dest, addr4) == 12, "vnx_capture_dest.addr4");
static_assert(offsetof(vnx_capture_dest, addr6) == 16, "vnx_capture_dest.addr6");
static_assert(sizeof(vnx_capture_policy) == 12, "vnx_capture_policy size");
static_assert(offsetof(vnx_capture_policy, tcp_port) == 6, "vnx_capture_policy.tcp_port");
static_assert(offsetof(vnx_capture_policy, udp_port) == 8, "vnx_capture_policy.udp_port");
static_assert(sizeof(vnx_rule_key) == 16, "vnx_rule_key size");
static_assert(offsetof(vnx_rule_key, name_hash) == 8, "vnx_rule_key.name_hash");
static_assert(sizeof(vnx_proc_info) == 8 * VNX_PROC_NAMES + 16, "vnx_proc_info size");
static_assert(offsetof(vnx_proc_info, own) == 8 * VNX_PROC_NAMES, "vnx_proc_info.own");
static_assert(offsetof(vnx_proc_info, verdict_uid) == 8 * VNX_PROC_NAMES + 4, "vnx_proc_info.verdict_uid");
static_assert(offsetof(vnx_proc_info, verdict_gen) == 8 * VNX_PROC_NAMES + 8, "vnx_proc_info.verdict_gen");
static_assert(sizeof(vnx_conn_key) == 16, "vnx_conn_key size");
static_assert(offsetof(vnx_conn_key, port) == 8, "vnx_conn_key.port");
static_assert(offsetof(vnx_conn_key, family) == 10, "vnx_conn_key.family");
static_assert(sizeof(vnx_alias_key) == 32, "vnx_alias_key size");
static_assert(offsetof(vnx_alias_key, addr) == 16, "vnx_alias_key.addr");
static_assert(sizeof(vnx_alias_info) == 40, "vnx_alias_info size");
