# Sourced by the project's scripts: quietly LOG COMMAND... runs the command
# with all its output in the file LOG, and shows that output (on standard
# error) only when the command fails, whose status it then returns.
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
