#!/usr/bin/env bash
# A complete firmware update against the modem stand-in: builds the project,
# packages a sample firmware, starts modemsim on a fake USB tree, runs the
# program from its own directory with the test seams pointing at that tree,
# then compares what the stand-in flashed with the package, unit by unit.
# DEMO_SCALE (default 0.1) shortens every pause and time-out of both sides
# tenfold; the run then takes about ten seconds instead of minutes.
# "demo.sh --modems N" plays a rack of N modems at port paths 1-1 ... 1-N,
# updates them all at once with --all, and compares every modem's flash.
set -euo pipefail
modems=0
if [ "${1:-}" = --modems ]; then
    modems=${2:-}
    [[ "$modems" =~ ^[1-9][0-9]?$ ]] || { echo "usage: $0 [--modems N] (N from 1 to 99)"; exit 2; }
fi
cd "$(dirname "$0")/.."
top=$PWD
scripts/setup-host.sh
scale=${DEMO_SCALE:-0.1}

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target flashpilot fwpack modemsim >/dev/null

demo=$(mktemp -d /tmp/flashpilot-demo.XXXXXX)
mkdir -p "$demo/units" "$demo/run" "$demo/root" "$demo/flash"

# A sample firmware in the shipped package's layout of nine units, with
# smaller images: a partition table, boot loaders, the modem image, an empty
# unit, the file systems and a configuration document.
units=(
    0x00010000:partition.bin:464
    0x00110000:sbl.bin:30108
    0x00120000:appsboot.bin:12001
    0x00080000:modem.bin:212120
    0x00090000:empty.bin:0
    0x000B0000:efs.bin:9000
    0x000F0000:system.bin:41000
    0x00100000:userdata.bin:5000
    0x00510000:config.xml:0
)
args=()
for unit in "${units[@]}"; do
    IFS=: read -r type file size <<<"$unit"
    head -c "$size" /dev/urandom >"$demo/units/$file"
    args+=("$type:$demo/units/$file")
done
printf '<XMLConfig><nv id="550">08,3A</nv></XMLConfig>\n' >"$demo/units/config.xml"

build/bin/fwpack build -o "$demo/package.bin" --identity V001:QM90W:11.810.09.17.00 "${args[@]}"
build/bin/fwpack attach -o "$demo/run/flashpilot" build/bin/flashpilot "$demo/package.bin"
build/bin/fwpack info "$demo/run/flashpilot"

# The stand-in prints "ready" once its device is enumerated.
mkfifo "$demo/sim.out"
rack=()
for ((k = 2; k <= modems; k++)); do rack+=(--modem "1-$k"); done
build/bin/modemsim --root "$demo/root" --flash-dir "$demo/flash" --scale "$scale" \
    --trace "$demo/trace.txt" "${rack[@]}" >"$demo/sim.out" &
sim=$!
stop_sim() { kill -TERM "$sim" 2>/dev/null && wait "$sim" || true; }
trap stop_sim EXIT
exec 3<"$demo/sim.out"
read -r line <&3
[ "$line" = ready ] || { echo "modemsim did not start: $line"; exit 1; }
cat <&3 >"$demo/sim.log" &

echo
echo "=== running ./flashpilot in $demo/run"
options=()
[ "$modems" -gt 0 ] && options=(--all)
(cd "$demo/run" && FLASHPILOT_ROOT="$demo/root" FLASHPILOT_TIME_SCALE="$scale" ./flashpilot "${options[@]}") || true

stop_sim
trap - EXIT
echo
echo "=== result file: $(tr -d '\0' <"$demo/run/FlashPilot-Result")"
echo "=== program log: $demo/run/KorvelFlashPilotLog.log"
echo "=== frames exchanged: $demo/trace.txt ($(wc -l <"$demo/trace.txt") lines)"
flashed=ok
dirs=("$demo/flash")
if [ "$modems" -gt 0 ]; then
    dirs=()
    for ((k = 1; k <= modems; k++)); do dirs+=("$demo/flash/1-$k"); done
fi
for dir in "${dirs[@]}"; do
    for unit in "${units[@]}"; do
        IFS=: read -r type file size <<<"$unit"
        name=$(printf '%08X.bin' "$type")
        cmp -s "$demo/units/$file" "$dir/$name" || flashed="DIFFERENT (${dir#"$demo/flash"}/$name)"
    done
done
echo "=== flashed units against the package: $flashed"
result=$(tr -d '\0' <"$demo/run/FlashPilot-Result")
[ "$result" = TRUE ] && [ "$flashed" = ok ]
