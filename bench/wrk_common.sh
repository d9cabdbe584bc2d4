# Shared by the wrk benchmarks (sourced): arguments, wrk itself, free ports and wrk's figures.
#   bench/<name>.sh [build-dir] [seconds] [connections]
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
SECS="${2:-10}"
CONNS="${3:-64}"
THREADS="${WRK_THREADS:-4}"
SERVER="$BUILD/orvantaserver"

# Installs the Debian packages named when a command of theirs is missing.
need_packages() {
  local missing=""
  for p in "$@"; do command -v "$p" >/dev/null || missing="$missing $p"; done
  [ -z "$missing" ] && return 0
  local SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing >/dev/null
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'; }

# wrk's p99 line ("99%  1.23ms") in milliseconds.
p99_ms() {
  awk '$1=="99%" {v=$2; u=v; gsub(/[0-9.]/,"",u); gsub(/[a-z]/,"",v);
       if (u=="us") v/=1000; else if (u=="s") v*=1000; else if (u=="m") v*=60000; print v}'
}

# wrk's requests per second.
rps() { awk '/Requests\/sec/ {print $2}'; }
