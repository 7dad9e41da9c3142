#!/usr/bin/env bash
# Installs what is missing, builds, and starts the toolkit (under Xvfb when
# there is no display). Without arguments it starts a demonstration: a local
# catalogue server with three firmware versions and a virtual instrument
# inside the toolkit, in a throw-away data folder. With arguments, the
# toolkit gets them and nothing else is started.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh
# The same configuration as ./test.sh, so the two share one build.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DNVX_WERROR=ON
cmake --build build -j "$(nproc)"

run=(./build/app/nvx7300toolkit "$@")
if [ "$#" -eq 0 ]; then
  demo=$(mktemp -d)
  server_pid=
  cleanup() {
    if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
    rm -rf "$demo"
  }
  trap cleanup EXIT
  mkdir -p "$demo/served" "$demo/data"
  # The server starts on the empty folder; the catalogue then names its address.
  ./build/tools/httpserver/nvx7300-catalogue-server --root "$demo/served" --quiet > "$demo/url" &
  server_pid=$!
  for _ in $(seq 50); do [ -s "$demo/url" ] && break; sleep 0.1; done
  url=$(head -n 1 "$demo/url")
  # Three demo firmware versions for the virtual instrument, published as the
  # maker publishes: scrambled, with digests, signed with the development key.
  ./build/tools/httpserver/nvx7300-make-demo-catalogue --firmware-only "$demo/plain"
  ./build/tools/publish/nvx7300-publish --input "$demo/plain" --output "$demo/served/731" \
    --base-url "$url/731" --key keys/dev/catalogue-signing-dev.pem
  # The demo keeps its firmware store out of the user's own; it starts with
  # the demo catalogue, as after an earlier start.
  export XDG_DATA_HOME="$demo/data"
  mkdir -p "$demo/data/ostrel/NVX7300 Toolkit/firmware"
  cp "$demo/served/731/731Versions.json" "$demo/data/ostrel/NVX7300 Toolkit/firmware/"
  run=(./build/app/nvx7300toolkit --virtual-instrument --catalogue-url "$url/731")
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  run=(xvfb-run -a -s "-screen 0 1024x768x24" "${run[@]}")
fi
if [ "$#" -eq 0 ]; then
  "${run[@]}"
else
  exec "${run[@]}"
fi
