# Sourced by setup.sh and build.sh: runs a long job's stages with their whole output in a log, one
# line each on the terminal that says what the stage does and how long it took.
# The caller sets stage_prefix (the lines' first word) and stage_log.

stage() {  # stage WHAT COMMAND...: returns COMMAND's status
    local what=$1 started=$SECONDS status=0
    shift
    printf '%s: %s... ' "$stage_prefix" "$what"
    echo "$stage_prefix: $what" >>"$stage_log"
    "$@" </dev/null >>"$stage_log" 2>&1 || status=$?
    if [ $status -eq 0 ]; then
        echo "$((SECONDS - started)) s"
    else
        echo "failed after $((SECONDS - started)) s"
    fi
    return $status
}

stage_log_end() {  # stage_log_end WHOSE: the log's end, where a failed stage's reason is, and its path
    tail -n 25 "$stage_log" >&2
    echo "$stage_prefix: $1 whole output is in $stage_log" >&2
}
