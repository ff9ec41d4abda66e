# Sourced by the bench scripts: `work`, a temporary folder for the run, and
# the simulator and program they start (sim_pid, app_pid) stopped and the
# folder removed when the script ends, however it ends.
work=$(mktemp -d /tmp/tarvo-bench.XXXXXX)
sim_pid=""
app_pid=""
cleanup() {
    [[ -n "$app_pid" ]] && kill "$app_pid" 2>/dev/null || true
    [[ -n "$sim_pid" ]] && kill "$sim_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
