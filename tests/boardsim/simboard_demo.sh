#!/usr/bin/env bash
# Runs the simulated board's tour and checks that it passed and left nothing behind. With a
# second argument the tour records its FR-MCU link there, its output beside it (FILE.out).
set -u
simboard=$1
if [[ -n ${2:-} ]]; then
    rm -f "$2" "$2.out"
    output=$("$simboard" demo --capture "$2" 2>&1)
    status=$?
    printf '%s\n' "$output" >"$2.out"
else
    output=$("$simboard" demo 2>&1)
    status=$?
fi
printf '%s\n' "$output"
board=$(printf '%s\n' "$output" | sed -n 's/^simboard: a simulated gateway board (board directory \(.*\))$/\1/p')
if [[ $status -ne 0 ]]; then
    echo "simboard demo failed with status $status"
    exit 1
fi
if [[ -z $board || -e $board ]]; then
    echo "the board directory '$board' was left behind"
    exit 1
fi
if [[ $(printf '%s\n' "$output" | tail -n 1) != "simboard demo: "*" steps behaved as expected" ]]; then
    echo "no summary line"
    exit 1
fi
