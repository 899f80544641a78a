#!/usr/bin/env bash
# Installs the Debian packages that building, demonstrating and testing
# FlashPilot need and that this machine lacks: as root with apt-get, as
# another user through sudo; without sudo it names them in one line and
# stops. `scripts/setup-host.sh --list` prints the list and changes nothing.
#
# libclang-rt-dev brings clang's sanitizer and libFuzzer runtimes, which the
# clang package only recommends. libsystemd-dev and dbus-daemon serve the fake
# ModemManager and its private bus in the end-to-end tests. nlohmann-json3-dev
# writes the run's JSON report; libsodium-dev checks package signatures, and
# minisign makes the tests' keys. ansible-core runs the fleet playbook's test,
# dpkg-dev and lintian make and check the Debian package.
set -euo pipefail
packages=(
    cmake make g++ clang libclang-rt-dev pkgconf libgtest-dev libgmock-dev
    procps util-linux dpkg-dev libsystemd-dev dbus-daemon nlohmann-json3-dev
    libsodium-dev minisign ansible-core lintian
)
if [ "${1:-}" = --list ]; then
    printf '%s\n' "${packages[@]}"
    exit 0
fi

missing=()
for pkg in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null; then
    as_root=(sudo)
else
    echo "setup-host.sh: missing packages; as root run: apt-get install ${missing[*]}" >&2
    exit 1
fi
echo "setup-host.sh: installing ${missing[*]}" >&2
"${as_root[@]}" apt-get update
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends "${missing[@]}"
