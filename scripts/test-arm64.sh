#!/usr/bin/env bash
# Cross-builds Veltra for arm64 through Debian's multiarch and runs its headless tests
# under qemu-aarch64 (user-mode emulation; the arm64 loader and libraries come from
# multiarch, so nothing is registered with the kernel):
#   scripts/test-arm64.sh [BUILD-DIR]        (default build-arm64)
# Installs what it needs (apt-get; sudo when not root), and adds arm64 to dpkg's
# architectures if it is not there yet.
#
# OpenCV's image-file and video modules cannot be installed for arm64 beside this
# machine's own: they depend, through GDAL, on libgdal32, libarmadillo11,
# libhdf4-0-alt, libogdi4.1 and gdal-plugins, none of which Debian 12 marks
# Multi-Arch: same. Those packages alone are unpacked from Debian's arm64 archive into
# a folder of the build; everything else they need is installed through multiarch.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-arm64}
case "$build" in /*) ;; *) build=$top/$build ;; esac
sysroot=$build/sysroot
libdir=/usr/lib/aarch64-linux-gnu

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive

"$top/scripts/install-deps.sh" --test # the host's own build tools, Qt's among them

co_installable=(
  crossbuild-essential-arm64 qemu-user
  qt6-base-dev:arm64 qt6-qpa-plugins:arm64 libgl-dev:arm64
  libopencv-core-dev:arm64 libopencv-imgproc-dev:arm64
  libjpeg-dev:arm64 libturbojpeg0-dev:arm64
)
unpacked=(
  libopencv-imgcodecs406 libopencv-imgcodecs-dev libopencv-videoio406 libopencv-videoio-dev
  libgdal32 libarmadillo11 libhdf4-0-alt libogdi4.1 gdal-plugins
)

if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  "${sudo[@]}" dpkg --add-architecture arm64
  "${sudo[@]}" apt-get update -q
fi
# What the unpacked libraries need at run time, for arm64, less what is unpacked.
runtime=()
for p in libopencv-imgcodecs406 libopencv-videoio406 libgdal32 libarmadillo11 libhdf4-0-alt libogdi4.1; do
  mapfile -t -O "${#runtime[@]}" runtime < <(apt-cache depends --no-recommends --no-suggests --no-conflicts \
    --no-breaks --no-replaces --no-enhances "$p:arm64" | awk '$1 ~ /Depends:$/ && $2 !~ /^</ {print $2}')
done
wanted=()
for p in "${co_installable[@]}" "${runtime[@]}"; do
  name=${p%:arm64}
  skip=0
  for u in "${unpacked[@]}"; do [ "$name" = "$u" ] && skip=1; done
  [ $skip -eq 1 ] || wanted+=("$p")
done
mapfile -t wanted < <(printf '%s\n' "${wanted[@]}" | sort -u)
"$top/scripts/install-deps.sh" --packages "${wanted[@]}"

if [ ! -f "$sysroot/.complete" ]; then
  rm -rf "$sysroot" "$build/debs" && mkdir -p "$sysroot" "$build/debs"
  (cd "$build/debs" && apt-get download -q "${unpacked[@]/%/:arm64}")
  for deb in "$build"/debs/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
  touch "$sysroot/.complete"
fi

# The unpacked libraries' folders (libogdi4.1 puts its library in /usr/lib itself).
# The tests run under the emulator, CTest's and the replay test's child alike.
unpackedLibs=$sysroot$libdir:$sysroot/usr/lib
emulator="qemu-aarch64;-E;LD_LIBRARY_PATH=$unpackedLibs"
PKG_CONFIG_LIBDIR=$libdir/pkgconfig:/usr/share/pkgconfig \
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
  -DCMAKE_C_COMPILER=aarch64-linux-gnu-gcc -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ \
  -DCMAKE_PREFIX_PATH="$sysroot/usr" -DCMAKE_CXX_FLAGS="-isystem $sysroot/usr/include/opencv4" \
  -DCMAKE_EXE_LINKER_FLAGS="-Wl,-rpath-link,$unpackedLibs" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/"$(dpkg-architecture -qDEB_HOST_MULTIARCH)"/cmake \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$emulator" -DVELTRA_CAMERA_TESTS=OFF

tests=(tst_mask tst_tracking tst_overlay tst_jpeg tst_replay tst_state tst_fuzz_regressions)
cmake --build "$build" -j "$(nproc)" --target veltra veltra-replay "${tests[@]}"
file -b "$build/src/app/veltra" | grep -q 'ARM aarch64' || { echo "test-arm64: veltra is not an arm64 binary" >&2; exit 1; }
regex=$(IFS='|'; echo "^(${tests[*]})\$")
cd "$build" && ctest --output-on-failure -R "$regex"
