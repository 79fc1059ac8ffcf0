#!/usr/bin/env bash
# Checks that the Debian packages of BUILD (made by `make package`) install and
# work on a clean Debian 12 machine:
#   - lintian on every package (errors fail, warnings are listed);
#   - a clean bookworm root filesystem from Debian's archive (mmdebstrap; the
#     pristine tarball is cached in BUILD/package-test/, so a second run only
#     unpacks it), the packages installed there with apt;
#   - inside it: every installed program answers --help and --version, and
#     `podium -s -n` serves a loopback port, admits the scripted client run
#     from outside (BUILD/bin/classroom-client), and ends on SIGTERM with a log
#     whose last line is "SERVER: Servers Closed.";
#   - desktop-file-validate and appstreamcli validate on what was installed;
#   - systemd-analyze verify on the installed template unit;
#   - a small program built on this machine with find_package(classroom)
#     against the unpacked library and development packages, and pkg-config.
# Needs root (chroot, mounts). Usage: tools/package-test.sh [BUILD]
# PACKAGE_TEST_KEEP_ROOT=1 keeps the root filesystem afterwards for a look.
set -euo pipefail

build=$(realpath "${1:-build-package}")
work="$build/package-test"
cache="$work/bookworm-apt.tar"
archives="$work/apt-archives"
root="$work/root"

step() { printf '\n== [%ss] %s\n' "$SECONDS" "$*"; }
fail() { printf 'package-test: FAILED: %s\n' "$*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "needs root (chroot and mounts)"
shopt -s nullglob
debs=("$build"/*.deb)
[ ${#debs[@]} -gt 0 ] || fail "no packages in $build (run make package)"
client="$build/bin/classroom-client"
[ -x "$client" ] || fail "no $client"

server_pid=""
# Unmounts whatever is mounted under the root filesystem (also what a killed
# earlier run left), deepest first, then removes it without ever crossing
# into a mount: /dev there is the host's own.
mounts_under_root() { findmnt -rn -o TARGET | awk -v r="$root/" 'index($0, r) == 1' | sort -r; }
remove_root() {
    [ -d "$root" ] || return 0
    mounts_under_root | while read -r target; do
        umount -l "$target"
    done
    if [ -n "$(mounts_under_root)" ]; then
        echo "package-test: $root still has mounts; left in place" >&2
        return 1
    fi
    rm -rf --one-file-system "$root"
}
cleanup() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill -KILL "$server_pid" 2>/dev/null || true
    fi
    if [ "${PACKAGE_TEST_KEEP_ROOT:-0}" = 1 ]; then
        mounts_under_root | while read -r target; do umount -l "$target"; done
        echo "package-test: root filesystem kept in $root"
    else
        remove_root || true
    fi
}
trap cleanup EXIT

SECONDS=0
step "lintian"
lintian_out="$work/lintian.txt"
mkdir -p "$work"
lintian --fail-on error "${debs[@]}" >"$lintian_out" 2>&1 \
    || { cat "$lintian_out"; fail "lintian reports errors"; }
grep -v '^running with root' "$lintian_out" || true
echo "lintian: no errors ($(grep -c '^W:' "$lintian_out" || true) warnings)"

step "clean Debian 12 root filesystem"
if [ ! -s "$cache" ]; then
    mmdebstrap --variant=apt --mode=root --format=tar bookworm "$cache.partial" http://deb.debian.org/debian
    mv "$cache.partial" "$cache"
else
    echo "cached: $cache"
fi
remove_root || fail "cannot clear $root"
mkdir -p "$root" "$archives/partial"
tar -C "$root" -xf "$cache"
cp /etc/resolv.conf "$root/etc/resolv.conf"
for fs in proc dev; do
    mount --bind "/$fs" "$root/$fs"
done
# Downloaded packages outlive the root filesystem, so a second run downloads nothing.
mount --bind "$archives" "$root/var/cache/apt/archives"
rm -f "$root/etc/apt/apt.conf.d/docker-clean"
# A root filesystem thrown away after the run needs no fsync per file.
echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/package-test-unsafe-io"

step "apt install of the packages"
mkdir -p "$root/tmp/debs"
cp "${debs[@]}" "$root/tmp/debs/"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
inside=()
for deb in "${debs[@]}"; do inside+=("/tmp/debs/$(basename "$deb")"); done
in_root apt-get update -q
in_root DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${inside[@]}"
in_root dpkg-query -W -f '${Package} ${Version} ${Status}\n' libwirelib1 libcodecwrap1 \
    libvoicepipe1 libclassroom-dev podium pupil podium-server classroom-tools

step "every installed program explains itself"
for program in podium pupil classroom-client teacher-console; do
    [ -x "$root/usr/bin/$program" ] || fail "/usr/bin/$program is not installed"
    out=$(in_root timeout 20 "/usr/bin/$program" --help </dev/null) \
        || fail "$program --help exits with $?"
    grep -qi "usage" <<<"$out" || fail "$program --help prints no usage"
    version=$(in_root timeout 20 "/usr/bin/$program" --version </dev/null) \
        || fail "$program --version exits with $?"
    grep -q '[0-9]\.[0-9]' <<<"$version" || fail "$program --version prints no version"
    echo "$program: --help and --version answer ($version)"
done
for page in podium pupil classroom-client teacher-console; do
    [ -s "$root/usr/share/man/man1/$page.1.gz" ] || fail "no manual page for $page"
done
echo "manual pages: installed"

step "desktop entries, icons and AppStream metainfo"
for program in podium pupil; do
    desktop="$root/usr/share/applications/$program.desktop"
    metainfo="$root/usr/share/metainfo/org.example.classroom.$program.metainfo.xml"
    [ -s "$root/usr/share/icons/hicolor/scalable/apps/$program.svg" ] || fail "no icon for $program"
    desktop-file-validate "$desktop" || fail "desktop-file-validate $desktop"
    appstreamcli validate --no-net --pedantic "$metainfo" || fail "appstreamcli validate $metainfo"
done

step "podium -s -n in the root filesystem admits a client from outside"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$root/var/tmp/podium-test"
server_err="$work/podium.stderr"
# The outer timeout is a safety net only: the server is stopped with SIGTERM
# below, which timeout passes on to it.
timeout -s TERM 300 chroot "$root" env -i PATH=/usr/bin:/bin LOGS_DIRECTORY=/var/tmp/podium-test \
    /usr/bin/podium -s -n "-l127.0.0.1:$port" >"$server_err" 2>&1 </dev/null &
server_pid=$!
for _ in $(seq 1 300); do
    grep -q "clients connect to" "$server_err" && break
    kill -0 "$server_pid" 2>/dev/null || { cat "$server_err"; fail "podium ended at start"; }
    sleep 0.1
done
grep -q "clients connect to TCP 127.0.0.1:$port" "$server_err" \
    || { cat "$server_err"; fail "podium does not announce 127.0.0.1:$port"; }
grep "clients connect to" "$server_err"

client_out="$work/client.out"
"$client" -c "127.0.0.1:$port" -n package-test --text "installed and admitted" --voice 5 \
    --stay 1 >"$client_out" 2>&1 || { cat "$client_out"; fail "the client was not served"; }
cat "$client_out"
grep -q '^ready as "package-test"' "$client_out" || fail "the client was not admitted"
grep -q 'text from "package-test": installed and admitted' "$client_out" \
    || fail "the server did not relay the client's text"

kill -TERM "$server_pid"
status=0
wait "$server_pid" || status=$?
server_pid=""
[ "$status" -eq 0 ] || { cat "$server_err"; fail "podium exits with $status after SIGTERM"; }
log="$root/var/tmp/podium-test/logpodium.log"
[ -s "$log" ] || fail "no log at $log"
last=$(tr -d '\r' <"$log" | grep -v '^$' | tail -n 1)
echo "last log line: $last"
[[ "$last" =~ ^SERVER:\ +Servers\ Closed\.$ ]] || fail "the log does not end with \"Servers Closed.\""

step "systemd-analyze verify on the installed unit"
unit="$root/lib/systemd/system/podium-server@.service"
[ -s "$unit" ] || fail "no $unit"
# The instance is what an administrator would enable; --man=no because the
# root filesystem has no manual page reader.
systemd-analyze verify --root="$root" --man=no podium-server@room1.service \
    || fail "systemd-analyze verify"
echo "systemd-analyze verify: podium-server@room1.service passes"
systemd-analyze security --offline=yes --root="$root" podium-server@room1.service 2>/dev/null \
    | tail -n 1 || true

step "a program builds against the development package (CMake and pkg-config)"
stage="$work/dev-stage"
rm -rf "$stage"
mkdir -p "$stage/consumer"
for deb in "$build"/libwirelib1_*.deb "$build"/libcodecwrap1_*.deb "$build"/libvoicepipe1_*.deb \
    "$build"/libclassroom-dev_*.deb; do
    dpkg-deb -x "$deb" "$stage"
done
cat >"$stage/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(consumer LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(classroom 1 REQUIRED)
add_executable(consumer main.cpp)
target_link_libraries(consumer PRIVATE classroom::voicepipe classroom::wirelib)
CMAKE
cat >"$stage/consumer/main.cpp" <<'CPP'
#include <mabstractsocket.h>
#include <mm.h>
#include <cstdio>
int main()
{
    const QAudioFormat format = MM::defaultAudioFormat();
    const quint32 back = MAbstractSocket::byteArrayToInt(MAbstractSocket::intToByteArray(4060));
    std::printf("%d Hz, %d channels, %u\n", format.sampleRate(), format.channelCount(), back);
    return format.sampleRate() == 48000 && back == 4060 ? 0 : 1;
}
CPP
libdir=$(dirname "$(find "$stage/usr/lib" -name 'libvoicepipe.so' | head -n 1)")
cmake -S "$stage/consumer" -B "$stage/consumer/build" -G Ninja -DCMAKE_PREFIX_PATH="$stage/usr" \
    >"$stage/consumer.log" 2>&1 && cmake --build "$stage/consumer/build" >>"$stage/consumer.log" 2>&1 \
    || { cat "$stage/consumer.log"; fail "a program does not build with find_package(classroom)"; }
LD_LIBRARY_PATH="$libdir" "$stage/consumer/build/consumer" || fail "the consumer does not run"
PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --exists --print-errors voicepipe wirelib codecwrap \
    || fail "pkg-config cannot resolve the libraries"
echo "pkg-config: voicepipe $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --modversion voicepipe)," \
    "$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags voicepipe)"

step "package-test: passed in ${SECONDS}s"
