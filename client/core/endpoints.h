#pragma once
// Addresses of the service the client talks to, and the product's fixed
// texts. The server-list and version-document addresses have built-in
// defaults; a non-empty environment variable replaces each one, so tests and
// self-hosting users can point the client at their own HTTP server:
//   VEILNOX_SERVERLIST_URL, VEILNOX_SERVERLIST_FALLBACK_URL,
//   VEILNOX_VERSION_URL, VEILNOX_VERSION_FALLBACK_URL.
// The environment is read at each call; callers that keep an address (the
// update checker) read it once when they are created.
#include <QString>
#include <QStringList>

namespace Endpoints {

// "Veilnox": the Qt application name, window titles, message titles and the
// autostart entry name.
QString applicationName();
QString homepageUrl();
QString supportPageUrl();
QString supportAddress();

QString serverListUrl();
QString serverListFallbackUrl();
QString versionUrl();
QString versionFallbackUrl();

// {versionUrl(), versionFallbackUrl()}: primary first.
QStringList versionEndpoints();
// {serverListUrl(), serverListFallbackUrl()}: primary first.
QStringList serverListEndpoints();

}  // namespace Endpoints
