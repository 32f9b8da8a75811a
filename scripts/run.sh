#!/usr/bin/env bash
# Sets everything up and starts the wizard. Without arguments it opens on a demo GIS database in a
# Paradox folder (made when missing) and offers an empty Firebird database as a destination;
# arguments go to the program instead, e.g.
#   bash scripts/run.sh '-Source:<DB ENGINE="PDOX" FOLDER="/data/gis">'
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

data="${COPYORVEL_DATA:-$HOME/.local/share/copyorvel}"
if [ "$(id -u)" -ne 0 ] && [ -z "${FIREBIRD_LOCK:-}" ]; then
  # The embedded Firebird engine keeps its lock files in a folder the user may write.
  export FIREBIRD_LOCK="$data/firebird-lock"
  mkdir -p "$FIREBIRD_LOCK"
fi
build/tests/support/demogisdb paradox "$data/demo"
build/tests/support/demogisdb firebird-empty "$data/copy.fdb"

if [ $# -eq 0 ]; then
  set -- "-Source:<DB ENGINE=\"PDOX\" FOLDER=\"$data/demo\">"
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: the wizard runs under a virtual X server (xvfb-run), where nobody can see it."
  echo "Run this script from a desktop session to use the wizard."
  exec xvfb-run -a build/copier/copyorvel "$@"
fi
exec build/copier/copyorvel "$@"
