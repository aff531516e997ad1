#!/usr/bin/env bash
# expect_run.sh STATUS OUTPUT COMMAND...: runs COMMAND and fails unless it
# ends with STATUS and prints exactly OUTPUT (line ends taken as Unix ones,
# since Wine's console writes CRLF).
set -uo pipefail
want_status=$1
want_output=$2
shift 2
output=$("$@" | tr -d '\r'; exit "${PIPESTATUS[0]}")
status=$?
fail=0
if [[ $status != "$want_status" ]]; then
    printf 'exit status %s, expected %s\n' "$status" "$want_status"
    fail=1
fi
if [[ $output != "$want_output" ]]; then
    printf 'output:\n%s\nexpected:\n%s\n' "$output" "$want_output"
    fail=1
fi
exit $fail
