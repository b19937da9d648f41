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
# unit, refused), the catalog entry keeps programs started with veilnox-run
# redirected.
start_capture() {
  [ -f /lib/systemd/system/veilnox-capture.service ] || [ -f /usr/lib/systemd/system/veilnox-capture.service ] || return 0
  [ -d /run/systemd/system ] || return 0
  command -v systemctl >/dev/null 2>&1 || return 0
  systemctl is-active --quiet veilnox-capture.service && return 0
  if [ "$(id -u)" -eq 0 ]; then
    systemctl enable --now veilnox-capture.service
  elif command -v pkexec >/dev/null 2>&1 && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    pkexec systemctl enable --now veilnox-capture.service
  fi || echo "veilnox: the kernel capture service was not started; only programs started with veilnox-run are redirected" >&2
}

case "$action" in
  install)
    start_capture
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
