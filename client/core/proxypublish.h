#pragma once
// What the client writes into the proxy data block (ProxyData): the upstream
// server of a connect, the program rules and the redirect options, plus the
// settings keys that remember the connection. Pure functions over the block
// and the settings store, used by MainWindow (ConnectServer, PublishSettings)
// and testable without a window. GUI thread only: the block has one writer.
#include "appconfig.h"
#include "arrayxml.h"
#include "records.h"

#include <QString>
#include <QStringList>

// Copies at most 55 bytes of the UTF-8 form of `text` into a 56-byte text
// field: the unused part of the first 55 bytes becomes zero and the last
// byte is left alone (it stays 0, so the field is always terminated).
void WriteProxyText(char (&field)[vnx::kProxyTextSize], const QString& text);

// Writes, in this order, proxy_port ("port" as an unsigned 16-bit decimal
// number, 0 when it is not one), proxy_ip, proxy_user, proxy_pass and
// proxy_protocol from a server's attributes. `connected` is not touched.
void WriteProxyServer(vnx::ProxyData& data, const StringMap& server);

// Publishes the relay key of the server about to be written into the block
// (vnx::publishHopKey: its "ip" in network order, its "port", its key), or,
// for a server without a valid key, for no server (an empty map: a
// disconnect) or one whose address is not IPv4, that there is no key. The
// local server reads it there: the block itself never holds a key. Called
// before WriteProxyServer, so that a local server that sees the new server
// in the block finds its key already published. False when the named object
// cannot be made.
bool PublishServerKey(const StringMap& server);

// The program rules kept from the rules file: split at "\n", each line
// trimmed, kept when it is 2 to 127 characters long and does not begin with
// "#"; in file order, without limit.
QStringList ParseRulesText(const QString& text);

// Publishes the first 128 rules as NUL-terminated UTF-16 names with
// enabled = 1 and sets rule_count; entries beyond the count are left as they
// are. Returns the count.
int PublishRules(vnx::ProxyData& data, const QString& rulesText);

// The redirect options from the settings keys: "redirectallapp" (default 0),
// "encryptdata" (1), "redirectdns" (1), "redirectudp" (RedirectUdpByDefault():
// 1 on Linux, 0 on Windows), "redirecttcp" (1). An empty or missing key takes
// its default; any other value is 1 when it is a non-zero decimal number,
// else 0. Stored values keep their meaning.
void ApplyRedirectSettings(vnx::ProxyData& data, CAppConfig& config);

// The six connection keys ("ipconnected", "portconnected",
// "protocolconnected" and their "_last" twins) set from a server; saves.
void StoreConnectionKeys(CAppConfig& config, const StringMap& server);
// Empties "ipconnected" (a disconnect or a failed connect).
void ClearConnectedKey(CAppConfig& config);

// Sets a key and saves the store, unless the key already holds that value
// (a missing key counts as empty). Storing only real changes keeps a first
// start, which changes nothing, from writing a settings file. True when
// the value changed.
bool StoreSetting(CAppConfig& config, const QString& key, const QString& value);
