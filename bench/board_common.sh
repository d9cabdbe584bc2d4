# Sourced by the benchmarks that run the real server on a grown board (growth.sh, contention.sh),
# after wrk_common.sh and with BACKEND set (sqlite, postgresql or mariadb; board_backend reads
# it from the command line): the throw-away database servers, the database's own client, and
# boards built while the server is stopped with the database's own bulk statements.

# The backend a command-line word names (sqlite3 too), or nothing and failure.
board_backend() {  # word
  case "$1" in
    sqlite | sqlite3) echo sqlite ;;
    postgresql | mariadb) echo "$1" ;;
    *) return 1 ;;
  esac
}

# start_bench, and the database servers (start_board_db) go too, whatever ends the run.
start_board_bench() {  # name
  start_bench "$1"
  BOARD_BENCH=$1
  DB_STATE=""
  trap board_cleanup EXIT
  trap 'exit 130' INT TERM
}
board_cleanup() {
  bench_cleanup
  [ -z "$DB_STATE" ] || "$ROOT/scripts/test-db-servers" stop "$DB_STATE" >/dev/null 2>&1 || true
}

# On PostgreSQL and MariaDB: throw-away servers from scripts/test-db-servers (the arguments
# given go to its start: --memory=SIZE for a cache other than the tests' small one), and their
# clients set up to reach them: psql through the PG* variables, mariadb through the option file
# BOARD_MY_CNF.  Nothing on SQLite.
start_board_db() {  # [test-db-servers start options...]
  [ "$BACKEND" != sqlite ] || return 0
  DB_STATE="$(mktemp -d "/tmp/ov-bench-$BOARD_BENCH-db-XXXXXX")"
  "$ROOT/scripts/test-db-servers" start "$DB_STATE" "$@" > "$WORK/db.env"
  # shellcheck disable=SC1091
  . "$WORK/db.env"
  export PGHOST="$OV_TEST_PG_HOST" PGPORT="$OV_TEST_PG_PORT" PGUSER="$OV_TEST_PG_USER"
  export PGPASSWORD="$OV_TEST_PG_PASSWORD" PGDATABASE="$OV_TEST_PG_DB"
  export BOARD_MY_CNF="$WORK/my.cnf"
  printf '[client]\nhost=%s\nport=%s\nuser=%s\npassword=%s\n' "$OV_TEST_MYSQL_HOST" "$OV_TEST_MYSQL_PORT" \
    "$OV_TEST_MYSQL_USER" "$OV_TEST_MYSQL_PASSWORD" > "$BOARD_MY_CNF"
  chmod 0600 "$BOARD_MY_CNF"
}

# Runs the SQL on stdin on a board's database (a file name on SQLite, a database name
# otherwise); the first error ends it.
db_sql() {  # db
  case "$BACKEND" in
    sqlite) sqlite3 -bail "$1" ;;
    postgresql) psql -X -q -v ON_ERROR_STOP=1 -d "$1" ;;
    mariadb) mariadb --defaults-file="$BOARD_MY_CNF" "$1" ;;
  esac
}

# ---- the boards ---------------------------------------------------------------------------------

# The board in DIR: its SQLite file, or its database's name.
board_db() {  # dir
  if [ "$BACKEND" = sqlite ]; then echo "$1/orvanta.db"; else echo "board_$(basename "$1")"; fi
}

# Fills DIR's stopped board: LOGS system_logs rows, their times spread evenly over the last 60
# days, and USERS more users.  Every database gets the same rows: levels, sources, categories
# and messages follow the row's number alike.
fill_board() {  # dir logs users
  local n=$2 u=$3
  case "$BACKEND" in
    sqlite) db_sql "$(board_db "$1")" <<SQL ;;
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $n)
INSERT INTO system_logs (timestamp, level, source, category, message, details)
SELECT datetime('now', '-' || ((($n - i) * 5184000) / $n) || ' seconds'),
       CASE WHEN i % 20 = 0 THEN 'error' WHEN i % 20 = 1 THEN 'debug' WHEN i % 10 = 2 THEN 'warning' ELSE 'info' END,
       CASE i % 5 WHEN 0 THEN 'http' WHEN 1 THEN 'ws' WHEN 2 THEN 'scheduler' WHEN 3 THEN 'plugin' ELSE 'system' END,
       CASE i % 4 WHEN 0 THEN 'request' WHEN 1 THEN 'auth' WHEN 2 THEN 'task' ELSE 'general' END,
       '[http] GET /api/v1/users/' || (i % 1000) || ' answered 200 for node' || (i % 97) || ' from 10.0.' ||
         (i % 250) || '.' || (i % 7) || ' in ' || (i % 300) || ' ms',
       ''
FROM n;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $u)
INSERT INTO users (guid, username, password_hash, password_salt, email, real_name, location, security_level)
SELECT printf('%08x-0000-4000-8000-%012x', i, i), printf('caller%06d', i), 'x', 'x',
       printf('caller%06d@example.org', i), printf('Caller %d', i), 'Somewhere', 20
FROM n;
COMMIT;
SQL
    # VACUUM ANALYZE sets the visibility map too, which index-only scans rely on.
    postgresql) db_sql "$(board_db "$1")" <<SQL ;;
BEGIN;
INSERT INTO system_logs (timestamp, level, source, category, message, details)
SELECT date_trunc('second', now() AT TIME ZONE 'UTC') - make_interval(secs => (($n - i) * 5184000) / $n),
       CASE WHEN i % 20 = 0 THEN 'error' WHEN i % 20 = 1 THEN 'debug' WHEN i % 10 = 2 THEN 'warning' ELSE 'info' END,
       CASE i % 5 WHEN 0 THEN 'http' WHEN 1 THEN 'ws' WHEN 2 THEN 'scheduler' WHEN 3 THEN 'plugin' ELSE 'system' END,
       CASE i % 4 WHEN 0 THEN 'request' WHEN 1 THEN 'auth' WHEN 2 THEN 'task' ELSE 'general' END,
       '[http] GET /api/v1/users/' || (i % 1000) || ' answered 200 for node' || (i % 97) || ' from 10.0.' ||
         (i % 250) || '.' || (i % 7) || ' in ' || (i % 300) || ' ms',
       ''
FROM generate_series(1::bigint, $n) AS i;
INSERT INTO users (guid, username, password_hash, password_salt, email, real_name, location, security_level)
SELECT lpad(to_hex(i), 8, '0') || '-0000-4000-8000-' || lpad(to_hex(i), 12, '0'), 'caller' || lpad(i::text, 6, '0'),
       'x', 'x', 'caller' || lpad(i::text, 6, '0') || '@example.org', 'Caller ' || i, 'Somewhere', 20
FROM generate_series(1::bigint, $u) AS i;
COMMIT;
VACUUM ANALYZE system_logs;
VACUUM ANALYZE users;
SQL
    # The sequence engine's seq_1_to_<n> tables count without a recursive query.
    mariadb) db_sql "$(board_db "$1")" <<SQL ;;
BEGIN;
INSERT INTO system_logs (timestamp, level, source, category, message, details)
SELECT UTC_TIMESTAMP() - INTERVAL ((($n - seq) * 5184000) DIV $n) SECOND,
       CASE WHEN seq % 20 = 0 THEN 'error' WHEN seq % 20 = 1 THEN 'debug' WHEN seq % 10 = 2 THEN 'warning' ELSE 'info' END,
       CASE seq % 5 WHEN 0 THEN 'http' WHEN 1 THEN 'ws' WHEN 2 THEN 'scheduler' WHEN 3 THEN 'plugin' ELSE 'system' END,
       CASE seq % 4 WHEN 0 THEN 'request' WHEN 1 THEN 'auth' WHEN 2 THEN 'task' ELSE 'general' END,
       CONCAT('[http] GET /api/v1/users/', seq % 1000, ' answered 200 for node', seq % 97, ' from 10.0.',
              seq % 250, '.', seq % 7, ' in ', seq % 300, ' ms'),
       ''
FROM seq_1_to_$n;
INSERT INTO users (guid, username, password_hash, password_salt, email, real_name, location, security_level)
SELECT CONCAT(LOWER(LPAD(HEX(seq), 8, '0')), '-0000-4000-8000-', LOWER(LPAD(HEX(seq), 12, '0'))),
       CONCAT('caller', LPAD(seq, 6, '0')), 'x', 'x', CONCAT('caller', LPAD(seq, 6, '0'), '@example.org'),
       CONCAT('Caller ', seq), 'Somewhere', 20
FROM seq_1_to_$u;
COMMIT;
ANALYZE TABLE system_logs, users;
SQL
  esac
}

# Makes a board in DIR with the first administrator (sysop / secret1) and fills it; the server
# is stopped again afterwards.  On PostgreSQL and MariaDB the board is a new database of its
# own, its schema made by the server's first start.
make_board() {  # dir logs users
  local port db t0
  t0=$SECONDS
  port="$(free_port)"
  db="$(board_db "$1")"
  write_ov_ini "$1" "$port" "[websocket]
enabled=0"
  case "$BACKEND" in
    postgresql)
      echo "CREATE DATABASE $db" | db_sql "$OV_TEST_PG_DB"
      sed -i "/^\[database\]/a type=postgresql\nhost=$PGHOST\nport=$PGPORT\nname=$db\nusername=$PGUSER\npassword=$PGPASSWORD" \
        "$1/orvanta.ini" ;;
    mariadb)
      echo "CREATE DATABASE $db CHARACTER SET utf8mb4" | db_sql "$OV_TEST_MYSQL_DB"
      sed -i "/^\[database\]/a type=mariadb\nhost=$OV_TEST_MYSQL_HOST\nport=$OV_TEST_MYSQL_PORT\nname=$db\nusername=$OV_TEST_MYSQL_USER\npassword=$OV_TEST_MYSQL_PASSWORD" \
        "$1/orvanta.ini" ;;
  esac
  start_ov "$1" "$port" /health
  setup_token "http://127.0.0.1:$port/api/v1" >/dev/null
  stop_ov
  fill_board "$@" >/dev/null
  echo "  $(basename "$1") board ($2 log lines, $3 more users) built in $((SECONDS - t0)) s"
}

# Stops the server start_ov started last.
stop_ov() {
  local pid=${BENCH_PIDS[-1]}
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  unset 'BENCH_PIDS[-1]'
}

# Starts the server on the board in DIR (its INI file names its port).
run_board() {  # dir
  PORT="$(sed -n 's/^port=//p' "$1/orvanta.ini" | head -1)"
  start_ov "$1" "$PORT" /health
  BASE="http://127.0.0.1:$PORT/api/v1"
}
