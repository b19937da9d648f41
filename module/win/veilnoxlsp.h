#pragma once
// What the provider DLL (veilnoxlsp.dll) exports.
#include "platform/net.h"

#include <ws2spi.h>

#ifdef VEILNOX_LSP_BUILD
#define VEILNOX_LSP_API extern "C" __declspec(dllexport)
#else
#define VEILNOX_LSP_API extern "C" __declspec(dllimport)
#endif

// Winsock starts the provider for one of its catalog entries (a protocol
// chain whose first link is this provider). It starts the next link's
// provider, found in the catalog, and returns that provider's table with
// the provider's own functions put in front of some of them.
VEILNOX_LSP_API int WSPAPI WSPStartup(WORD version, LPWSPDATA data, LPWSAPROTOCOL_INFOW protocolInfo,
                                      WSPUPCALLTABLE upcalls, LPWSPPROC_TABLE procTable);

// From now on WSPStartup starts `next` as the provider below, with the
// chain's entry less its first link, instead of the provider the catalog
// names (null: the catalog again). For programs that drive the provider
// themselves, such as its tests; Winsock never calls it.
VEILNOX_LSP_API void WSPAPI VeilnoxLspUseNextProvider(LPWSPSTARTUP next);

using VeilnoxLspUseNextProviderFn = void(WSPAPI*)(LPWSPSTARTUP);
