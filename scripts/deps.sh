#!/usr/bin/env bash
# deps.sh: installs, with apt-get, the Debian packages that the build and the
# tests need and that this machine lacks. Safe to run again: it installs
# nothing when everything is there.
#   scripts/deps.sh        everything the build and every test build need
#   scripts/deps.sh main   only what the normal build and "kxsim run" need
set -euo pipefail

# The normal build: compilers, GoogleTest (the tests are part of it), the
# platform's XML and PNG libraries, windres for the deliverables' resources,
# help2man for the programs' manual pages.
packages=(
    cmake make g++ pkg-config
    libgtest-dev googletest libgmock-dev
    libxml2-dev libpng-dev binutils-mingw-w64-x86-64 help2man
)
# The other test builds (mingw/wine, clang fuzzing, valgrind, QMI interop,
# TUN end to end) and the benchmarks.
[ "${1:-all}" = main ] || packages+=(
    libbenchmark-dev
    g++-mingw-w64-x86-64-win32
    g++-mingw-w64-x86-64-posix wine wine64 xvfb xauth
    libqmi-utils tshark
    # the benchmark's libqmi client; qmi-glib.pc requires mbim-glib, whose
    # development files libqmi-glib-dev does not pull in
    libqmi-glib-dev libmbim-glib-dev
    valgrind gdb iproute2 procps
    clang libclang-rt-14-dev
    iperf3 iputils-ping curl python3
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "deps: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
        sudo="sudo"
    else
        echo "deps: these packages are missing and this user cannot install them: ${missing[*]}" >&2
        exit 1
    fi
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
