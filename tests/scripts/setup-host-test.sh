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

# The package that owns path, or nothing; essential packages (dpkg, gzip,
# coreutils, ...) are on every Debian machine and need no listing.
owner() {
    local pkg
    pkg=$(dpkg-query -S "$1" 2>/dev/null | head -n1 | cut -d: -f1) || return 0
    [ -n "$pkg" ] || return 0
    [ "$(dpkg-query -W -f='${Essential}' "$pkg" 2>/dev/null)" = yes ] && return 0
    echo "$pkg"
}
# A versioned package (libclang-rt-14-dev, libstdc++-12-dev) counts as
# listed under its unversioned name; the C and C++ headers come with g++.
expect_listed() {  # what, package
    local pkg=$2 plain
    plain=$(sed -E 's/-[0-9]+(\.[0-9]+)?(-|$)/\2/' <<<"$pkg")
    case "$plain" in libc6-dev | libstdc++-dev | linux-libc-dev | libgcc-dev) return ;; esac
    [[ $listed == *" $pkg "* || $listed == *" $plain "* ]] || fail "$1 comes from $pkg, which setup-host.sh does not list"
}

# Every <header> the code and the tests include that lies under /usr/include.
checked=0
while read -r header; do
    for dir in /usr/include /usr/include/x86_64-linux-gnu; do
        [ -e "$dir/$header" ] || continue
        pkg=$(owner "$dir/$header")
        [ -n "$pkg" ] && expect_listed "<$header>" "$pkg" && checked=$((checked + 1))
        break
    done
done < <(grep -rhoE '^#include <[^>]+>' "$top"/Host "$top"/MAC_Class "$top"/standin "$top"/tools \
             "$top"/tests "$top"/fuzz "$top"/bench 2>/dev/null | sed -E 's/#include <(.*)>/\1/' | sort -u)
[ "$checked" -ge 4 ] || fail "only $checked library headers found: is the tree complete?"

# The tools the build, the tests and the scripts run.
for tool in cmake make g++ clang++ pkg-config dpkg-deb dpkg-shlibdeps lintian ansible-playbook \
            dbus-daemon setarch pgrep minisign; do
    path=$(command -v "$tool") || { fail "$tool is not installed"; continue; }
    pkg=$(owner "$path")
    [ -n "$pkg" ] || pkg=$(owner "$(readlink -f "$path")")
    [ -n "$pkg" ] && expect_listed "$tool" "$pkg"
done
# clang's sanitizer runtimes are a package of their own.
asan=$(clang++ -print-file-name=libclang_rt.asan-x86_64.a 2>/dev/null)
[ -e "$asan" ] && expect_listed "clang's ASan runtime" "$(owner "$(readlink -f "$asan")")"

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

[ "$failed" -eq 0 ] && echo "setup-host.sh: the list covers $checked headers and the tools; the non-root path passes"
exit "$failed"
