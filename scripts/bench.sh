#!/usr/bin/env bash
# The benchmark (not a test): builds the program, the stand-in and the bench
# programs, then measures against the modem stand-in and prints one table.
#   (a) data phase: the program writing a package of the shipped nine-unit
#       layout at its real sizes (20,480,349 bytes), beside bench_pump (a
#       minimal stop-and-wait writer of the same frames) against the same
#       stand-in in download mode and against bench_responder (a pseudo-
#       terminal that acknowledges every frame: the link's ceiling);
#   (b) CPU time of a complete run at real time (scale 1);
#   (c) extraction and unit check of the program file beside cp of it;
#   (d) peak resident set of complete runs with the 20 MB and a 200 MB package;
#   (e) many modems: --all over racks of 1, 2, 4 and 8 modems (the 20 MB
#       package each) against one modem's plain update, at the time scale
#       BENCH_RACK_SCALE (default 0.5), with the --all process's own CPU time.
#       BENCH_RACK_ONLY=1 runs (e) alone and prints its rows.
# BENCH_SCALE (default 0.05) shortens the pauses of the runs of (a) and of
# the 200 MB run; BENCH_ROUNDS (default 7) rounds of (a): the best time of each side
# counts, and the median of the ratios of the program and the pump run of the
# same round (one after the other, so under the same load).
# BENCH_TRACE=1 also runs the program of (a) with --trace in every round
# (before the run without it in odd rounds, after it in even ones), and
# prints both ratios with the spread of the rounds and the median of traced
# over plain time per round; BENCH_DATA_ONLY=1 stops after (a) with its
# figures on one line.
# Exits 0 whatever the figures; 1 only when a run itself fails.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
scale=${BENCH_SCALE:-0.05}
rounds=${BENCH_ROUNDS:-7}
bin=$top/build/bin

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFP_BENCH=ON >/dev/null
cmake --build build -j2 --target flashpilot fwpack modemsim bench_pump bench_responder \
    bench_startup bench_measure >/dev/null

work=$(mktemp -d /tmp/flashpilot-bench.XXXXXX)
sim=
responder=
ok=no
cleanup() {
    [ -n "$sim" ] && kill -TERM "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
    [ -n "$responder" ] && kill -TERM "$responder" 2>/dev/null && wait "$responder" 2>/dev/null
    if [ "$ok" = yes ]; then rm -rf "$work"; else echo "bench.sh: the runs are kept in $work" >&2; fi
}
trap cleanup EXIT
# A guard port of its own, so that a test run of another build is not refused.
guard=$((20000 + $$ % 20000))

fail() {
    echo "bench.sh: $*" >&2
    exit 1
}

# make_package DIR FACTOR: the shipped layout with every unit FACTOR times
# its real size, as DIR/package.bin and the program file DIR/run/flashpilot.
make_package() {
    local dir=$1 factor=$2 args=() type size
    mkdir -p "$dir/units" "$dir/run"
    for unit in 0x00010000:464 0x00110000:30108 0x00120000:212120 0x00130000:162016 \
        0x00080000:1815576 0x00170000:646488 0x00180000:17522104 0x00090000:0 \
        0x00510000:91473; do
        IFS=: read -r type size <<<"$unit"
        head -c $((size * factor)) /dev/urandom >"$dir/units/$type.bin"
        args+=("$type:$dir/units/$type.bin")
    done
    "$bin/fwpack" build -o "$dir/package.bin" --identity V001:QM90W:11.810.09.17.00 \
        "${args[@]}" >/dev/null
    "$bin/fwpack" attach -o "$dir/run/flashpilot" "$bin/flashpilot" "$dir/package.bin"
}

# start_sim NAME ARG...: a fresh stand-in under $work/NAME; waits for "ready".
start_sim() {
    local name=$1
    shift
    rm -rf "${work:?}/$name"
    mkdir -p "$work/$name/root" "$work/$name/flash"
    mkfifo "$work/$name/out"
    "$bin/modemsim" --root "$work/$name/root" --flash-dir "$work/$name/flash" "$@" \
        >"$work/$name/out" 2>"$work/$name/sim.err" &
    sim=$!
    local line
    exec 3<"$work/$name/out"
    read -r line <&3 || true
    exec 3<&-
    [ "$line" = ready ] || fail "modemsim did not start: $(cat "$work/$name/sim.err")"
}

stop_sim() {
    kill -TERM "$sim" && wait "$sim" || fail "modemsim failed: $(cat "$work/$1/sim.err")"
    sim=
    ! grep -q violation "$work/$1/sim.err" || fail "protocol violation: $(cat "$work/$1/sim.err")"
}

# run_program PKGDIR NAME SCALE [OPTION...]: a complete update of the program
# file in PKGDIR against the stand-in NAME, measured into $work/NAME/measure.
run_program() {
    local pkgdir=$1 name=$2 runscale=$3
    local options=("${@:4}")
    (cd "$pkgdir/run" && FLASHPILOT_ROOT="$work/$name/root" FLASHPILOT_TIME_SCALE="$runscale" \
        FLASHPILOT_GUARD_PORT=$guard "$bin/bench_measure" "$work/$name/measure" ./flashpilot \
        "${options[@]}" >"$work/$name/program.out" 2>&1) ||
        fail "the program run $name could not be measured"
    local result
    result=$(tr -d '\0' <"$pkgdir/run/FlashPilot-Result")
    [ "$result" = TRUE ] || fail "the program run $name ended with '$result'"
}

# check_flash PKGDIR NAME [PORT]: what the stand-in flashed equals the units
# (a rack's modem at port path PORT: in its own folder).
check_flash() {
    local type flash=$work/$2/flash${3:+/$3}
    for unit in "$1"/units/*.bin; do
        type=$(basename "$unit" .bin)
        cmp -s "$unit" "$flash/$(printf '%08X' "$type").bin" ||
            fail "run $2 flashed unit $type wrongly${3:+ on $3}"
    done
}

# The data phase from a stand-in trace: per unit, from its first data block
# (0x42) received to the acknowledgement of its last block, summed; the data
# bytes are taken from the length field of each block. Prints "bytes seconds".
phase_from_trace() {
    awk '
        function hex(text,    i, v) {
            v = 0
            for (i = 1; i <= length(text); i++)
                v = v * 16 + index("0123456789ABCDEF", substr(text, i, 1)) - 1
            return v
        }
        $2 == "download" && $4 == "rx" && $6 == "42" {
            if (!run) { run = 1; start = $1 }
            bytes += hex($11 $12); next
        }
        $2 == "download" && $4 == "tx" && $6 == "02" && run { last = $1; next }
        $2 == "download" && $4 == "rx" && run { total += last - start; run = 0 }
        END { if (run) total += last - start; printf "%d %.6f\n", bytes, total }
    ' "$1"
}

best() { sort -g | head -1; }
median() {
    sort -g | awk '{ r[NR] = $1 } END { print NR % 2 ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2 }'
}
# ratios PUMP PROGRAM: pump over program time of each round, one per line.
ratios() { paste -d' ' "$1" "$2" | awk '{ print $1 / $2 }'; }
spread() { sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.2f-%.2f", lo, hi }'; }

# program_round NAME FILE [OPTION...]: a complete run of the 20 MB package
# against a fresh stand-in NAME; its data phase in seconds is added to FILE.
program_round() {
    local name=$1 file=$2 bytes seconds
    start_sim "$name" --scale "$scale" --trace "$work/$name/trace" --trace-bytes 16
    run_program "$work/p20" "$name" "$scale" "${@:3}"
    stop_sim "$name"
    check_flash "$work/p20" "$name"
    read -r bytes seconds < <(phase_from_trace "$work/$name/trace")
    [ "$bytes" = 20480349 ] || fail "the program sent $bytes data bytes"
    echo "$seconds" >>"$file"
    awk '{ print $4 }' "$work/$name/measure" >>"$work/hwm20"
}
mbps() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", (s > 0 ? b / s / 1e6 : 0) }'; }

# rack_run N: --all over a rack of N modems at port paths 1-1 ... 1-N,
# measured into $work/eN/measure.
rack_run() {
    local n=$1 name=e$1 rack=() k
    for ((k = 2; k <= n; k++)); do rack+=(--modem "1-$k"); done
    start_sim "$name" --scale "$rack_scale" "${rack[@]}"
    run_program "$work/p20" "$name" "$rack_scale" --all
    stop_sim "$name"
    for ((k = 1; k <= n; k++)); do
        check_flash "$work/p20" "$name" "$([ "$n" -gt 1 ] && echo "1-$k")"
    done
}

echo "building the packages in $work ..." >&2
make_package "$work/p20" 1
[ "${BENCH_RACK_ONLY:-0}" = 1 ] || make_package "$work/p200" 10

# ---------------------------------------------------------------- (e)
rack_scale=${BENCH_RACK_SCALE:-0.5}
# rack_bench: one modem's plain update, then --all over 1, 2, 4 and 8
# modems; sets e_rows, the rows of (e).
rack_bench() {
    local n wall own_user own_system e_single target
    echo "(e) one modem's update, then --all over 1, 2, 4 and 8 modems at scale $rack_scale ..." >&2
    start_sim e0 --scale "$rack_scale"
    run_program "$work/p20" e0 "$rack_scale"
    stop_sim e0
    check_flash "$work/p20" e0
    read -r e_single _ <"$work/e0/measure"
    e_rows=$(printf '| (e) one modem, plain update (scale %s) | %.1f s | |' "$rack_scale" "$e_single")
    for n in 1 2 4 8; do
        rack_run "$n"
        read -r wall _ _ _ _ own_user own_system <"$work/e$n/measure"
        target=$([ "$n" = 8 ] && echo '<= 1.3' || true)
        e_rows+=$(printf '\n| (e) --all, %d modem%s | %.1f s = %.2f x one; --all process %.2f s CPU | %s |' \
            "$n" "$([ "$n" = 1 ] || echo s)" "$wall" \
            "$(awk -v a="$wall" -v b="$e_single" 'BEGIN { print a / b }')" \
            "$(awk -v u="$own_user" -v s="$own_system" 'BEGIN { print u + s }')" "$target")
    done
}
e_rows=
if [ "${BENCH_DATA_ONLY:-0}" != 1 ]; then rack_bench; fi
if [ "${BENCH_RACK_ONLY:-0}" = 1 ]; then
    printf '| figure | value | target |\n|---|---|---|\n%s\n' "$e_rows"
    ok=yes
    exit 0
fi

# ---------------------------------------------------------------- (a)
mkfifo "$work/responder.out"
"$bin/bench_responder" >"$work/responder.out" &
responder=$!
exec 4<"$work/responder.out"
read -r responder_port <&4 || fail "bench_responder did not start"
exec 4<&-

: >"$work/a.program" >"$work/a.traced" >"$work/a.pump" >"$work/a.ceiling"
for round in $(seq "$rounds"); do
    echo "(a) round $round of $rounds ..." >&2
    traced=$([ "${BENCH_TRACE:-0}" = 1 ] && echo $((round % 2 ? 1 : 2)) || echo 0)
    [ "$traced" = 1 ] && program_round "t$round" "$work/a.traced" --trace "$work/t$round.trace"
    program_round "a$round" "$work/a.program"
    [ "$traced" = 2 ] && program_round "t$round" "$work/a.traced" --trace "$work/t$round.trace"

    start_sim "q$round" --scale "$scale" --start-in-download --trace "$work/q$round/trace" \
        --trace-bytes 16
    "$bin/bench_pump" "$work/q$round/root/dev/ttyUSB0" "$work/p20/package.bin" >/dev/null ||
        fail "bench_pump against the stand-in failed"
    stop_sim "q$round"
    check_flash "$work/p20" "q$round"
    read -r bytes seconds < <(phase_from_trace "$work/q$round/trace")
    [ "$bytes" = 20480349 ] || fail "bench_pump sent $bytes data bytes"
    echo "$seconds" >>"$work/a.pump"

    read -r bytes blocks seconds < <("$bin/bench_pump" "$responder_port" "$work/p20/package.bin") ||
        fail "bench_pump against bench_responder failed"
    echo "$seconds" >>"$work/a.ceiling"
done
kill -TERM "$responder" && wait "$responder" 2>/dev/null || true
responder=
ratio_median=$(ratios "$work/a.pump" "$work/a.program" | median)
program_s=$(best <"$work/a.program")
pump_s=$(best <"$work/a.pump")
ceiling_s=$(best <"$work/a.ceiling")
if [ "${BENCH_TRACE:-0}" = 1 ]; then
    printf '(a) %d rounds: program/pump median %.2f (rounds %s) without the trace, %.2f (rounds %s)' \
        "$rounds" "$ratio_median" "$(ratios "$work/a.pump" "$work/a.program" | spread)" \
        "$(ratios "$work/a.pump" "$work/a.traced" | median)" \
        "$(ratios "$work/a.pump" "$work/a.traced" | spread)"
    printf ' with it; traced/plain time per round: median %.2f (rounds %s)\n' \
        "$(ratios "$work/a.traced" "$work/a.program" | median)" \
        "$(ratios "$work/a.traced" "$work/a.program" | spread)"
fi
if [ "${BENCH_DATA_ONLY:-0}" = 1 ]; then
    echo "(a) program ${program_s} s, pump ${pump_s} s, median ratio ${ratio_median}" \
        "(rounds: $rounds)"
    ok=yes
    exit 0
fi

# ---------------------------------------------------------------- (b)
echo "(b) a complete run at real time (two minutes) ..." >&2
start_sim b --scale 1
run_program "$work/p20" b 1
stop_sim b
read -r b_wall b_user b_sys b_hwm b_status _ _ <"$work/b/measure"

# ---------------------------------------------------------------- (c)
echo "(c) extraction and unit check ..." >&2
mkdir -p "$work/c"
cp "$work/p20/run/flashpilot" "$work/c/flashpilot"
: >"$work/c.cp" >"$work/c.startup" >"$work/c.extraction" >"$work/c.check"
for i in 1 2 3 4 5; do
    "$bin/bench_measure" "$work/c/m" cp "$work/c/flashpilot" "$work/c/copy"
    awk '{ print $1 }' "$work/c/m" >>"$work/c.cp"
    "$bin/bench_measure" "$work/c/m" "$bin/bench_startup" "$work/c/flashpilot" >"$work/c/split"
    read -r wall _ _ _ status _ _ <"$work/c/m"
    [ "$status" = 0 ] || fail "bench_startup failed"
    echo "$wall" >>"$work/c.startup"
    read -r extraction check <"$work/c/split"
    echo "$extraction" >>"$work/c.extraction"
    echo "$check" >>"$work/c.check"
done
cp_s=$(best <"$work/c.cp")
startup_s=$(best <"$work/c.startup")
extraction_s=$(best <"$work/c.extraction")
check_s=$(best <"$work/c.check")

# ---------------------------------------------------------------- (d)
echo "(d) a complete run with the 200 MB package at scale $scale ..." >&2
start_sim d --scale "$scale"
run_program "$work/p200" d "$scale"
stop_sim d
check_flash "$work/p200" d
read -r _ _ _ d_hwm _ <"$work/d/measure"
echo "$b_hwm" >>"$work/hwm20"
hwm20=$(sort -g "$work/hwm20" | tail -1)

# ---------------------------------------------------------------- table
program_mbps=$(mbps 20480349 "$program_s")
pump_mbps=$(mbps 20480349 "$pump_s")
ceiling_mbps=$(mbps 20480349 "$ceiling_s")
awk -v p="$program_s" -v q="$pump_s" -v c="$ceiling_s" \
    -v pm="$program_mbps" -v qm="$pump_mbps" -v cm="$ceiling_mbps" \
    -v bw="$b_wall" -v bu="$b_user" -v bs="$b_sys" \
    -v cps="$cp_s" -v st="$startup_s" -v ex="$extraction_s" -v ck="$check_s" -v h20="$hwm20" -v h200="$d_hwm" \
    -v rm="$ratio_median" -v rounds="$rounds" -v scale="$scale" -v cores="$(nproc)" 'BEGIN {
    printf "FlashPilot benchmark: %d cores, (a) best of %d rounds at scale %s\n\n", cores, rounds, scale
    printf "| figure | value | target |\n|---|---|---|\n"
    printf "| (a) data phase, program against the stand-in | %.1f MB/s (%.3f s) | |\n", pm, p
    printf "| (a) data phase, bench_pump against the stand-in | %.1f MB/s (%.3f s) | |\n", qm, q
    printf "| (a) data phase, bench_pump against bench_responder | %.1f MB/s (%.3f s) | |\n", cm, c
    printf "| (a) program / pump, best times | %.2f | >= 0.90 |\n", q / p
    printf "| (a) program / pump, median of the rounds | %.2f | >= 0.90 |\n", rm
    printf "| (b) CPU of a complete run at scale 1 | %.2f s user + %.2f s system in %.1f s = %.2f %% | <= 1 %% |\n", bu, bs, bw, 100 * (bu + bs) / bw
    printf "| (c) extraction + unit check / cp, best of 5 | %.1f ms / %.1f ms = %.2f | <= 3 |\n", 1000 * st, 1000 * cps, st / cps
    printf "| (c) of which extraction, unit check (in-process, best of 5) | %.1f ms, %.1f ms | |\n", 1000 * ex, 1000 * ck
    printf "| (d) peak resident set, 20 MB package | %.2f MiB | <= 8 MiB |\n", h20 / 1024
    printf "| (d) peak resident set, 200 MB package (scale %s) | %.2f MiB | <= 8 MiB, within 1 MiB of 20 MB |\n", scale, h200 / 1024
}'
echo "$e_rows"
echo
echo "(a) seconds per round: program $(paste -sd' ' "$work/a.program"); pump $(paste -sd' ' \
    "$work/a.pump"); pump against bench_responder $(paste -sd' ' "$work/a.ceiling")"
ok=yes
