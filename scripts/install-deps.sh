#!/usr/bin/env bash
# Installs the Debian packages Veltra needs, on Debian 12 or 13:
#   install-deps.sh               what building and running the program need (make run)
#   install-deps.sh --test        that, and what the tests need besides (make test)
#   install-deps.sh --packages P...  the packages named (NAME or NAME:ARCH): the other
#                                 scripts' one way to install what they need
# Every name exists on both releases. Skips what is already present; runs apt-get
# update only when something is missing; refuses a plan that would remove any of this
# machine's packages; uses sudo when not run as root.
set -euo pipefail

# Building and running: the compiler, Qt 6 with its platform plugins, the four OpenCV
# modules the program links (their own -dev packages: libopencv-dev would bring every
# module, its GUI module on Qt 5 among them), libjpeg-turbo for a camera's Motion-JPEG
# frames (and its TurboJPEG API, with which the benchmark makes camera-like frames),
# and a font for the window's Chinese texts.
packages=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
  libopencv-core-dev libopencv-imgproc-dev libopencv-videoio-dev libopencv-imgcodecs-dev
  libjpeg-dev libturbojpeg0-dev
  fonts-wqy-microhei
)

if [ "${1:-}" = "--packages" ]; then
  shift
  packages=("$@")
elif [ "${1:-}" = "--test" ]; then
  packages+=(
    # Real-window tests: an X server, and a window manager that resizes, maximises
    # and restores.
    xvfb xauth openbox
    # The virtual camera of the end-to-end tests: a private PipeWire session, its V4L2
    # layer, a frame source built on libpipewire, and X test input to click the window.
    pipewire pipewire-bin pipewire-v4l2 wireplumber dbus libpipewire-0.3-dev
    libx11-dev libxtst-dev
    # The Debian package: its library dependencies read off the binaries, the
    # validators of its desktop entry and software-centre metadata, and Debian's own
    # checks of a package and of its binaries' hardening.
    dpkg-dev file appstream desktop-file-utils lintian devscripts
    # clang and its runtime build the fuzz target; the sanitizer build uses g++'s own.
    clang libclang-rt-dev
  )
elif [ -n "${1:-}" ]; then
  echo "usage: install-deps.sh [--test | --packages PACKAGE...]" >&2
  exit 2
fi

# Installed for this machine's own architecture, unless another is named: a
# cross-build's arm64 copy does not count for the native build.
arch=$(dpkg --print-architecture)
missing=()
for p in "${packages[@]}"; do
  want=$arch
  [[ "$p" != *:* ]] || want=${p##*:}
  dpkg-query -W -f='${Architecture} ${Status}\n' "$p" 2>/dev/null \
    | grep -qE "^($want|all) install ok installed$" || missing+=("$p")
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
if "${sudo[@]}" apt-get install -s -q --no-install-recommends "${missing[@]}" | grep -q '^Remv'; then
  echo "install-deps: installing ${missing[*]} would remove packages of this machine:" >&2
  "${sudo[@]}" apt-get install -s -q --no-install-recommends "${missing[@]}" | grep '^Remv' >&2
  exit 1
fi
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
