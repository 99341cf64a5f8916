#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need.
# Skips what is already present; runs apt-get update only when something is missing.
set -euo pipefail

packages=(
  cmake g++ make
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
  libopencv-dev
  # A camera's Motion-JPEG frames are decoded by libjpeg-turbo straight to BGR.
  libturbojpeg0-dev
  xvfb xauth
  # The virtual camera of the end-to-end tests: a private PipeWire session, its V4L2
  # layer, a frame source built on libpipewire, and X test input to click the window.
  pipewire pipewire-bin pipewire-v4l2 wireplumber dbus libpipewire-0.3-dev pkg-config
  libx11-dev libxtst-dev
  # A window manager for the tests that resize, maximise and restore the window.
  openbox
  # The Debian package: its library dependencies read off the binaries, the
  # validators of its desktop entry and software-centre metadata, and Debian's own
  # checks of a package and of its binaries' hardening.
  dpkg-dev file appstream desktop-file-utils lintian devscripts
  fonts-wqy-microhei
  # clang and its runtime build the fuzz target; the sanitizer build uses g++'s own.
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
