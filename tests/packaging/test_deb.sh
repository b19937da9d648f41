#!/usr/bin/env bash
# Builds the .deb with cpack, unpacks it into a scratch root and runs the
# installed programs from there.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$build"
cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$scratch"/out/*.deb)
echo "built $(basename "$deb")"
dpkg-deb --info "$deb" | grep -E '^ (Package|Version|Depends):'
root="$scratch/root"
dpkg -x "$deb" "$root"
fail=0
check() { if "$@"; then echo "ok: $*"; else echo "FAILED: $*"; fail=1; fi; }
for f in usr/lib/veilnox/veilnox usr/lib/veilnox/veilnoxsvr usr/lib/veilnox/veilnox-relay \
         usr/lib/veilnox/veilnox-run usr/lib/veilnox/libveilnox-module.so \
         usr/lib/veilnox/data/common.qss usr/lib/veilnox/data/config/default_rules.txt \
         usr/lib/veilnox/bat/veilnox-install64.sh usr/lib/veilnox/bat/veilnox-format64.sh \
         usr/share/applications/veilnox.desktop usr/share/icons/hicolor/256x256/apps/veilnox.png \
         usr/share/man/man1/veilnox.1.gz usr/share/man/man1/veilnoxsvr.1.gz \
         usr/share/man/man1/veilnox-run.1.gz usr/share/man/man1/veilnox-relay.1.gz; do
  check test -e "$root/$f"
done
for l in veilnox veilnoxsvr veilnox-relay veilnox-run; do
  check test "$(readlink "$root/usr/bin/$l")" = "../lib/veilnox/$l"
done
check "$root/usr/bin/veilnox-run" --help
check "$root/usr/bin/veilnox-relay" --help
check "$root/usr/lib/veilnox/veilnoxsvr" --version
# The installed module scripts find the library beside them.
export XDG_DATA_HOME="$scratch/home"
check sh "$root/usr/lib/veilnox/bat/veilnox-install64.sh"
check grep -q "{D3C21122-85E1-53F3-9BB6-23D30C7B09EF} $root/usr/lib/veilnox/libveilnox-module.so" "$XDG_DATA_HOME/Veilnox/module/catalog"
check sh "$root/usr/lib/veilnox/bat/veilnox-format64.sh"
check test ! -s "$XDG_DATA_HOME/Veilnox/module/catalog"
# The relay's service and its options, the options file kept as a conffile.
check test -f "$root/lib/systemd/system/veilnox-relay.service"
check test -f "$root/etc/default/veilnox-relay"
check grep -qx /etc/default/veilnox-relay <(dpkg-deb --info "$deb" conffiles)
check grep -q '^VEILNOX_RELAY_OPTS=' "$root/etc/default/veilnox-relay"
check grep -q '^#VEILNOX_RELAY_OPTS=.*--allow' "$root/etc/default/veilnox-relay"
if command -v systemd-analyze >/dev/null; then
  # Verified against the unpacked tree: its program and options file.
  mkdir "$scratch/unit"
  sed -e "s|/usr/bin/veilnox-relay|$root/usr/lib/veilnox/veilnox-relay|" \
      -e "s|/etc/default/veilnox-relay|$root/etc/default/veilnox-relay|" \
      "$root/lib/systemd/system/veilnox-relay.service" >"$scratch/unit/veilnox-relay.service"
  verify=$(systemd-analyze verify --man=no "$scratch/unit/veilnox-relay.service" 2>&1) && [ -z "$verify" ] \
    && echo "ok: systemd-analyze verify veilnox-relay.service" \
    || { echo "FAILED: systemd-analyze verify veilnox-relay.service: $verify"; fail=1; }
fi
# The capture service: its unit, program (linked from /usr/sbin), manual page.
check test -f "$root/lib/systemd/system/veilnox-capture.service"
check test -x "$root/usr/sbin/veilnox-capture"
check "$root/usr/lib/veilnox/veilnox-capture" --version
gzip -dc "$root/usr/share/man/man8/veilnox-capture.8.gz" | grep -q '^\.TH VEILNOX-CAPTURE 8' || { echo "FAILED: capture man page"; fail=1; }
if command -v systemd-analyze >/dev/null; then
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
# Debian's package checks find no errors (warnings are shown, not failed on).
if command -v lintian >/dev/null; then
  if lintian --fail-on error "$deb" >"$scratch/lintian.log" 2>&1; then
    echo "ok: lintian reports no errors"
  else
    cat "$scratch/lintian.log"; echo "FAILED: lintian"; fail=1
  fi
  grep '^W: ' "$scratch/lintian.log" || true
else
  echo "FAILED: lintian is not installed (scripts/packages.txt)"; fail=1
fi
exit $fail
