#!/usr/bin/env bash
# Sets everything up, starts the test servers on loopback, and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
if [ "$(id -u)" -eq 0 ]; then
  # Servers that were running already (someone else's) are left running afterwards.
  if ! port_open 3050 || ! port_open 55432; then
    trap 'bash scripts/servers.sh stop' EXIT
  fi
  bash scripts/servers.sh start
  export COPYORVEL_FB_SERVER=127.0.0.1
  export COPYORVEL_FB_PASSWORD=quillcart
  export COPYORVEL_PG_PORT=55432
else
  echo "Not root: the Firebird and PostgreSQL servers are not started; their tests skip."
fi

export QT_QPA_PLATFORM=offscreen
ctest --test-dir build --output-on-failure --parallel "$(nproc)"
