#!/usr/bin/env bash
# run.sh: builds the package and boots the simulated handheld (kxsim run).
# Arguments are passed to kxsim run (see "kxsim run --help").
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh main
# The first build takes a few minutes: its progress is shown; later ones are
# quick and print little.
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)"
exec build/bin/kxsim run "$@"
