#!/bin/sh
# Pulls the cable at every frame index of a whole update against the virtual
# instrument and prints the summary (cases, recovered, lost).
#   tests/workflow/fault-matrix.sh [build directory]   (default: build)
# NVX_FAULT_JOBS sets how many cases run at once (default 6).
set -eu
build=${1:-build}
exe="$build/tests/workflow/tst_faultmatrix"
if [ ! -x "$exe" ]; then
    echo "fault-matrix: $exe not found; build the target tst_faultmatrix first" >&2
    exit 2
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
NVX_FAULT_SHARE=0/1 QT_QPA_PLATFORM=offscreen "$exe" >"$log" 2>&1 || status=$?
grep -a -E '^(FAIL|   Loc|fault matrix|  [a-z])' "$log" || true
exit $status
