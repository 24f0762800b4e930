# Sourced first by each of the project's scripts, with the script's own
# arguments: -h or --help as the first of them prints the script's usage (the
# comment at its top) and ends it there, having done nothing else.
# refuse_option ARG stops a script at an option it does not know, with one
# line that says so. Run by itself, this file prints this comment.
usage_of() {
    sed -n '1{/^#!/d};/^#/!q;s/^# \{0,1\}//p' "$1"
}

refuse_option() {
    echo "$(basename "${BASH_SOURCE[1]}"): unknown option $1 (--help shows the usage)" >&2
    exit 2
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    usage_of "$0"
    exit 0
fi
case "${1:-}" in
    -h | --help)
        usage_of "${BASH_SOURCE[1]}"
        exit 0
        ;;
esac
