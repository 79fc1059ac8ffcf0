#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, and
# only when one of them is missing, so that a second run costs nothing.
set -euo pipefail

packages=(
    # build
    cmake ninja-build g++ pkg-config ccache
    qtbase5-dev qtmultimedia5-dev libqt5multimedia5-plugins libqt5svg5
    libopus-dev zlib1g-dev
    # fuzzing
    clang libclang-rt-14-dev
    # formatting kept (make format, make format-check)
    clang-format
    # real audio server for the tests, speech for tests and benchmarks
    pulseaudio pulseaudio-utils espeak-ng sox
    # screenshots and desktop runs without a display
    xvfb xauth imagemagick x11-utils
    # CPU load for the test runs on a busy machine (tools/test-under-load.sh)
    stress-ng
    # plots of benchmark figures
    gnuplot-nox
    # Debian packages: build (dpkg-shlibdeps, dpkg-buildflags), check, and a
    # clean root filesystem to install them into (tools/package-test.sh)
    dpkg-dev fakeroot lintian appstream desktop-file-utils mmdebstrap systemd
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
