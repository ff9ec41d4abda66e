#!/usr/bin/env bash
# CPU use of the real program while it polls one branch monitor: starts the
# simulator with one device, runs tarvo (offscreen) on it for DURATION seconds
# (default 60) and reads the program's CPU time from /proc.
# Usage: bench/poll_cpu.sh [DURATION]   (after scripts/build build)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
duration=${1:-60}
source "$top/bench/work_folder.sh"

"$top/build/tools/sim/tarvo-sim" --link "$work/bus" --device 1:branch:PNL1 >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do [[ -e "$work/bus" ]] && break; sleep 0.1; done
printf 'port %s\nscan 1\n' "$work/bus" >"$work/Tarvo.cfg"

cd "$work"
QT_QPA_PLATFORM=offscreen "$top/build/src/app/tarvo" >"$work/tarvo.log" 2>&1 &
app_pid=$!
sleep 3 # start-up and the one-address scan
ticks() { awk '{print $14 + $15}' "/proc/$app_pid/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks)
sleep "$duration"
after=$(ticks)
awk -v a="$after" -v b="$before" -v hz="$hz" -v d="$duration" 'BEGIN {
    cpu = (a - b) / hz
    printf "tarvo polling one branch monitor for %d s: %.2f s CPU, %.2f%% of one core (aim: under 2%%)\n", d, cpu, 100 * cpu / d
}'
