#!/usr/bin/env bash
# Runs one fuzz target under libFuzzer (clang-14, with ASan+UBSan) for SECONDS:
#   scripts/fuzz.sh fuzz_olmo 1800
# Targets: fuzz_olmo fuzz_connector fuzz_zephron fuzz_discovery fuzz_projectstore fuzz_etsarchive
# fuzz_etsproject.
# It starts from the committed seeds (tests/fuzz/corpus/TARGET) and keeps what it learns in
# build-fuzz/corpus/TARGET. A crash or hang is written to tests/fuzz/crashes/TARGET/, where
# ./test.sh replays it from then on (commit it with the fix).
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: scripts/fuzz.sh TARGET SECONDS}
seconds=${2:-60}
dir=${VYX_FUZZ_BUILD_DIR:-build-fuzz}

if [[ ! -f "$dir/CMakeCache.txt" ]]; then
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S . -B "$dir" -DVYX_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 "${launcher[@]}" >/dev/null
fi
cmake --build "$dir" -j "${VYX_JOBS:-$(nproc)}" --target "$target"

work="$dir/corpus/$target"
crashes="tests/fuzz/crashes/$target"
mkdir -p "$work" "$crashes"
export QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="*.debug=false"
export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/lsan.supp"
# -close_fd_mask=1: the code under test prints a line per frame, which would only slow it down.
exec "$dir/bin/$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -max_len=65536 \
  -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$crashes/" "$work" "tests/fuzz/corpus/$target"
