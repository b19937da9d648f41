#!/bin/sh
# Adds ("install") or removes ("format") the Veilnox network-stack module in
# the per-user module catalog: $XDG_DATA_HOME/Veilnox/module/catalog
# (default ~/.local/share/Veilnox/module/catalog), one line per module:
#   {GUID} <absolute path of the library>
# The library is the libveilnox-module.so beside the bat/ folder (the
# program folder). Both actions are idempotent. Exit status 0 on success.
# Usage: sh veilnox-module-catalog.sh install|format
set -u

guid='{D3C21122-85E1-53F3-9BB6-23D30C7B09EF}'
action=${1:-}

here=$(cd "$(dirname "$0")" && pwd) || exit 1
program_dir=$(cd "$here/.." && pwd) || exit 1
library="$program_dir/libveilnox-module.so"

if [ -n "${XDG_DATA_HOME:-}" ] && [ "${XDG_DATA_HOME#/}" != "$XDG_DATA_HOME" ]; then
  data_root=$XDG_DATA_HOME
elif [ -n "${HOME:-}" ]; then
  data_root=$HOME/.local/share
else
  echo "veilnox: cannot find the per-user data folder (neither XDG_DATA_HOME nor HOME is set)" >&2
  exit 1
fi
catalog_dir="$data_root/Veilnox/module"
catalog="$catalog_dir/catalog"

# Writes the catalog without our line (plus $1 when given), atomically.
rewrite() {
  mkdir -p "$catalog_dir" || return 1
  tmp=$(mktemp "$catalog_dir/.catalog.XXXXXX") || return 1
  if [ -f "$catalog" ]; then
    # Case-insensitive match of the GUID at the start of a line.
    grep -v -i -F -e "$guid " "$catalog" > "$tmp"
    status=$?
    if [ $status -gt 1 ]; then rm -f "$tmp"; return 1; fi
  fi
  if [ -n "${1:-}" ]; then printf '%s %s\n' "$guid" "$1" >> "$tmp" || { rm -f "$tmp"; return 1; }; fi
  chmod 600 "$tmp" && mv -f "$tmp" "$catalog" || { rm -f "$tmp"; return 1; }
}

# The kernel capture service redirects every program, however it was started.
# It is a system service: started as root, or on a desktop after the
# administrator's password (pkexec). Where it cannot run (no systemd, no
# unit, no pkexec, refused), the catalog entry keeps programs started with
# veilnox-run redirected. It prints one line on standard output that says
# what became of the service, which the client shows:
#   veilnox-capture: running | started | not started: REASON
# Its own failure does not fail the install. VEILNOX_ASK_PASSWORD=0 asks
# for no password (a silent repair). VEILNOX_SYSTEMD_ROOT puts the
# systemd folders (/run/systemd/system, the unit's folders) under another
# root, for tests.
systemd_root=${VEILNOX_SYSTEMD_ROOT:-}
unit=veilnox-capture.service
capture_report() { echo "veilnox-capture: $*"; }
start_capture() {
  if [ ! -f "$systemd_root/lib/systemd/system/$unit" ] && [ ! -f "$systemd_root/usr/lib/systemd/system/$unit" ]; then
    capture_report "not started: the veilnox-capture service is not installed on this system"
    return 0
  fi
  if [ ! -d "$systemd_root/run/systemd/system" ] || ! command -v systemctl >/dev/null 2>&1; then
    capture_report "not started: this system does not run systemd"
    return 0
  fi
  if systemctl is-active --quiet "$unit"; then
    capture_report "running"
    return 0
  fi
  if [ "$(id -u)" -eq 0 ]; then
    if systemctl enable --now "$unit"; then
      capture_report "started"
    else
      capture_report "not started: systemctl enable --now $unit failed"
    fi
    return 0
  fi
  if ! command -v pkexec >/dev/null 2>&1; then
    capture_report "not started: pkexec is not installed, so the administrator's password cannot be asked for (an administrator can run: sudo systemctl enable --now $unit)"
    return 0
  fi
  if [ "${VEILNOX_ASK_PASSWORD:-1}" = 0 ]; then
    capture_report "not started: it needs the administrator's password (use Repair Installation in the settings)"
    return 0
  fi
  if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    capture_report "not started: there is no graphical session in which to ask for the administrator's password"
    return 0
  fi
  # pkexec waits for the password as long as the user takes. It runs in the
  # background so that a TERM (the client's Cancel) ends it as well.
  pkexec systemctl enable --now "$unit" &
  asker=$!
  trap 'kill "$asker" 2>/dev/null; capture_report "not started: cancelled"; exit 0' TERM INT HUP
  wait "$asker"
  status=$?
  trap - TERM INT HUP
  case $status in
    0) capture_report "started" ;;
    126|127) capture_report "not started: the administrator's password was not given" ;;
    *) capture_report "not started: pkexec systemctl enable --now $unit failed (exit status $status)" ;;
  esac
}

case "$action" in
  install)
    if [ ! -f "$library" ]; then
      echo "veilnox: the module library is missing: $library (build it first); nothing installed" >&2
      exit 1
    fi
    case "$library" in
      *" "*|*:*)
        echo "veilnox: the program folder path contains a space or a colon, which LD_PRELOAD cannot carry: $program_dir" >&2
        exit 1 ;;
    esac
    rewrite "$library" || { echo "veilnox: cannot write $catalog" >&2; exit 1; }
    echo "veilnox: module installed: $library"
    # After the catalog: programs started with veilnox-run are covered even
    # while the password prompt waits or when it is cancelled.
    start_capture
    ;;
  format)
    if [ ! -f "$catalog" ]; then
      echo "veilnox: module not installed (no catalog)"
      exit 0
    fi
    rewrite "" || { echo "veilnox: cannot write $catalog" >&2; exit 1; }
    echo "veilnox: module removed"
    ;;
  *)
    echo "usage: sh $0 install|format" >&2
    exit 2
    ;;
esac
