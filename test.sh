#!/usr/bin/env bash
# Installs what is missing, checks that the Windows-only code compiles for
# Windows, builds, and runs every test through CTest: once as shipped
# (warnings as errors) and once under ASan/UBSan.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh

# Windows-only code, compiled for Windows (syntax only, a few seconds).
./scripts/check-windows-syntax.sh

jobs=$(nproc)
# Builds from any checkout share one compiler cache.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
export QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software

# Optimised as shipped (some warnings only show at -O2), without debug info to
# keep the build short.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DNVX_WERROR=ON
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs") | tee build/ctest-summary.log

# Line tables are enough for the sanitizers' reports.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DNVX_WERROR=ON -DNVX_SANITIZE=ON
cmake --build build-asan -j "$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j "$jobs") | tee build-asan/ctest-summary.log

# The Debian package from the shipped build: built, unpacked and checked.
./packaging/check-package.sh build

# Short fuzz runs (about 30 s a target) keep the fuzz targets alive; any
# crash, hang or sanitizer report fails the run.
if command -v clang++ >/dev/null; then
  ./scripts/fuzz.sh 30
fi

# One closing line for both CTest runs (any failure has stopped the script above).
total=0
for log in build/ctest-summary.log build-asan/ctest-summary.log; do
  n=$(grep -oE 'tests failed out of [0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0)
  total=$((total + n))
done
echo "test.sh: $total passed, 0 failed"
