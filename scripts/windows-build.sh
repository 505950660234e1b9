#!/usr/bin/env bash
# windows-build.sh: configure, build and check the Windows build of the
# deliverables in one command.
#
#   scripts/windows-build.sh            build into <repository>/build-windows
#   KX_WINDOWS_BUILD_DIR=dir scripts/windows-build.sh
#
# Builds, with mingw-w64 against the genuine Windows headers, every
# deliverable from its folder's deliverable.cmake (KxCmdApi.dll,
# CarrierCfg.dll, ModemAbout.dll), the stub DLLs of the CE-only calls
# (windows/stubs), and every header of platform/include/ce;
# then runs the checks (ctest in the build folder): each DLL exports exactly
# the names of its .def, imports only from the libraries it may link, and the
# export check itself catches a wrong .def.
#
# Missing tools (g++-mingw-w64-x86-64-win32, cmake, make) are installed with
# apt-get when running as root; otherwise the script says what to install.
# On failure it ends with a summary: which DLL, which missing symbol or
# header, and where such a thing belongs. Exit status 0 when everything
# built and every check passed, 1 when not, 2 when the tools are missing.
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KX_WINDOWS_BUILD_DIR:-$root/build-windows}
jobs=${KX_JOBS:-2}
me=windows-build

say() { printf '%s: %s\n' "$me" "$*"; }

# --- tools -----------------------------------------------------------------
missing_packages() {
    local pkgs=""
    if ! command -v x86_64-w64-mingw32-g++-win32 >/dev/null 2>&1 &&
        ! command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1; then
        pkgs="$pkgs g++-mingw-w64-x86-64-win32"
    fi
    for tool in windres objdump nm; do
        if ! command -v x86_64-w64-mingw32-$tool >/dev/null 2>&1; then
            pkgs="$pkgs binutils-mingw-w64-x86-64"
            break
        fi
    done
    command -v cmake >/dev/null 2>&1 || pkgs="$pkgs cmake"
    command -v make >/dev/null 2>&1 || pkgs="$pkgs make"
    echo "$pkgs"
}

pkgs=$(missing_packages)
if [ -n "$pkgs" ]; then
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
        say "installing:$pkgs"
        if ! { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $pkgs; }; then
            say "apt-get could not install:$pkgs"
            exit 2
        fi
    else
        say "missing tools; install them first (as root):"
        say "  apt-get update && apt-get install -y$pkgs"
        say "(this script installs them itself only when it runs as root with apt-get)"
        exit 2
    fi
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT

# --- configure and build ---------------------------------------------------
say "configuring $build"
if ! cmake -S "$root/windows" -B "$build" -G "Unix Makefiles" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" >"$log" 2>&1; then
    cat "$log"
    say "FAILED: configuring the Windows build (see above)"
    exit 1
fi
grep -E '^-- Windows build:' "$log"

say "building"
# -k: build every DLL that can be built, so the summary covers them all.
cmake --build "$build" --parallel "$jobs" -- -k 2>&1 | tee "$log"
built=${PIPESTATUS[0]}

if [ "$built" -ne 0 ]; then
    echo
    say "FAILED: the Windows build did not build. Summary:"
    # The DLL is the target whose object or link step reported the error.
    awk '
        function dll_of(line,    t) {
            if (match(line, /CMakeFiles\/[^\/ ]+\.dir\//)) {
                t = substr(line, RSTART + 11, RLENGTH - 16)
                return (t == "ce_headers") ? "CE header check" : t ".dll"
            }
            return ""
        }
        /^\[ *[0-9]+%\] Linking .* bin\/[^ ]+\.dll$/ { linking = $NF; sub(/.*\//, "", linking) }
        /undefined reference to `/ {
            sym = $0; sub(/.*undefined reference to `/, "", sym); sub(/'"'"'.*/, "", sym)
            who = dll_of($0); if (who == "") who = linking
            key = who " " sym
            if (!(key in seen)) {
                seen[key] = 1
                printf "  %s: undefined symbol %s\n", who, sym
            }
            undefined = 1
            next
        }
        /cannot export [^:]+: symbol not defined/ {
            sym = $0; sub(/.*cannot export /, "", sym); sub(/:.*/, "", sym)
            printf "  %s: its .def exports %s, which no source defines with C linkage\n", linking, sym
            next
        }
        /: fatal error: .*: No such file or directory/ {
            hdr = $0; sub(/.*fatal error: /, "", hdr); sub(/: No such file.*/, "", hdr)
            src = $0; sub(/: fatal error:.*/, "", src)
            printf "  %s: header %s is neither a Windows header nor in platform/include/ce\n", src, hdr
            noheader = 1
            next
        }
        / error: / && !/^make/ && !/collect2/ {
            if ($0 ~ /\/platform\/include\/ce\/[^:]+:[0-9]+/) ceheader = 1
            if (!($0 in seen)) { seen[$0] = 1; if (++errors <= 40) print "  " $0 }
            next
        }
        END {
            if (errors > 40) printf "  ... and %d more errors\n", errors - 40
            if (undefined) {
                print ""
                print "  An undefined CE-only call (RIL, aygshell, cellcore, KernelIoControl, ...) needs"
                print "  its declaration in platform/include/ce/ and an export in the stub of its DLL:"
                print "  windows/stubs/<dll>.cpp and <dll>.def. An undefined Win32 call needs its"
                print "  import library in the KX_WIN_<platform library> list of windows/CMakeLists.txt."
            }
            if (ceheader) {
                print ""
                print "  The headers of platform/include/ce are shared with this build: they must compile"
                print "  after the genuine <windows.h> (declare only what Windows lacks; guard macros it"
                print "  may already define with #ifndef, and types it may already have)."
            }
            if (noheader) {
                print ""
                print "  The Windows build sees only the genuine Windows headers and platform/include/ce;"
                print "  a CE-only header the deliverables share with the host belongs in platform/include/ce."
            }
        }
    ' "$log"
    exit 1
fi

# --- checks ----------------------------------------------------------------
say "checking"
if ! (cd "$build" && ctest --output-on-failure) >"$log" 2>&1; then
    cat "$log"
    echo
    say "FAILED: checks of the Windows build:"
    grep -E '^[ 0-9/]+Test +#[0-9]+: .*\*\*\*' "$log" | sed 's/^/  /'
    grep -E '^(check-pe-[a-z]+): FAIL|^  (in|exported by) ' "$log" | sed 's/^/  /'
    exit 1
fi
grep -E 'Test +#|tests passed' "$log"
checked=$(sed -n 's/.*Test *#[0-9]*: \([^ ]*\)\.exports .*Passed.*/\1.dll/p' "$log" | tr '\n' ' ')
say "OK: built and checked $checked"
exit 0
