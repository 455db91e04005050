#!/usr/bin/env bash
# Run a command against a private PostgreSQL server (inside tools/env).
#
#   tools/postgres.sh CMD [ARGS...]
#
# Installs Debian's server when it is missing and psycopg into a virtual
# environment of its own (build/postgres/venv, whose bin/ comes first on PATH
# for CMD), makes a new cluster in build/postgres/data listening on a Unix
# socket in build/postgres/socket only, creates the test suite's and the demo's
# databases, runs CMD with QUORVEL_DATABASE=postgres and the socket's path in
# the environment, and stops the server however CMD or this script ends.
set -euo pipefail

die() { echo "tools/postgres.sh: $*" >&2; exit 1; }

[ $# -gt 0 ] || die "usage: tools/postgres.sh CMD [ARGS...]"
[ -n "${QUORVEL_IN_ENV:-}" ] || die "runs inside the project's environment: tools/env tools/postgres.sh ..."
[ "$(id -u)" = 0 ] || die "must run as root (it installs packages and runs the server as 'postgres')"

TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
BASE=$TOP/build/postgres
DATA=$BASE/data
SOCKET=$BASE/socket
VENV=$BASE/venv
SERVER_USER=postgres

server_bin() {
  local dir
  dir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n1)
  [ -n "$dir" ] && [ -x "$dir/initdb" ] && [ -x "$dir/pg_ctl" ] && echo "$dir"
}

install_server() {
  export DEBIAN_FRONTEND=noninteractive
  echo "tools/postgres.sh: installing Debian's PostgreSQL server (once)" >&2
  # The package lists of the environment may be older than the archive:
  # refresh them when the first try cannot find what it needs.
  timeout 600 apt-get install -y -qq --no-install-recommends postgresql >"$BASE/apt.log" 2>&1 \
    || { timeout 300 apt-get update -qq >>"$BASE/apt.log" 2>&1 || true
         timeout 600 apt-get install -y -qq --no-install-recommends postgresql >>"$BASE/apt.log" 2>&1; } \
    || die "installing postgresql failed; see $BASE/apt.log"
}

# The socket's path, with its file name, must fit in sockaddr_un (107 bytes).
[ ${#SOCKET} -le 90 ] || die "the checkout's path is too long for a Unix socket under $SOCKET"
mkdir -p "$BASE"
exec 8>"$BASE/.lock"
flock -n 8 || die "another run is using $BASE"
BIN=$(server_bin) || { install_server; BIN=$(server_bin) || die "no server binaries after installing"; }
id -u "$SERVER_USER" >/dev/null 2>&1 || die "the package made no '$SERVER_USER' user"

if ! "$VENV/bin/python3" -c 'import psycopg' >/dev/null 2>&1; then
  echo "tools/postgres.sh: installing psycopg into $VENV (once)" >&2
  rm -rf "$VENV"
  python3 -m venv --system-site-packages "$VENV"
  # The binary build (its own libpq, the C loaders most deployments run);
  # without a wheel for this interpreter, the pure-Python one on Debian's libpq5.
  pip=("$VENV/bin/python3" -m pip install -q --disable-pip-version-check --retries 1 --timeout 30)
  timeout 300 "${pip[@]}" 'psycopg[binary]' || timeout 300 "${pip[@]}" psycopg \
    || die "installing psycopg failed"
  "$VENV/bin/python3" -c 'import psycopg' || die "psycopg does not import (is libpq5 there?)"
fi

as_server() { runuser -u "$SERVER_USER" -- "$@"; }

stop_server() {
  if [ -f "$DATA/postmaster.pid" ]; then
    as_server "$BIN/pg_ctl" -D "$DATA" -m fast -w -t 60 stop >/dev/null 2>&1 \
      || as_server "$BIN/pg_ctl" -D "$DATA" -m immediate -w -t 30 stop >/dev/null 2>&1 || true
  fi
}

# A run killed before its trap could stop the server leaves it to this one.
stop_server
rm -rf "$DATA" "$SOCKET" "$BASE/log"
mkdir -p "$DATA" "$SOCKET" "$BASE/log"
chown "$SERVER_USER:" "$DATA" "$SOCKET" "$BASE/log"
chmod 700 "$DATA"

as_server "$BIN/initdb" -D "$DATA" -U postgres -A trust -E UTF8 --locale=C.UTF-8 \
  >"$BASE/initdb.log" 2>&1 || die "initdb failed; see $BASE/initdb.log"

trap stop_server EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

LOG=$BASE/log/server.log
# The server is used only by this run's tests: durability is not needed. It
# does not hold the lock, so that a server left by a killed run is stopped above.
as_server "$BIN/pg_ctl" -D "$DATA" -l "$LOG" -w -t 60 \
  -o "-c listen_addresses='' -c unix_socket_directories='$SOCKET' -c fsync=off \
      -c synchronous_commit=off -c full_page_writes=off" \
  start >/dev/null 8>&- || { cat "$LOG" >&2; die "the server did not start"; }

for db in quorvel_tests quorvel_demo; do
  "$BIN/createdb" -h "$SOCKET" -U postgres "$db"
done

status=0
env PATH="$VENV/bin:$PATH" QUORVEL_DATABASE=postgres QUORVEL_POSTGRES_HOST="$SOCKET" "$@" \
  || status=$?
exit $status
