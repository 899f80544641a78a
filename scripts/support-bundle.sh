#!/bin/sh
# Collects what a field report about a failed update needs into one tar.gz:
#   - from DIR (the program file's directory): the program log
#     KorvelFlashPilotLog.log, the result file, and the report (--report) and
#     the frame trace (--trace) where present, recognised by their contents;
#   - the program file's --version and --info (flashpilot* in DIR, or PROGRAM);
#   - the option driver's sysfs entries and the attributes of their USB
#     devices (no serial numbers);
#   - ls -l of the serial nodes /dev/ttyUSB*;
#   - the ModemManager state when mmcli is present;
#   - the last 200 kernel log lines where readable.
# Nothing else from the machine goes in.
#
# usage: flashpilot-support-bundle DIR [PROGRAM]   (scripts/support-bundle.sh in the source)
#   writes flashpilot-support-<date>.tar.gz in the current directory and
#   prints its path. FLASHPILOT_ROOT, when set, is the root under which /sys
#   and /dev are read (the program's own test seam).
set -u

usage() {
    echo "usage: $0 DIR [PROGRAM]" >&2
    echo "  DIR      the directory the program file ran in" >&2
    echo "  PROGRAM  the program file (default: the flashpilot* files in DIR)" >&2
    exit 2
}

[ $# -ge 1 ] && [ $# -le 2 ] || usage
dir=$1
program=${2:-}
[ -d "$dir" ] || { echo "$0: $dir is no directory" >&2; exit 2; }
root=${FLASHPILOT_ROOT:-}

out="$PWD/flashpilot-support-$(date -u +%Y%m%dT%H%M%SZ).tar.gz"
work=$(mktemp -d "${TMPDIR:-/tmp}/flashpilot-support.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
bundle="$work/flashpilot-support"
mkdir -p "$bundle/files" "$bundle/sysfs"

# --- The run's own files -----------------------------------------------------
for f in "$dir"/* "$dir"/.[!.]*; do
    [ -f "$f" ] || continue
    name=$(basename "$f")
    case "$name" in
        KorvelFlashPilotLog.log | FlashPilot-Result)
            cp -p "$f" "$bundle/files/" ;;
        *)
            # The trace's lines start with {"t":, the report holds "schema"
            # and "program" near its start; nothing else is taken.
            first=$(head -c 200 "$f" 2>/dev/null | tr -d '\000')
            case "$first" in
                '{"t":'*) cp -p "$f" "$bundle/files/" ;;
                *'"schema"'*) case "$first" in *'"program"'* | *'"package"'*) cp -p "$f" "$bundle/files/" ;; esac ;;
            esac ;;
    esac
done

# --- The program file --------------------------------------------------------
{
    if [ -z "$program" ]; then
        for f in "$dir"/flashpilot* "$dir"/FlashPilot*; do
            [ -f "$f" ] && [ -x "$f" ] && program="$program $f"
        done
    fi
    [ -n "$program" ] || echo "no program file found in $dir"
    for p in $program; do
        echo "== $p --version"
        (cd "$(dirname "$p")" && "./$(basename "$p")" --version 2>&1)
        echo "exit status $?"
        echo "== $p --info"
        (cd "$(dirname "$p")" && "./$(basename "$p")" --info 2>&1)
        echo "exit status $?"
    done
} >"$bundle/program.txt" 2>&1

# --- sysfs: the option driver's entries and their USB devices ----------------
{
    option="$root/sys/bus/usb/drivers/option"
    if [ ! -d "$option" ]; then
        echo "no option driver directory ($option)"
    fi
    devices=""
    for entry in "$option"/*:*; do
        [ -e "$entry" ] || continue
        target=$(readlink -f "$entry")
        echo "== $(basename "$entry") -> ${target#"$root"}"
        for a in modalias bInterfaceNumber bInterfaceClass; do
            [ -r "$target/$a" ] && echo "$a: $(cat "$target/$a")"
        done
        echo "nodes: $(cd "$target" 2>/dev/null && ls -d ttyUSB* tty/ttyUSB* 2>/dev/null | tr '\n' ' ')"
        device=$(dirname "$target")
        case " $devices " in *" $device "*) ;; *) devices="$devices $device" ;; esac
    done
    for device in $devices; do
        echo "== USB device ${device#"$root"}"
        for a in idVendor idProduct bcdDevice manufacturer product devpath speed \
                 bConfigurationValue power/control power/autosuspend_delay_ms \
                 power/runtime_status; do
            [ -r "$device/$a" ] && echo "$a: $(cat "$device/$a" 2>/dev/null)"
        done
    done
} >"$bundle/sysfs/option.txt" 2>&1

# --- Serial nodes, ModemManager, kernel log ----------------------------------
ls -l "$root"/dev/ttyUSB* >"$bundle/serial-nodes.txt" 2>&1
if command -v mmcli >/dev/null 2>&1; then
    {
        echo "== mmcli -L"
        mmcli -L 2>&1
        for m in $(mmcli -L 2>/dev/null | sed -n 's|.*/Modem/\([0-9][0-9]*\).*|\1|p'); do
            echo "== mmcli -m $m"
            mmcli -m "$m" 2>&1
        done
    } >"$bundle/modemmanager.txt"
else
    echo "mmcli is not installed" >"$bundle/modemmanager.txt"
fi
if dmesg >/dev/null 2>&1; then
    dmesg 2>/dev/null | tail -n 200 >"$bundle/kernel.txt"
elif command -v journalctl >/dev/null 2>&1 && journalctl -k -n 1 --no-pager >/dev/null 2>&1; then
    journalctl -k -n 200 --no-pager >"$bundle/kernel.txt" 2>&1
else
    echo "the kernel log is not readable for this user" >"$bundle/kernel.txt"
fi

tar -C "$work" -czf "$out" flashpilot-support || exit 1
echo "$out"
