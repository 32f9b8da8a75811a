#!/usr/bin/env bash
# Sets everything up, starts the test servers on loopback, and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

if [ "$(id -u)" -eq 0 ]; then
  trap 'bash scripts/servers.sh stop' EXIT
  bash scripts/servers.sh start
  export COPYORVEL_FB_SERVER=127.0.0.1
  export COPYORVEL_FB_PASSWORD=quillcart
  export COPYORVEL_PG_PORT=55432
else
  echo "Not root: the Firebird and PostgreSQL servers are not started; their tests skip."
fi

export QT_QPA_PLATFORM=offscreen
ctest --test-dir build --output-on-failure --parallel "$(nproc)"
