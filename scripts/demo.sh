#!/usr/bin/env bash
# A complete run of the packaged program against the modem stand-in: builds
# the project, packages a sample firmware, starts modemsim on a fake USB tree
# and runs the program from its own directory with the test seams pointing at
# that tree. DEMO_SCALE (default 0.1) shortens every pause of both sides.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
scale=${DEMO_SCALE:-0.1}

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target flashpilot fwpack modemsim >/dev/null

demo=$(mktemp -d /tmp/flashpilot-demo.XXXXXX)
mkdir -p "$demo/units" "$demo/run" "$demo/root" "$demo/flash"

# A sample firmware: a partition table, two images, an empty unit and a
# configuration document, the way a real package is laid out.
head -c 464 /dev/urandom >"$demo/units/partition.bin"
head -c 30108 /dev/urandom >"$demo/units/boot.bin"
head -c 212120 /dev/urandom >"$demo/units/modem.bin"
: >"$demo/units/empty.bin"
printf '<XMLConfig><nv id="550">08,3A</nv></XMLConfig>\n' >"$demo/units/config.xml"

build/bin/fwpack build -o "$demo/package.bin" --identity V001:QM90W:11.810.09.17.00 \
    0x00010000:"$demo/units/partition.bin" 0x00110000:"$demo/units/boot.bin" \
    0x00080000:"$demo/units/modem.bin" 0x00090000:"$demo/units/empty.bin" \
    0x00510000:"$demo/units/config.xml"
build/bin/fwpack attach -o "$demo/run/flashpilot" build/bin/flashpilot "$demo/package.bin"
build/bin/fwpack info "$demo/run/flashpilot"

# The stand-in prints "ready" once its device is enumerated.
mkfifo "$demo/sim.out"
build/bin/modemsim --root "$demo/root" --flash-dir "$demo/flash" --scale "$scale" \
    --trace "$demo/trace.txt" >"$demo/sim.out" &
sim=$!
stop_sim() { kill -TERM "$sim" 2>/dev/null && wait "$sim" || true; }
trap stop_sim EXIT
exec 3<"$demo/sim.out"
read -r line <&3
[ "$line" = ready ] || { echo "modemsim did not start: $line"; exit 1; }
cat <&3 >"$demo/sim.log" &

echo
echo "=== running ./flashpilot in $demo/run"
(cd "$demo/run" && FLASHPILOT_ROOT="$demo/root" FLASHPILOT_TIME_SCALE="$scale" ./flashpilot) || true

stop_sim
trap - EXIT
echo
echo "=== result file: $(tr -d '\0' <"$demo/run/FlashPilot-Result")"
echo "=== program log: $demo/run/KorvelFlashPilotLog.log"
echo "=== frames exchanged: $demo/trace.txt ($(wc -l <"$demo/trace.txt") lines)"
echo "=== flashed units: $(ls "$demo/flash" | tr '\n' ' ')"
cd "$top"
