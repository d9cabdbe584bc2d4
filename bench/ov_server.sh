# Sourced by the benchmarks that run the real server.
#   ov_bench_ini <work> <port> [more INI lines]
# writes <work>/ov/orvanta.ini: the server on 127.0.0.1:<port>, its database, log, data, plug-in
# and scripts directories under <work>/ov, the web root <work>/web, the security gate on with a
# limit high enough not to refuse the load, and no WebSocket hub.
ov_bench_ini() {
  local work=$1 port=$2 more=${3:-}
  mkdir -p "$work/ov"
  cat > "$work/ov/orvanta.ini" <<EOF
[server]
port=$port
address=127.0.0.1
[database]
file=$work/ov/orvanta.db
[logging]
log_file=$work/ov/orvanta.log
[paths]
web_root=$work/web
data_dir=$work/ov
plugin_dir=$work/ov/plugins
scripts_dir=$work/ov/scripts
[security]
rate_limit_per_minute=100000000
[websocket]
enabled=0
EOF
  if [ -n "$more" ]; then printf '%s\n' "$more" >> "$work/ov/orvanta.ini"; fi
}
