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

// Adds a name hash to a process's lineage; whether a lineage holds one (the
// hooks' test, for the service's view of processes and the tests).
void lineageAdd(vnx_proc_info& info, std::uint64_t hash);
bool lineageHas(const vnx_proc_info& info, std::uint64_t hash);

// The rules as the hooks read them (at most VNX_RULES_MAX).
vnx_rule_list ruleList(const std::set<std::uint64_t>& rules);

// Whether a process with this record is diverted under `policy` (with the
// user's `rules`): what the hooks decide, for the service's own use.
bool coveredBy(const UserPolicy& policy, const vnx_proc_info* info);

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
static_assert(sizeof(vnx_server_key) == 16, "vnx_server_key size");
static_assert(offsetof(vnx_server_key, uid) == 8, "vnx_server_key.uid");
static_assert(sizeof(vnx_server_ports) == 8, "vnx_server_ports size");
static_assert(offsetof(vnx_server_ports, tcp6) == 2, "vnx_server_ports.tcp6");
static_assert(offsetof(vnx_server_ports, udp) == 4, "vnx_server_ports.udp");
static_assert(sizeof(vnx_rule_list) == 8 + 8 * VNX_RULES_MAX, "vnx_rule_list size");
static_assert(offsetof(vnx_rule_list, hashes) == 8, "vnx_rule_list.hashes");
static_assert(sizeof(vnx_proc_info) == 8 * VNX_LINEAGE_WORDS + 16, "vnx_proc_info size");
static_assert(offsetof(vnx_proc_info, verdict_word) == 8 * VNX_LINEAGE_WORDS, "vnx_proc_info.verdict_word");
static_assert(offsetof(vnx_proc_info, verdict_uid) == 8 * VNX_LINEAGE_WORDS + 8, "vnx_proc_info.verdict_uid");
static_assert(offsetof(vnx_proc_info, own) == 8 * VNX_LINEAGE_WORDS + 12, "vnx_proc_info.own");
static_assert(sizeof(vnx_conn_key) == 48, "vnx_conn_key size");
static_assert(offsetof(vnx_conn_key, family) == 8, "vnx_conn_key.family");
static_assert(offsetof(vnx_conn_key, app_port) == 10, "vnx_conn_key.app_port");
static_assert(offsetof(vnx_conn_key, server_port) == 12, "vnx_conn_key.server_port");
static_assert(offsetof(vnx_conn_key, app_addr) == 16, "vnx_conn_key.app_addr");
static_assert(offsetof(vnx_conn_key, server_addr) == 32, "vnx_conn_key.server_addr");
static_assert(sizeof(vnx_conn_entry) == 40, "vnx_conn_entry size");
static_assert(offsetof(vnx_conn_entry, stamp) == 32, "vnx_conn_entry.stamp");
static_assert(sizeof(vnx_alias_key) == 32, "vnx_alias_key size");
static_assert(offsetof(vnx_alias_key, addr) == 16, "vnx_alias_key.addr");
static_assert(sizeof(vnx_alias_info) == 48, "vnx_alias_info size");
static_assert(offsetof(vnx_alias_info, last_used) == 40, "vnx_alias_info.last_used");
