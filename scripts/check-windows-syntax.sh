#!/usr/bin/env bash
# Compiles every source file that holds Windows-only code (Q_OS_WIN) the way
# a Windows build would, syntax only: the MinGW-w64 cross compiler against
# this machine's Qt headers, which take their Windows side from the
# compiler's own _WIN32, with the defines of Qt's MinGW builds. No Linux
# build ever compiles that code; any error or warning fails the check.
set -euo pipefail
cd "$(dirname "$0")/.."

cxx=x86_64-w64-mingw32-g++
if ! command -v "$cxx" >/dev/null; then
  echo "Windows syntax check: skipped, no $cxx (Debian package mingw-w64)"
  exit 0
fi

mapfile -t sources < <(git ls-files -- '*.cpp' ':!:tests/*' | xargs grep -l 'Q_OS_WIN' || true)
if [ ${#sources[@]} -eq 0 ]; then
  echo "Windows syntax check: no Windows-only code found" >&2
  exit 1
fi

qt=$(pkg-config --variable=includedir Qt5Core)
flags=(-std=c++17 -fsyntax-only -Wall -Wextra -Wpedantic -Werror
       -DUNICODE -D_UNICODE -DWIN32 -DMINGW_HAS_SECURE_API=1
       -DQT_DEPRECATED_WARNINGS_SINCE=0x050F00 -DQT_NO_FOREACH
       -isystem "$qt")
for module in "$qt"/Qt*/; do flags+=(-isystem "$module"); done
flags+=(-I.)
while read -r dir; do flags+=(-I"$dir"); done < <(git ls-files -- '*.h' ':!:tests/*' | xargs -n1 dirname | sort -u)

printf '%s\n' "${sources[@]}" | xargs -P "$(nproc)" -I{} "$cxx" "${flags[@]}" {}
echo "Windows syntax check: ${#sources[@]} files compile (${sources[*]})"
