#!/usr/bin/env bash
# CPU and resident memory of `tarvo --headless` sampling 32 simulated devices
# every minute, scaled down: the logger's clock runs SCALE times faster
# (TARVO_TEST_CLOCK_SCALE, test-only) for PASSES passes, and the figures are
# given per pass and per day of 1440 passes. Its loop ticks every 1000/SCALE
# ms, i.e. 60 ticks per logged minute as at real speed, so CPU per logged
# minute is what a real minute costs.
# With SINK "db" the records also go through unixODBC into an SQLite table
# (libsqlite3odbc), with "pg" into a PostgreSQL table (psqlODBC, a server of
# its own on a Unix socket in the work folder; run as root, the server as
# postgres), over the connection the logger keeps from pass to pass. The RSS
# growth per day is what unixODBC and the driver keep per connection made.
# Usage: bench/headless_day.sh [PASSES] [SCALE] [file|db|pg]   (after scripts/build build)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
passes=${1:-144}
scale=${2:-30}
sink=${3:-file}
source "$top/bench/work_folder.sh"

kinds=(branch branch100a circuit8 circuit6)
for a in $(seq 1 32); do
    printf '%d %s P%03d\n' "$a" "${kinds[$(((a - 1) % 4))]}" "$a"
done >"$work/bus.txt"
"$top/build/tools/sim/tarvo-sim" --link "$work/bus" --bus "$work/bus.txt" --live >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do [[ -e "$work/bus" ]] && break; sleep 0.1; done
printf 'port %s\nscan 32\ninterval 1\nsave_file %s\n' "$work/bus" "$work/log.csv" >"$work/Tarvo.cfg"
if [[ $sink == db ]]; then
    printf '[SQLite3]\nDriver=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so\n' >"$work/odbcinst.ini"
    printf '[bench]\nDriver=SQLite3\nDatabase=%s\n' "$work/log.db" >"$work/odbc.ini"
    python3 -c "import sqlite3, sys; c = sqlite3.connect(sys.argv[1]); c.execute('CREATE TABLE log (meter integer, location varchar(32), date_time timestamp, amps1 real)'); c.commit()" "$work/log.db"
    printf 'location Bench\ndsn bench\ntable log\nlink 0 4 meter\nlink 1 12 location\nlink 2 11 date_time\nlink 3 7 amps1\n' >>"$work/Tarvo.cfg"
    export ODBCSYSINI=$work ODBCINI=$work/odbc.ini
elif [[ $sink == pg ]]; then
    pgbin=$(ls -d /usr/lib/postgresql/*/bin | tail -1)
    as_pg=(setpriv --reuid=postgres --regid=postgres --clear-groups)
    chown postgres: "$work"
    "${as_pg[@]}" "$pgbin/initdb" -D "$work/pg" -U postgres --auth=trust --no-sync -E UTF8 --locale=C >"$work/initdb.log"
    "${as_pg[@]}" "$pgbin/postgres" -D "$work/pg" -k "$work" -p 5432 -c listen_addresses= -c fsync=off >"$work/pg.log" 2>&1 &
    pg_pid=$!
    trap 'kill -INT "$pg_pid" 2>/dev/null; wait "$pg_pid" 2>/dev/null; cleanup' EXIT
    for _ in $(seq 100); do grep -qs '^ready' "$work/pg/postmaster.pid" && break; sleep 0.1; done
    psql -qh "$work" -U postgres -c 'CREATE TABLE log (meter integer, location varchar(32), date_time timestamp, amps1 real)'
    printf '[PostgreSQL]\nDriver=/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so\n' >"$work/odbcinst.ini"
    printf '[bench]\nDriver=PostgreSQL\nServername=%s\nPort=5432\nDatabase=postgres\n' "$work" >"$work/odbc.ini"
    printf 'location Bench\ndsn bench\nuser postgres\ntable log\nlink 0 4 meter\nlink 1 12 location\nlink 2 11 date_time\nlink 3 7 amps1\n' >>"$work/Tarvo.cfg"
    export ODBCSYSINI=$work ODBCINI=$work/odbc.ini
fi

cd "$work"
TARVO_TEST_CLOCK_SCALE=$scale "$top/build/src/app/tarvo" --headless >"$work/tarvo.log" 2>&1 &
app_pid=$!
rows() { [[ -e "$work/log.csv" ]] && wc -l <"$work/log.csv" || echo 0; }
wait_rows() { while (($(rows) < $1)); do sleep 0.05; done; }
ticks() { awk '{print $14 + $15}' "/proc/$app_pid/stat"; }
rss() { awk '/^VmRSS/ {print $2}' "/proc/$app_pid/status"; }
hz=$(getconf CLK_TCK)

wait_rows $((2 * 32)) # the scan and two passes: buffers and the file are warm
cpu0=$(ticks) rss0=$(rss) t0=$(date +%s.%N)
wait_rows $((passes * 32))
cpu1=$(ticks) rss1=$(rss) t1=$(date +%s.%N)
kill -TERM "$app_pid"
wait "$app_pid" || true
app_pid=""
awk -v c0="$cpu0" -v c1="$cpu1" -v r0="$rss0" -v r1="$rss1" -v hz="$hz" -v n="$((passes - 2))" \
    -v t0="$t0" -v t1="$t1" 'BEGIN {
    cpu = (c1 - c0) / hz
    perMinute = cpu / n
    printf "tarvo --headless ('"$sink"'), 32 devices, %d passes at 1/min (clock x%d, %.0f s real)\n", n, '"$scale"', t1 - t0
    printf "CPU: %.1f ms per logged minute = %.4f%% of one core on average (aim: under 0.1%%); %.1f s per day\n",
        1000 * perMinute, 100 * perMinute / 60, 1440 * perMinute
    printf "RSS: %d kB after 2 passes, %d kB after %d; growth %.1f kB per day\n",
        r0, r1, n + 2, (r1 - r0) * 1440 / n
}'
