#!/usr/bin/env bash
# Starts and stops the database servers the tests talk to, on the loopback address only:
#   scripts/servers.sh start   - Firebird on 127.0.0.1:3050, PostgreSQL on 127.0.0.1:55432
#   scripts/servers.sh stop
# Needs root (the servers run as their own users). Prints the environment the tests read.
set -euo pipefail

PG_PORT=55432
PG_DIR=/tmp/copyorvel-pg

start_firebird() {
  if (exec 3<>/dev/tcp/127.0.0.1/3050) 2>/dev/null; then return 0; fi
  install -d -o firebird -g firebird -m 0770 /run/firebird3.0 /tmp/firebird /var/log/firebird
  # Listen on loopback only.
  local conf=/etc/firebird/3.0/firebird.conf
  if [ -f "$conf" ] && ! grep -q '^RemoteBindAddress *= *127.0.0.1' "$conf"; then
    echo "RemoteBindAddress = 127.0.0.1" >>"$conf"
  fi
  runuser -u firebird -- /usr/sbin/fbguard -daemon -forever -pidfile /run/firebird3.0/firebird.pid
  for _ in $(seq 1 100); do
    if (exec 3<>/dev/tcp/127.0.0.1/3050) 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "Firebird did not start on 127.0.0.1:3050" >&2
  return 1
}

stop_firebird() {
  start-stop-daemon --stop --oknodo --quiet --retry 10 --exec /usr/sbin/fbguard || true
  start-stop-daemon --stop --oknodo --quiet --retry 10 --exec /usr/sbin/firebird || true
}

pg_bin() { ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1; }

start_postgres() {
  if (exec 3<>/dev/tcp/127.0.0.1/$PG_PORT) 2>/dev/null; then return 0; fi
  local bin
  bin=$(pg_bin)
  rm -rf "$PG_DIR"
  install -d -o postgres -g postgres -m 0700 "$PG_DIR" "$PG_DIR/data" "$PG_DIR/sock"
  runuser -u postgres -- "$bin/initdb" -D "$PG_DIR/data" -U postgres --auth=trust -E UTF8 \
    --locale=C.UTF-8 >"$PG_DIR/initdb.log" 2>&1
  runuser -u postgres -- "$bin/pg_ctl" -D "$PG_DIR/data" -l "$PG_DIR/server.log" -w \
    -o "-p $PG_PORT -c listen_addresses=127.0.0.1 -k $PG_DIR/sock" start >/dev/null
}

stop_postgres() {
  [ -d "$PG_DIR/data" ] || return 0
  runuser -u postgres -- "$(pg_bin)/pg_ctl" -D "$PG_DIR/data" -m fast -w stop >/dev/null 2>&1 || true
}

case "${1:-}" in
  start)
    start_firebird
    start_postgres
    ;;
  stop)
    stop_firebird
    stop_postgres
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
