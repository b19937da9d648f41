#!/bin/sh
# /usr/bin/veilnox-run of the Debian package: on a user's first use, when
# they have no module catalog yet, writes it with the network-stack module's
# line (what the client's Install button does, less starting the capture
# service, which the package's postinst started), then runs the launcher
# beside the module. So a fresh install runs programs through Veilnox before
# the client was ever opened. A catalog that exists (made by Install, emptied
# by the format script, edited by hand) is left as it is.
# The catalog is the one the launcher reads: $XDG_DATA_HOME/Veilnox/module/
# catalog (default ~/.local/share/...); the line is "{GUID} <library>".
here=$(cd "$(dirname "$0")" && pwd -P) || exit 125
lib=$(cd "$here/../lib/veilnox" && pwd -P) || exit 125
guid='{D3C21122-85E1-53F3-9BB6-23D30C7B09EF}'

if [ -n "${XDG_DATA_HOME:-}" ] && [ "${XDG_DATA_HOME#/}" != "$XDG_DATA_HOME" ]; then
  data_root=$XDG_DATA_HOME
elif [ -n "${HOME:-}" ]; then
  data_root=$HOME/.local/share
else
  data_root=
fi

# Whether the nearest existing folder of $1 is this user's.
own_folder() {
  d=$1
  while [ -n "$d" ] && [ ! -e "$d" ]; do d=${d%/*}; done
  [ -O "${d:-/}" ]
}

case "${1:-}" in
  ""|--help|--version) ;;
  *)
    # Only in this user's own folders (not, say, a HOME kept across sudo).
    catalog=$data_root/Veilnox/module/catalog
    if [ -n "$data_root" ] && own_folder "$data_root" &&
       [ ! -e "$catalog" ] && [ -f "$lib/libveilnox-module.so" ]; then
      (umask 077 && mkdir -p "${catalog%/*}" && printf '%s %s\n' "$guid" "$lib/libveilnox-module.so" >"$catalog") \
        2>/dev/null || true
    fi ;;
esac
exec "$lib/veilnox-run" "$@"
