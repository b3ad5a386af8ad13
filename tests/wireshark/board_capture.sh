#!/usr/bin/env bash
# The simulated board's tour as tshark decodes its capture (simboard demo --capture): the
# relay's drops and frames, the statistics and the time stamps must be what framerelayd, nodectl
# and the FR-MCU stand-in printed during the tour (its output is beside the capture).
set -u
lua=$1
capture=$2
output=$(cat "$capture.out") || exit 1
command -v tshark >/dev/null ||
    { echo "tshark not found: the dissector tests need the distribution's tshark (Debian: apt-get install tshark)"; exit 1; }

failed=0
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT

fields() {
    tshark -n -X lua_script:"$lua" -r "$capture" -T fields -E separator='|' "$@" 2>"$errors"
    # As root tshark warns that it runs as root; anything else (a fault of the script) goes
    # into the value and fails its check.
    grep -v 'Running as user' "$errors"
}

check() {
    if [[ $2 == "$3" ]]; then
        printf '[ok] %s: %s\n' "$1" "$3"
    else
        printf '[FAILED] %s: the programs said %s, the capture says %s\n' "$1" "$2" "$3"
        failed=1
    fi
}

# framerelayd: "FR count: F, drops: D".
counters=$(printf '%s\n' "$output" | sed -n 's/^FR count: \([0-9]*\), drops: \([0-9]*\)$/\1 \2/p')
check "frrelay.drops summed" "${counters#* }" \
    "$(fields -e frrelay.drops | tr ',' '\n' | awk '{ s += $1 } END { print s + 0 }')"
check "frames relayed (records that carry a frame)" "${counters% *}" \
    "$(fields -e frrelay.no_frame | tr ',' '\n' | grep -c '^0$')"

# nodectl's report: the six lines after its command line.
report=$(printf '%s\n' "$output" | awk '/^\$ nodectl -c statistics$/ { f = 1; next } f && n < 6 { print; n++ }')
mapfile -t lines <<<"$report"
read -r -a errs <<<"${lines[3]}"
read -r -a rest <<<"${lines[5]}"
said="${errs[*]} ${rest[*]}, MODE: ${lines[0]#MODE:  }, STATE: ${lines[1]#STATE: }"
decoded=$(fields -Y frctrl.stats.bytes -e frctrl.stats.overrun -e frctrl.stats.syntax \
    -e frctrl.stats.frame -e frctrl.stats.content -e frctrl.stats.boundary \
    -e frctrl.stats.fifo_level -e frctrl.stats.bytes -e frctrl.stats.frames \
    -e frctrl.stats.null_frames -e _ws.col.Info | head -n 1)
info=${decoded##*|}
check "statistics as nodectl reported them" "$said" "$(tr '|' ' ' <<<"${decoded%|*}"), ${info#*OK, }"

# The FR-MCU stand-in: "time stamp T from A: tv_sec S tv_nsec N force F".
check "time stamps as the FR-MCU received them" \
    "$(printf '%s\n' "$output" | sed -n 's/^time stamp .*: tv_sec \(.*\) tv_nsec \(.*\) force \(.*\)$/\1|\2|\3/p' | paste -sd ' ')" \
    "$(fields -Y frtime -e frtime.sec -e frtime.nsec -e frtime.force | paste -sd ' ')"

exit $failed
