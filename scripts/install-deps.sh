#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need.
# Idempotent: packages already present are left alone. Works as root and,
# for other users, through sudo.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev libqt6svg6
  libudev-dev libsystemd-dev libcli11-dev nlohmann-json3-dev libsqlite3-dev dbus
  xvfb xauth imagemagick
  # The window's face (Arial's metrics), and ghostscript's fonts, whose
  # stand-in for Arial is taller, so that the layout test meets them too.
  fonts-liberation2 fonts-urw-base35
  clang clang-format libclang-rt-14-dev
  g++-mingw-w64-x86-64 wine wine64
  qemu-system-x86 busybox-static cpio file xz-utils zstd
  prometheus prometheus-node-exporter prometheus-alertmanager systemd lintian
  # The Cockpit page's browser test.
  cockpit-ws cockpit-bridge chromium
  # polkit deciding on the service's firmware jobs, in their test.
  polkitd
  # A desktop's notification service, which the window's notifications reach
  # in its test.
  dunst
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    sudo_cmd=(sudo)
  else
    echo "install-deps: need root or sudo to install: ${missing[*]}" >&2
    exit 1
  fi
fi

echo "install-deps: installing ${missing[*]}"
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
