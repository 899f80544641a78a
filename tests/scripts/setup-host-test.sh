#!/usr/bin/env bash
# scripts/setup-host.sh: its list holds the package of every system header
# the project includes and of every tool the build and the tests run; and a
# user without root and without sudo is told what to install, in one line,
# and nothing is installed.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
setup=$top/scripts/setup-host.sh
scratch=$(mktemp -d)
chmod 755 "$scratch"
trap 'rm -rf "$scratch"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

listed=" $("$setup" --list | tr '\n' ' ') "

# A versioned package (libclang-rt-14-dev, libstdc++-12-dev) counts as
# listed under its unversioned name; the C and C++ headers come with g++, and
# essential packages (dpkg, gzip, coreutils, ...) are on every Debian machine.
expect_listed() {  # what, package
    local pkg=$2 plain
    plain=$(sed -E 's/-[0-9]+(\.[0-9]+)?(-|$)/\2/' <<<"$pkg")
    case "$plain" in libc6-dev | libstdc++-dev | linux-libc-dev | libgcc-dev) return ;; esac
    [ "$(dpkg-query -W -f='${Essential}' "$pkg" 2>/dev/null)" = yes ] && return
    [[ $listed == *" $pkg "* || $listed == *" $plain "* ]] || fail "$1 comes from $pkg, which setup-host.sh does not list"
}

# What is used, as "what<TAB>path": every <header> the code and the tests
# include that lies under /usr/include, the tools the build, the tests and
# the scripts run, and clang's sanitizer runtime.
used=()
while read -r header; do
    for dir in /usr/include /usr/include/x86_64-linux-gnu; do
        if [ -e "$dir/$header" ]; then
            used+=("<$header>"$'\t'"$dir/$header")
            break
        fi
    done
done < <(grep -rhoE '^#include <[^>]+>' "$top"/Host "$top"/MAC_Class "$top"/standin "$top"/tools \
             "$top"/tests "$top"/fuzz "$top"/bench 2>/dev/null | sed -E 's/#include <(.*)>/\1/' | sort -u)
headers=${#used[@]}
[ "$headers" -ge 20 ] || fail "only $headers system headers found: is the tree complete?"
for tool in cmake make g++ clang++ pkg-config dpkg-deb dpkg-shlibdeps lintian ansible-playbook \
            dbus-daemon setarch pgrep minisign; do
    path=$(command -v "$tool") || { fail "$tool is not installed"; continue; }
    used+=("$tool"$'\t'"$path" "$tool"$'\t'"$(readlink -f "$path")")
done
asan=$(clang++ -print-file-name=libclang_rt.asan-x86_64.a 2>/dev/null)
[ -e "$asan" ] && used+=("clang's ASan runtime"$'\t'"$(readlink -f "$asan")")

# One dpkg-query for every path (it is slow to start): "pkg[:arch]: path".
declare -A owner
while IFS= read -r line; do
    owner[${line#*: }]=${line%%: *}
done < <(printf '%s\n' "${used[@]}" | cut -f2 | xargs dpkg-query -S 2>/dev/null | grep -v '^diversion')
declare -A seen
for entry in "${used[@]}"; do
    what=${entry%%$'\t'*}
    pkg=${owner[${entry#*$'\t'}]:-}
    [ -n "$pkg" ] && [ -z "${seen[$what]:-}" ] || continue
    seen[$what]=1
    expect_listed "$what" "${pkg%%:*}"
done
for tool in cmake g++ lintian minisign; do
    [ -n "${seen[$tool]:-}" ] || fail "no package found for $tool"
done

# Without root and without sudo: one line naming the missing packages, exit
# 1, and apt-get never run. dpkg-query is faked to know no package.
mkdir -p "$scratch/bin"
for tool in bash env id cat printf tr sed dirname; do
    ln -s "$(command -v "$tool")" "$scratch/bin/$tool"
done
printf '#!/bin/sh\nexit 1\n' >"$scratch/bin/dpkg-query"
printf '#!/bin/sh\ntouch %s/apt-get-ran\n' "$scratch" >"$scratch/bin/apt-get"
chmod 755 "$scratch/bin/dpkg-query" "$scratch/bin/apt-get"
out=$(runuser -u nobody -- env PATH="$scratch/bin" bash "$setup" 2>&1)
status=$?
[ "$status" -eq 1 ] || fail "without root and sudo: exit $status, expected 1"
[ "$(wc -l <<<"$out")" -eq 1 ] || fail "without root and sudo: more than one line: $out"
[[ $out == *"apt-get install cmake "*"lintian" ]] || fail "without root and sudo: the packages are not named: $out"
[ ! -e "$scratch/apt-get-ran" ] || fail "without root and sudo: apt-get ran"

[ "$failed" -eq 0 ] && echo "setup-host.sh: the list covers $headers headers and the tools; the non-root path passes"
exit "$failed"
