#!/usr/bin/env bash
# Builds the Debian package from a configured and built tree, unpacks it into
# a scratch folder and checks it the way a desktop and a user would meet it:
# files where the desktop looks for them, valid desktop entry and AppStream
# metainfo, sound control data, and programs that run from the unpacked files.
# Debian's own checker, lintian, must report no error and no warning beyond
# those the package's overrides file accepts, each with its reason.
#
#   packaging/check-package.sh [BUILD_DIR]     (default: build)
#
# Any problem is printed and ends the run with a non-zero status.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)

failures=0
fail() { echo "check-package: FAIL: $*" >&2; failures=$((failures + 1)); }
ok() { echo "check-package: ok: $*"; }
die() { echo "check-package: FAIL: $*" >&2; exit 1; }

for tool in cpack dpkg-deb desktop-file-validate appstreamcli lintian ldd file gzip; do
    command -v "$tool" >/dev/null || die "$tool is missing (scripts/install-deps.sh installs it)"
done
[ -f "$build/CPackConfig.cmake" ] || die "$build is not a configured build folder"

scratch=$(mktemp -d)
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

# --- build -----------------------------------------------------------------
out="$build/deb"
rm -rf "$out"
(cd "$build" && cpack -G DEB -B "$out") > "$scratch/cpack.log" 2>&1 \
    || { cat "$scratch/cpack.log" >&2; die "cpack -G DEB failed"; }
shopt -s nullglob
debs=("$out"/nvx7300-toolkit_*.deb)
shopt -u nullglob
[ ${#debs[@]} -eq 1 ] || die "expected one nvx7300-toolkit_*.deb in $out, found ${#debs[@]}"
deb=${debs[0]}
ok "built $(basename "$deb")"

# --- control data ----------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = "nvx7300-toolkit" ] || fail "package name is '$(field Package)'"
version=$(field Version)
depends=$(field Depends)
echo "check-package: Depends: $depends"
# Shared libraries the programs link, and the QML runtime the window loads.
for dep in libqt5core5a libqt5gui5 libqt5qml5 libqt5network5 libqt5serialport5 \
           libqt5quick5 libqt5quickcontrols2-5 qml-module-qtqml qml-module-qtquick2 \
           qml-module-qtquick-window2 qml-module-qtquick-controls2 qml-module-qtquick-templates2; do
    grep -Eq "(^|, )$dep( |,|$)" <<<"$depends" || fail "Depends lacks $dep"
done
grep -Eq -- '-dev( |,|$)' <<<"$depends" && fail "Depends names a -dev package"

mkdir "$scratch/control"
dpkg-deb -e "$deb" "$scratch/control"
postinst="$scratch/control/postinst"
if [ -x "$postinst" ]; then
    grep -q 'udevadm control --reload-rules' "$postinst" || fail "postinst does not reload the udev rules"
    grep -q 'udevadm trigger' "$postinst" || fail "postinst does not trigger udev"
    # Neither a missing udevadm nor one without a running udev may fail the
    # installation.
    env -i PATH="$scratch/nowhere" /bin/sh "$postinst" configure \
        || fail "postinst fails where udevadm is absent"
    mkdir "$scratch/fake-udev"
    printf '#!/bin/sh\necho "$*" >> "%s/udevadm.calls"\nexit 1\n' "$scratch" > "$scratch/fake-udev/udevadm"
    chmod +x "$scratch/fake-udev/udevadm"
    PATH="$scratch/fake-udev:/usr/bin:/bin" /bin/sh "$postinst" configure \
        || fail "postinst fails where udev is not running"
    grep -q '^control --reload-rules' "$scratch/udevadm.calls" 2>/dev/null \
        || fail "postinst did not call udevadm control --reload-rules"
else
    fail "no executable postinst"
fi

if dpkg-deb -c "$deb" | awk '{print $2}' | grep -qv '^root/root$'; then
    fail "files in the package not owned by root/root"
fi

# --- files -----------------------------------------------------------------
root="$scratch/root"
dpkg-deb -x "$deb" "$root"
usr="$root/usr"

# Nothing beyond what a desktop program needs (no headers, static
# libraries or test programs slipping in through someone's install rule).
stray=$(cd "$root" && find . -type f | sed 's|^\./||' | grep -Ev \
    '^usr/(bin/[^/]+|share/applications/[^/]+\.desktop|share/metainfo/[^/]+\.metainfo\.xml|share/icons/hicolor/(scalable/apps/[^/]+\.svg|256x256/apps/[^/]+\.png)|share/man/man1/[^/]+\.1(\.gz)?|lib/udev/rules\.d/[^/]+\.rules|share/doc/nvx7300-toolkit/(copyright|changelog\.gz)|share/lintian/overrides/nvx7300-toolkit)$' \
    || true)
[ -z "$stray" ] && ok "no stray files" || fail "unexpected files: $stray"

programs=(nvx7300toolkit bslengine nvx7300-sim titxt-scramble)
[ -x "$build/tools/nvx7300ctl/nvx7300ctl" ] && programs+=(nvx7300ctl)
for p in "${programs[@]}"; do
    [ -x "$usr/bin/$p" ] || { fail "usr/bin/$p missing or not executable"; continue; }
    if [ -f "$usr/share/man/man1/$p.1.gz" ]; then
        warnings=$(zcat "$usr/share/man/man1/$p.1.gz" | LC_ALL=C.UTF-8 MANWIDTH=80 \
            man --warnings -E UTF-8 -l - 2>&1 >/dev/null || echo "man failed")
        [ -z "$warnings" ] || fail "man page of $p: $warnings"
    else
        fail "no man page usr/share/man/man1/$p.1.gz"
    fi
done

[ -f "$root/usr/lib/udev/rules.d/60-nvx7300.rules" ] || fail "udev rule not in /usr/lib/udev/rules.d"
cmp -s "$root/usr/lib/udev/rules.d/60-nvx7300.rules" "$here/linux/60-nvx7300.rules" \
    || fail "packaged udev rule differs from packaging/linux/60-nvx7300.rules"

shopt -s nullglob
desktops=("$usr"/share/applications/*.desktop)
metainfos=("$usr"/share/metainfo/*.metainfo.xml)
shopt -u nullglob
[ ${#desktops[@]} -eq 1 ] || die "expected one desktop entry, found ${#desktops[@]}"
[ ${#metainfos[@]} -eq 1 ] || die "expected one metainfo file, found ${#metainfos[@]}"
desktop=${desktops[0]}
metainfo=${metainfos[0]}
app_id=$(basename "$desktop" .desktop)

desktop-file-validate "$desktop" || fail "desktop-file-validate: $(basename "$desktop")"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate: $(basename "$metainfo")"

key() { sed -n "s/^$1=//p" "$desktop" | head -1; }
exec_prog=$(key Exec | awk '{print $1}')
[ -x "$usr/bin/$exec_prog" ] || fail "Exec=$exec_prog is not a packaged program"
icon=$(key Icon)
[ "$icon" = "$app_id" ] || fail "Icon=$icon does not match the desktop id $app_id"
svg="$usr/share/icons/hicolor/scalable/apps/$icon.svg"
png="$usr/share/icons/hicolor/256x256/apps/$icon.png"
[ -f "$svg" ] && grep -q '<svg' "$svg" || fail "no scalable icon $icon.svg"
[ -f "$png" ] && file -b "$png" | grep -q 'PNG image data, 256 x 256' || fail "no 256x256 PNG icon $icon.png"
[ "$(basename "$metainfo" .metainfo.xml)" = "$app_id" ] || fail "metainfo file name is not $app_id"
grep -q "<id>$app_id</id>" "$metainfo" || fail "metainfo id is not $app_id"
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" \
    || fail "metainfo does not launch $app_id.desktop"
grep -q "<release version=\"${version%%-*}\"" "$metainfo" || fail "metainfo has no release $version"

# --- lintian ---------------------------------------------------------------
# An override says why on the comment line right before it.
overrides="$usr/share/lintian/overrides/nvx7300-toolkit"
if [ -f "$overrides" ]; then
    unexplained=$(awk '!/^[[:space:]]*(#|$)/ && prev !~ /^#[[:space:]]*[^[:space:]]/ { print } { prev = $0 }' \
        "$overrides")
    [ -z "$unexplained" ] || fail "lintian overrides without a reason on the line before: $unexplained"
fi
# Overridden reports are listed, not counted; an override nothing matches any
# more has lost its reason.
lintian_log="$scratch/lintian.log"
lintian_status=0
lintian --fail-on error,warning --display-info --show-overrides "$deb" > "$lintian_log" 2>&1 \
    || lintian_status=$?
grep -v '^running with root privileges' "$lintian_log" || true
if [ "$lintian_status" -ne 0 ]; then
    fail "lintian reports errors or warnings (status $lintian_status)"
elif grep -q ' unused-override ' "$lintian_log"; then
    fail "lintian overrides that match nothing"
else
    ok "lintian"
fi

# --- programs from the unpacked files --------------------------------------
export LD_LIBRARY_PATH="$usr/lib:$usr/lib/$(gcc -dumpmachine 2>/dev/null || echo x86_64-linux-gnu)"
for p in "${programs[@]}"; do
    [ -x "$usr/bin/$p" ] || continue
    missing=$(ldd "$usr/bin/$p" | grep 'not found' || true)
    [ -z "$missing" ] || fail "$p: unresolved libraries: $missing"
done

short_version=${version%.*}
if [ -x "$usr/bin/nvx7300ctl" ]; then
    text=$("$usr/bin/nvx7300ctl" --version 2>&1) || fail "nvx7300ctl --version exits non-zero: $text"
    grep -qF "$short_version" <<<"$text" && ok "nvx7300ctl --version: $text" \
        || fail "nvx7300ctl --version does not print $short_version: $text"
else
    echo "check-package: nvx7300ctl not built; running bslengine instead"
    # -h shows the banner and the help screen; the status is that of a run
    # that opened no port, so only the text tells.
    text=$("$usr/bin/bslengine" -h 2>&1 || true)
    grep -q 'NVX7300 Bootstrap Loader Engine' <<<"$text" && ok "bslengine -h runs" \
        || fail "bslengine -h: $text"
fi

# The window loads from the unpacked program with the QML modules the
# package depends on: a window that cannot load ends the program at once,
# a loaded one is still running when the time is up. Its per-user files go
# to the scratch folder.
window_home="$scratch/home"
mkdir -p "$window_home" && chmod 700 "$window_home"
status=0
(cd "$scratch" && env HOME="$window_home" XDG_DATA_HOME="$window_home/data" \
    XDG_CONFIG_HOME="$window_home/config" XDG_CACHE_HOME="$window_home/cache" \
    XDG_RUNTIME_DIR="$window_home" QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software \
    timeout 5 "$usr/bin/nvx7300toolkit" > "$scratch/window.log" 2>&1) || status=$?
if [ "$status" -ne 124 ]; then
    cat "$scratch/window.log" >&2
    fail "nvx7300toolkit ended with status $status instead of showing its window"
elif grep -Eq 'is not installed|failed to load component|QQmlApplicationEngine failed' "$scratch/window.log"; then
    cat "$scratch/window.log" >&2
    fail "nvx7300toolkit could not load its window"
else
    ok "nvx7300toolkit shows its window"
fi

# The virtual instrument serves its pty and stops cleanly on SIGTERM.
"$usr/bin/nvx7300-sim" > "$scratch/sim.out" 2> "$scratch/sim.err" &
sim_pid=$!
for _ in $(seq 50); do [ -s "$scratch/sim.out" ] && break; sleep 0.1; done
port=$(head -1 "$scratch/sim.out")
[ -n "$port" ] && [ -c "$port" ] || fail "nvx7300-sim printed no usable port: '$port'"
kill -TERM "$sim_pid"
if wait "$sim_pid"; then
    grep -q 'sessions' "$scratch/sim.err" || fail "nvx7300-sim printed no statistics"
else
    fail "nvx7300-sim did not stop cleanly"
fi
sim_pid=""

# TI-TXT through the scrambler and back comes out unchanged.
printf '@1000\n01 02 03 AA\nq\n' > "$scratch/plain.txt"
"$usr/bin/titxt-scramble" "$scratch/plain.txt" "$scratch/scrambled.txt" || fail "titxt-scramble failed"
"$usr/bin/titxt-scramble" --unscramble "$scratch/scrambled.txt" "$scratch/back.txt" \
    || fail "titxt-scramble --unscramble failed"
cmp -s "$scratch/plain.txt" "$scratch/scrambled.txt" && fail "titxt-scramble left the text plain"
cmp -s "$scratch/plain.txt" "$scratch/back.txt" || fail "titxt-scramble round trip changed the text"

if [ "$failures" -ne 0 ]; then
    echo "check-package: $failures problem(s) in $(basename "$deb")" >&2
    exit 1
fi
echo "check-package: $(basename "$deb") passed"
