#!/usr/bin/env bash
# Builds the two .debs with cpack (veilnox, and veilnox-relay for a server
# host), unpacks them into one scratch root and runs the installed programs
# from there.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$build"
cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; exit 1; }
ls "$scratch"/out/*.deb
main=$(ls "$scratch"/out/veilnox_*_*.deb)
relay=$(ls "$scratch"/out/veilnox-relay_*_*.deb)
[ "$(ls "$scratch"/out/*.deb | wc -l)" = 2 ] || { echo "FAILED: expected exactly two packages"; exit 1; }
for deb in "$main" "$relay"; do
  echo "built $(basename "$deb")"
  dpkg-deb --info "$deb" | grep -E '^ (Package|Version|Depends|Suggests):'
done
root="$scratch/root"
dpkg -x "$main" "$root"
dpkg -x "$relay" "$root"
fail=0
check() { if "$@"; then echo "ok: $*"; else echo "FAILED: $*"; fail=1; fi; }
# The two packages share no file (dpkg would refuse to install the second).
files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort; }
files "$main" >"$scratch/main.files"
files "$relay" >"$scratch/relay.files"
overlap=$(comm -12 "$scratch/main.files" "$scratch/relay.files")
check test -z "$overlap"
[ -z "$overlap" ] || echo "in both packages: $overlap"

# The main package: everything but the relay.
for f in usr/lib/veilnox/veilnox usr/lib/veilnox/veilnoxsvr \
         usr/lib/veilnox/veilnox-run usr/lib/veilnox/libveilnox-module.so \
         usr/share/veilnox/data/common.qss usr/share/veilnox/data/config/default_rules.txt \
         usr/share/veilnox/data/images/splash.png \
         usr/lib/veilnox/bat/veilnox-install64.sh usr/lib/veilnox/bat/veilnox-format64.sh \
         usr/share/applications/veilnox.desktop usr/share/icons/hicolor/256x256/apps/veilnox.png \
         usr/share/man/man1/veilnox.1.gz usr/share/man/man1/veilnoxsvr.1.gz \
         usr/share/man/man1/veilnox-run.1.gz usr/share/doc/veilnox/copyright usr/share/doc/veilnox/changelog.gz; do
  check grep -qx "/$f" "$scratch/main.files"
done
for f in usr/bin/veilnox-relay usr/lib/veilnox/veilnox-relay lib/systemd/system/veilnox-relay.service \
         etc/default/veilnox-relay usr/share/man/man1/veilnox-relay.1.gz; do
  check test -z "$(grep -x "/$f" "$scratch/main.files")"
done
check grep -qx 'Suggests: veilnox-relay' <(dpkg-deb -f "$main" Suggests | sed 's/^/Suggests: /')
# The client's Install button asks for the administrator's password with pkexec.
check test "$(dpkg-deb -f "$main" Recommends)" = pkexec
for l in veilnox veilnoxsvr; do
  check test "$(readlink "$root/usr/bin/$l")" = "../lib/veilnox/$l"
done
# Architecture-independent data in /usr/share; the programs find it through
# the link in their folder (the client reads data/... relative to it).
check test -z "$(grep '^/usr/lib/veilnox/data/' "$scratch/main.files")"
check test "$(readlink "$root/usr/lib/veilnox/data")" = ../../share/veilnox/data
check test -f "$root/usr/lib/veilnox/data/images/splash.png"
check test -f "$root/usr/lib/veilnox/data/config/default_rules.txt"
# The menu entry is in one main category.
check grep -qx 'Categories=Network;' "$root/usr/share/applications/veilnox.desktop"
if command -v desktop-file-validate >/dev/null; then
  check desktop-file-validate "$root/usr/share/applications/veilnox.desktop"
fi
check "$root/usr/bin/veilnox-run" --help
# A fresh install: veilnox-run used before the client was ever opened makes
# the user's catalog and loads the module into the program, as after the
# client's Install; a catalog the user already has (here emptied by the
# format script) is left alone, and the launcher then refuses.
fresh="$scratch/fresh"
maps=$(XDG_DATA_HOME="$fresh" "$root/usr/bin/veilnox-run" cat /proc/self/maps 2>"$scratch/run.err") || true
check grep -q "$root/usr/lib/veilnox/libveilnox-module.so" <<<"$maps"
grep -q libveilnox-module.so <<<"$maps" || cat "$scratch/run.err"
check test "$(cat "$fresh/Veilnox/module/catalog" 2>/dev/null)" = \
  "{D3C21122-85E1-53F3-9BB6-23D30C7B09EF} $root/usr/lib/veilnox/libveilnox-module.so"
check test "$(stat -c %a "$fresh/Veilnox/module/catalog" 2>/dev/null)" = 600
: >"$fresh/Veilnox/module/catalog"
XDG_DATA_HOME="$fresh" "$root/usr/bin/veilnox-run" true 2>/dev/null && status=0 || status=$?
check test "$status" = 125
check test ! -s "$fresh/Veilnox/module/catalog"
# --help and --version make no catalog.
XDG_DATA_HOME="$scratch/untouched" "$root/usr/bin/veilnox-run" --version >/dev/null
check test ! -e "$scratch/untouched"
check "$root/usr/lib/veilnox/veilnoxsvr" --version
# The installed module scripts find the library beside them.
export XDG_DATA_HOME="$scratch/home"
check sh "$root/usr/lib/veilnox/bat/veilnox-install64.sh"
check grep -q "{D3C21122-85E1-53F3-9BB6-23D30C7B09EF} $root/usr/lib/veilnox/libveilnox-module.so" "$XDG_DATA_HOME/Veilnox/module/catalog"
check sh "$root/usr/lib/veilnox/bat/veilnox-format64.sh"
check test ! -s "$XDG_DATA_HOME/Veilnox/module/catalog"
# The relay package: the program with no Qt dependency (shlibdeps finds
# OpenSSL's libssl3 for the keyed hop), its page, documents, service and
# options, the options kept as a conffile.
relay_depends=$(dpkg-deb -f "$relay" Depends)
check test -z "$(grep -io 'qt' <<<"$relay_depends")"
check grep -q 'libssl3' <<<"$relay_depends"
for f in usr/bin/veilnox-relay usr/share/man/man1/veilnox-relay.1.gz usr/share/doc/veilnox-relay/copyright \
         usr/share/doc/veilnox-relay/changelog.gz lib/systemd/system/veilnox-relay.service etc/default/veilnox-relay; do
  check grep -qx "/$f" "$scratch/relay.files"
done
check test -z "$(grep -v -e '^/usr/bin/veilnox-relay$' -e '^/usr/share/' -e '^/lib/systemd/system/veilnox-relay' -e '^/etc/default/veilnox-relay$' "$scratch/relay.files")"
check "$root/usr/bin/veilnox-relay" --help
unit="$root/lib/systemd/system/veilnox-relay.service"
check grep -qx 'LoadCredential=key:/etc/veilnox-relay/key' "$unit"
check grep -qx 'ExecStart=/usr/bin/veilnox-relay --key-file %d/key $VEILNOX_RELAY_OPTS' "$unit"
check grep -qx /etc/default/veilnox-relay <(dpkg-deb --info "$relay" conffiles)
check grep -qx 'VEILNOX_RELAY_OPTS="--listen 0.0.0.0:9200"' "$root/etc/default/veilnox-relay"
check grep -q '^#VEILNOX_RELAY_OPTS=.*--allow' "$root/etc/default/veilnox-relay"
# The maintainer scripts: the postinst makes the key.
mkdir "$scratch/control" "$scratch/control-main"
dpkg-deb -e "$relay" "$scratch/control"
dpkg-deb -e "$main" "$scratch/control-main"
for script in postinst prerm postrm; do
  check sh -n "$scratch/control-main/$script"
done
check grep -qx '  veilnox-relay --init-key /etc/veilnox-relay/key' "$scratch/control/postinst"
for script in postinst prerm postrm; do
  check sh -n "$scratch/control/$script"
  check test -x "$scratch/control/$script"
done
# The maintainer scripts themselves, run as dpkg would in a private mount
# namespace whose /etc and /run are empty, with the systemd helpers replaced
# by stubs that log their calls: install, upgrade, remove, purge.
if unshare --mount --propagation private true 2>/dev/null; then
  mkdir "$scratch/stubs"
  for tool in deb-systemd-helper deb-systemd-invoke systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>"$STUB_LOG"\n' "$tool" >"$scratch/stubs/$tool"
    chmod +x "$scratch/stubs/$tool"
  done
  cat >"$scratch/lifecycle.sh" <<'INNER'
set -u
mount -t tmpfs none /etc && mount -t tmpfs none /run && mkdir -p /run/systemd/system || exit 1
c=$CONTROL
fail=0
step() { : >"$STUB_LOG"; "$@" >"$STUB_OUT" 2>&1 || { echo "FAILED: $* exited $?"; cat "$STUB_OUT"; fail=1; }; }
expect() { if "$@"; then echo "ok: $*"; else echo "FAILED: $*"; fail=1; fi; }
step "$c/postinst" configure
expect test "$(stat -c '%a %u' /etc/veilnox-relay 2>/dev/null)" = "700 0"
expect test "$(stat -c '%a %u' /etc/veilnox-relay/key 2>/dev/null)" = "600 0"
key=$(cat /etc/veilnox-relay/key 2>/dev/null)
expect grep -qx 'deb-systemd-helper enable veilnox-relay.service' "$STUB_LOG"
expect grep -qx 'deb-systemd-invoke start veilnox-relay.service' "$STUB_LOG"
expect grep -q 'sudo veilnox-relay --print-list-entry' "$STUB_OUT"
step "$c/postinst" configure 1.0.0
expect test "$(cat /etc/veilnox-relay/key 2>/dev/null)" = "$key"
expect grep -qx 'deb-systemd-invoke restart veilnox-relay.service' "$STUB_LOG"
step "$c/prerm" upgrade 1.0.1
expect test ! -s "$STUB_LOG"
step "$c/prerm" remove
expect grep -qx 'deb-systemd-invoke stop veilnox-relay.service' "$STUB_LOG"
step "$c/postrm" remove
expect grep -qx 'deb-systemd-helper mask veilnox-relay.service' "$STUB_LOG"
expect test -s /etc/veilnox-relay/key
step "$c/postrm" purge
expect grep -qx 'deb-systemd-helper purge veilnox-relay.service' "$STUB_LOG"
expect test ! -e /etc/veilnox-relay
# The main package: the capture service is enabled and started where systemd
# runs; without systemd the postinst says in one line what that means.
m=$CONTROL_MAIN
step "$m/postinst" configure
expect grep -qx 'deb-systemd-helper enable veilnox-capture.service' "$STUB_LOG"
expect grep -qx 'deb-systemd-invoke restart veilnox-capture.service' "$STUB_LOG"
expect test ! -s "$STUB_OUT"
rmdir /run/systemd/system
step "$m/postinst" configure
expect grep -qx 'deb-systemd-helper enable veilnox-capture.service' "$STUB_LOG"
expect test -z "$(grep deb-systemd-invoke "$STUB_LOG")"
expect test "$(cat "$STUB_OUT")" = "veilnox: the capture service was not started (no systemd): programs are redirected only when started with veilnox-run"
exit $fail
INNER
  if ! CONTROL="$scratch/control" CONTROL_MAIN="$scratch/control-main" STUB_LOG="$scratch/stub.log" STUB_OUT="$scratch/stub.out" \
       PATH="$scratch/stubs:$root/usr/bin:$PATH" unshare --mount --propagation private bash "$scratch/lifecycle.sh"; then
    fail=1
  fi
else
  echo "skipped: maintainer scripts in a private mount namespace (unshare needs root)"
fi
# The relay given the packaged options and a key file (made as the postinst
# makes it, passed as the service passes it) prints a keyed entry.
mkdir "$scratch/etc"
keydir="$scratch/etc/veilnox-relay"
check "$root/usr/bin/veilnox-relay" --init-key "$keydir/key"
key=$(cat "$keydir/key" 2>/dev/null || true)
check grep -qE '^[A-Za-z0-9_-]{43}$' <<<"$key"
(
  # shellcheck source=/dev/null
  . "$root/etc/default/veilnox-relay"
  # shellcheck disable=SC2086
  "$root/usr/bin/veilnox-relay" --key-file "$keydir/key" $VEILNOX_RELAY_OPTS \
    --public-address 192.0.2.7 --print-list-entry --country Germany
) >"$scratch/entry" 2>"$scratch/entry.err" || true
check grep -qF "<ip>192.0.2.7</ip><port>9200</port><protocol>private</protocol><key>$key</key>" "$scratch/entry"
check grep -qxF "veilnox://$key@192.0.2.7:9200?tag=DE&country=Germany" "$scratch/entry"
grep -qxF "veilnox://$key@192.0.2.7:9200?tag=DE&country=Germany" "$scratch/entry" || cat "$scratch/entry" "$scratch/entry.err"
if command -v systemd-analyze >/dev/null; then
  # Verified against the unpacked tree: its program, options file and key.
  mkdir "$scratch/unit"
  sed -e "s|/usr/bin/veilnox-relay|$root/usr/bin/veilnox-relay|" \
      -e "s|/etc/default/veilnox-relay|$root/etc/default/veilnox-relay|" \
      -e "s|/etc/veilnox-relay/key|$keydir/key|" \
      "$unit" >"$scratch/unit/veilnox-relay.service"
  verify=$(systemd-analyze verify --man=no "$scratch/unit/veilnox-relay.service" 2>&1) && [ -z "$verify" ] \
    && echo "ok: systemd-analyze verify veilnox-relay.service" \
    || { echo "FAILED: systemd-analyze verify veilnox-relay.service: $verify"; fail=1; }
else
  echo "skipped: systemd-analyze verify (no systemd-analyze)"
fi
# The capture service: its unit, program (linked from /usr/sbin), manual page.
check test -f "$root/lib/systemd/system/veilnox-capture.service"
check test -x "$root/usr/sbin/veilnox-capture"
check "$root/usr/lib/veilnox/veilnox-capture" --version
gzip -dc "$root/usr/share/man/man8/veilnox-capture.8.gz" | grep -q '^\.TH VEILNOX-CAPTURE 8' || { echo "FAILED: capture man page"; fail=1; }
if command -v systemd-analyze >/dev/null; then
  mkdir -p "$scratch/unit"
  sed -e "s|/usr/lib/veilnox/veilnox-capture|$root/usr/lib/veilnox/veilnox-capture|" \
      "$root/lib/systemd/system/veilnox-capture.service" >"$scratch/unit/veilnox-capture.service"
  verify=$(systemd-analyze verify --man=no "$scratch/unit/veilnox-capture.service" 2>&1) && [ -z "$verify" ] \
    && echo "ok: systemd-analyze verify veilnox-capture.service" \
    || { echo "FAILED: systemd-analyze verify veilnox-capture.service: $verify"; fail=1; }
fi
gzip -dc "$root/usr/share/man/man1/veilnoxsvr.1.gz" | grep -q '^\.TH VEILNOXSVR' || { echo "FAILED: man page"; fail=1; }
# The client answers --version and --help without a display.
check env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/veilnox" --version
check env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/veilnox" --help
# One version everywhere: both packages and their changelogs, every
# program's --version, every manual page (all of one date).
version=$(dpkg-deb -f "$main" Version)
check test "$(dpkg-deb -f "$relay" Version)" = "$version"
for prog in usr/bin/veilnox usr/bin/veilnoxsvr usr/bin/veilnox-run usr/sbin/veilnox-capture usr/bin/veilnox-relay; do
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/$prog" --version 2>/dev/null | head -n 1) || true
  check test "$out" = "$(basename "$prog") $version"
done
for pkg in veilnox veilnox-relay; do
  check grep -q "^$pkg ($version) " <(gzip -dc "$root/usr/share/doc/$pkg/changelog.gz")
done
pages=("$root"/usr/share/man/man*/*.gz)
check test "${#pages[@]}" = 5
for page in "${pages[@]}"; do
  gzip -dc "$page" | grep -m 1 '^\.TH ' | awk -F'"' '{ print $2 "|" $4 }'
done | sort -u >"$scratch/man.th"
check test "$(wc -l <"$scratch/man.th")" = 1
check grep -qE "^[0-9]{4}-[0-9]{2}-[0-9]{2}\|Veilnox $version\$" "$scratch/man.th"
# The manual pages tell how programs are redirected: by the capture service
# however they are started, or through veilnox-run; and no folder relative to
# a program folder the reader does not know.
for page in man1/veilnox.1.gz man1/veilnoxsvr.1.gz; do
  check grep -qz 'veilnox-capture.*however they were\s*started.*veilnox-run' <(gzip -dc "$root/usr/share/man/$page")
done
check test -z "$(gzip -dc "$root/usr/share/man/man1/veilnox-run.1.gz" | grep -E '(^|[^/])bat/')"
# Debian's package checks find no errors (warnings are shown, not failed on).
if command -v lintian >/dev/null; then
  for deb in "$main" "$relay"; do
    if lintian --display-info --fail-on error "$deb" >"$scratch/lintian.log" 2>&1; then
      echo "ok: lintian reports no errors in $(basename "$deb")"
    else
      cat "$scratch/lintian.log"; echo "FAILED: lintian $(basename "$deb")"; fail=1
    fi
    grep '^W: ' "$scratch/lintian.log" || true
    # Built with Debian's hardening flags (the tags are informational).
    check test -z "$(grep -E 'hardening-no-(bindnow|fortify-functions|relro|pie)' "$scratch/lintian.log")"
    grep -E 'hardening-no-' "$scratch/lintian.log" || true
  done
else
  echo "FAILED: lintian is not installed (scripts/packages.txt)"; fail=1
fi
exit $fail
