# Sourced by the benchmarks that run the real server: a free loopback port and its INI file.

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'; }

# Writes DIR/orvanta.ini for the real server on PORT, web root DIR/web, followed by the extra
# lines given (more sections or settings).  The security gate stays on, its limits set high
# enough not to refuse the load.
write_ov_ini() {  # dir port [extra ini text]
  local dir=$1 port=$2 extra=${3:-}
  mkdir -p "$dir/web" "$dir/plugins" "$dir/scripts"
  cat > "$dir/orvanta.ini" <<INI
[server]
port=$port
address=127.0.0.1
[database]
file=$dir/orvanta.db
[logging]
log_file=$dir/orvanta.log
log_level=warn
[paths]
web_root=$dir/web
data_dir=$dir
plugin_dir=$dir/plugins
scripts_dir=$dir/scripts
[security]
rate_limit_per_minute=100000000
max_connections_per_ip=100000
$extra
INI
}
