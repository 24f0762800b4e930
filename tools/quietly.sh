# Sourced by the project's scripts: quietly LOG COMMAND... runs the command
# with all its output in the file LOG, and shows that output (on standard
# error) only when the command fails, whose status it then returns.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    . "$(dirname "$0")/usage.sh"
    echo "$0 is sourced by the project's scripts, not run (--help shows what it does)" >&2
    exit 2
fi
quietly() {
    local log="$1" status=0
    shift
    mkdir -p "$(dirname "$log")"
    "$@" >"$log" 2>&1 || status=$?
    if [ $status != 0 ]; then
        echo "failed: $* (its output follows; kept in $log)" >&2
        cat "$log" >&2
    fi
    return $status
}

# progress LOG PATTERN COMMAND... runs the command as quietly does, and shows,
# indented and as they come, the lines of its output that match the extended
# regular expression PATTERN, so that a long step says what it is doing and
# how far it has come.
progress() {
    local log="$1" pattern="$2" status=0 pid
    shift 2
    mkdir -p "$(dirname "$log")"
    : >"$log"
    "$@" >"$log" 2>&1 &
    pid=$!
    { tail -n +1 -f --pid="$pid" "$log" | grep --line-buffered -E "$pattern" | sed -u 's/^ */    /'; } || true
    wait "$pid" || status=$?
    if [ $status != 0 ]; then
        echo "failed: $* (its output follows; kept in $log)" >&2
        cat "$log" >&2
    fi
    return $status
}
