#!/usr/bin/env bash
# Sets everything up and starts the wizard. Arguments go to the program, e.g.
#   bash scripts/run.sh '-Source:<DB ENGINE="PDOX" FOLDER="/data/gis">'
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

if [ ! -x build/copier/copyorvel ]; then
  echo "Everything is built; the wizard itself (copyorvel) is not built yet."
  exit 0
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: starting the wizard under a virtual X server (xvfb-run)."
  exec xvfb-run -a build/copier/copyorvel "$@"
fi
exec build/copier/copyorvel "$@"
