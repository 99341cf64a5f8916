#!/usr/bin/env bash
# Builds, once, the Windows libraries Veltra links, from Debian's own source packages,
# with Debian's MinGW-w64, and prints the CMake list of their prefixes on its last line
# (and writes it to ~/.cache/veltra/windows/roots, where CMake looks for it):
#   scripts/windows-deps.sh
# Qt base (Core, Gui, Widgets, Test and the windows platform plugin), libjpeg-turbo and
# libpng (static) and OpenCV's core, imgproc, imgcodecs and videoio (DirectShow) go to
# ~/.cache/veltra/windows/NAME-VERSION-OPTIONS, each kept until its source version or
# its options change. A first run takes most of an hour on two cores; later ones find
# everything in place. Installs what it needs (apt-get; sudo when not root). The
# sources come through a deb-src entry for the mirror this machine's apt sources name,
# kept in a private apt folder inside the cache: the machine's own sources are left as
# they are.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/veltra/windows
toolchain=$top/cmake/mingw-w64-x86_64.cmake
jobs=$(nproc)
triple=x86_64-w64-mingw32

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive

say() { echo "windows-deps: $*" >&2; }

# What the cross-build needs besides the native build's packages (Qt's host tools,
# moc, rcc and uic, among them): the compilers, windres and objdump, zlib for Windows,
# nasm for libjpeg-turbo's SIMD code, Wine and an X server to run the tests, and NSIS
# for the installer.
packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-tools libz-mingw-w64-dev nasm cmake ninja-build dpkg-dev
  wine xvfb xauth nsis zip unzip
)
"$top/scripts/install-deps.sh" >&2
"$top/scripts/install-deps.sh" --packages "${packages[@]}" >&2

# apt with a deb-src list and state of its own, brought up to date only when a library
# has to be built: with everything in the cache, no network is needed.
aptdir=$cache/apt
apt_private=(-o Dir::Etc::SourceList="$aptdir/sources.list" -o Dir::Etc::SourceParts="$aptdir/sources.list.d"
  -o Dir::State::Lists="$aptdir/lists" -o Dir::Cache="$aptdir/cache"
  -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o APT::Sandbox::User=root)
lists_read=""
read_lists() {
  [ -z "$lists_read" ] || return 0
  lists_read=1
  # Every entry of the machine's own, each for source packages as well (the updates
  # and security suites among them).
  mkdir -p "$aptdir/lists/partial" "$aptdir/cache/archives/partial" "$aptdir/sources.list.d"
  rm -f "$aptdir"/sources.list.d/*
  sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list 2>/dev/null > "$aptdir/sources.list" || true
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    sed 's/^Types:.*/Types: deb-src/' "$f" > "$aptdir/sources.list.d/$(basename "$f")"
  done
  # Offline, the lists of an earlier run still name the versions built then.
  apt-get "${apt_private[@]}" update -q >&2 || [ -n "$(ls "$aptdir"/lists/*Sources* 2>/dev/null)" ]
}

# The source versions the archive has, newest first: the same sources as the native
# libraries'. A mirror may list a version whose files it lacks; the next one is taken.
source_versions() { # source_versions SOURCE-PACKAGE
  apt-cache "${apt_private[@]}" showsrc --only-source "$1" | awk '/^Version:/ {print $2}' | sort -rV | uniq
}

# apt has checked the files against the archive's signed lists; the .dsc's own
# signature (a maintainer's key, not on this machine) is not checked again.
fetch_source() { # fetch_source SOURCE-PACKAGE VERSION DIR: the unpacked source in DIR
  local name=$1 version=$2 dir=$3 work
  work=$cache/src/.fetch-$name
  rm -rf "$work" && mkdir -p "$work"
  if ! (cd "$work" && apt-get "${apt_private[@]}" source -q --download-only "$name=$version" >&2 \
    && dpkg-source --no-check -x ./*.dsc unpacked >&2); then
    rm -rf "$work"
    return 1
  fi
  rm -rf "$dir" && mv "$work/unpacked" "$dir" && rm -rf "$work"
}

# What makes a library's build differ besides its source and options: the compilers
# (their packages' versions), the toolchain file's settings (its comments left out) and
# how its source paths are mapped.
compilers=$(dpkg-query -W -f='${Package} ${Version}\n' gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix \
  mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 nasm)
settings=$(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$toolchain")
mapping="-ffile-prefix-map to /usr/src/NAME-VERSION; the cache folder out of the configuration text"

# build_hash OPTIONS...: what names a build besides its library and source version.
build_hash() {
  printf '%s\n' "$@" "$compilers" "$settings" "$mapping" | sha256sum | cut -c1-12
}

# cmake_cross NAME-VERSION SOURCE BUILD PREFIX OPTIONS...: the compiler is started
# through a launcher that maps the source and build folders to /usr/src/NAME-VERSION, so
# that no file name the library keeps (its assertions', its debug information's) names
# this machine's cache; the library's own record of its flags stays free of them too.
cmake_cross() {
  local label=$1 src=$2 build=$3 prefix=$4
  shift 4
  local launcher="$top/scripts/prefix-map-cc;$src=/usr/src/$label;$build=/usr/src/$label/build;--"
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_C_COMPILER_LAUNCHER="$launcher" -DCMAKE_CXX_COMPILER_LAUNCHER="$launcher" \
    -DVELTRA_WINDOWS_ROOTS="$roots" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" "$@" >&2
  # OpenCV keeps its configuration as text in its core library: its build information
  # (the libraries it found, where it installs to) and the folders it looks for data in.
  local f
  for f in "$build/modules/core/version_string.inc" "$build/opencv_data_config.hpp"; do
    [ -f "$f" ] && sed -i "s|$cache|/usr/src|g" "$f"
  done
  say "building $(basename "$prefix") ($(ninja -C "$build" -n 2>/dev/null | tail -1 | sed -E 's/^\[[0-9]+\/([0-9]+)\].*/\1/') steps)"
  # The step reached, every 30 s; the whole output in the build's log.
  ninja -C "$build" -j "$jobs" install > "$build/build.log" 2>&1 &
  local pid=$!
  while kill -0 $pid 2>/dev/null; do
    sleep 30
    tail -c 1000000 "$build/build.log" | grep -oE '^\[[0-9]+/[0-9]+\]' | tail -1 | sed "s|^|windows-deps: $(basename "$prefix") |" >&2 || true
  done
  if ! wait $pid; then
    tail -40 "$build/build.log" >&2
    say "building $(basename "$prefix") failed; the whole log: $build/build.log"
    exit 1
  fi
}

roots=""
declare -A prefix_of
# build_once NAME SOURCE-PACKAGE VERSION OPTIONS...: builds NAME from that version of
# its source, or, with VERSION empty, from the newest the archive lists. A build already
# in the cache is kept, the newest version first, even when the archive has moved on
# (a Debian point release): VELTRA_WINDOWS_UPDATE=1 builds the archive's newest.
build_once() {
  local name=$1 package=$2 wanted=$3
  shift 3
  local hash prefix="" version
  hash=$(build_hash "$@")
  if [ -n "$wanted" ]; then
    [ -f "$cache/$name-${wanted//[:~]/_}-$hash/.complete" ] && prefix=$cache/$name-${wanted//[:~]/_}-$hash
  elif [ "${VELTRA_WINDOWS_UPDATE:-0}" != 1 ]; then
    local p
    for p in "$cache/$name"-*-"$hash"; do [ -f "$p/.complete" ] && echo "$p"; done > "$cache/.found"
    prefix=$(sort -V "$cache/.found" | tail -1)
  fi
  if [ -z "$prefix" ]; then
    local versions=$wanted start src=""
    start=$(date +%s)
    read_lists
    [ -n "$versions" ] || versions=$(source_versions "$package")
    for version in $versions; do
      [ -f "$cache/$name-${version//[:~]/_}-$hash/.complete" ] && { prefix=$cache/$name-${version//[:~]/_}-$hash; break; }
      src=$cache/src/$name-${version//[:~]/_}
      [ -d "$src" ] && break
      say "fetching the source of $package $version"
      fetch_source "$package" "$version" "$src" && break
      src=""
    done
    if [ -z "$prefix" ]; then
      [ -n "$src" ] || { say "no source of $package could be fetched"; exit 1; }
      prefix=$cache/$name-${version//[:~]/_}-$hash
      # A build that was cut short goes on where it stopped.
      local build=$cache/build/$(basename "$prefix")
      rm -rf "$prefix"
      cmake_cross "$name-${version//[:~]/_}" "$src" "$build" "$prefix" "$@"
      touch "$prefix/.complete"
      rm -rf "$build"
      say "$name $version done in $(( $(date +%s) - start )) s"
    fi
  fi
  prefix_of[$name]=$prefix
  roots="${roots:+$roots;}$prefix"
}

# libjpeg-turbo: the libjpeg API decodes camera frames, TurboJPEG makes the tests' and
# the benchmark's JPEGs; static, so that the program and OpenCV each carry their own.
build_once libjpeg-turbo libjpeg-turbo "" \
  -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=ON -DWITH_SIMD=ON -DREQUIRE_SIMD=ON

# libpng for OpenCV's PNG files (image sequences, the replay tool's last frame): its own
# source, since Debian's OpenCV source leaves its bundled copy out.
build_once libpng libpng1.6 "" \
  -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -DPNG_TOOLS=OFF -DPNG_HARDWARE_OPTIMIZATIONS=ON \
  -DZLIB_ROOT=/usr/$triple

# Qt base: what the program and its tests use, and nothing that would need libraries
# this machine has no Windows build of. Qt's host tools are Debian's own, of the same
# version. The +dfsg source lacks the tablet (wintab) headers, so tablet events are off;
# Direct2D stays on, as the windows plugin's font database needs it to link.
# Its version is that of the host tools.
build_once qtbase qt6-base "$(dpkg-query -W -f='${source:Version}' qt6-base-dev-tools)" \
  -DBUILD_SHARED_LIBS=ON -DQT_HOST_PATH=/usr \
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/"$(dpkg-architecture -qDEB_HOST_MULTIARCH)"/cmake \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF -DQT_BUILD_TOOLS_WHEN_CROSSCOMPILING=OFF \
  -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_xml=OFF -DFEATURE_concurrent=OFF \
  -DFEATURE_printsupport=OFF -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_vulkan=OFF -DFEATURE_tabletevent=OFF \
  -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF -DFEATURE_system_freetype=OFF \
  -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_doubleconversion=OFF \
  -DFEATURE_system_libb2=OFF -DFEATURE_zstd=OFF

# OpenCV: the four modules, shared, with DirectShow for cameras (its Media Foundation
# back-end does not compile with MinGW-w64) and the image-sequence reader; JPEG and PNG
# from the builds above, zlib from MinGW's package; nothing optional besides. Installed
# in the layout of Debian's own (bin, lib, include/opencv4), not in OpenCV's
# per-compiler folders for Windows.
jpeg_prefix=${prefix_of[libjpeg-turbo]}
png_prefix=${prefix_of[libpng]}
build_once opencv opencv "" \
  -DBUILD_LIST=core,imgproc,imgcodecs,videoio -DBUILD_SHARED_LIBS=ON \
  -DWITH_DSHOW=ON -DWITH_MSMF=OFF -DWITH_OBSENSOR=OFF -DWITH_FFMPEG=OFF -DWITH_GSTREAMER=OFF \
  -DWITH_IPP=OFF -DWITH_ITT=OFF -DWITH_OPENCL=OFF -DWITH_EIGEN=OFF -DWITH_LAPACK=OFF -DWITH_PROTOBUF=OFF \
  -DWITH_TIFF=OFF -DWITH_WEBP=OFF -DWITH_OPENJPEG=OFF -DWITH_JASPER=OFF -DWITH_OPENEXR=OFF -DWITH_IMGCODEC_HDR=OFF \
  -DWITH_ADE=OFF -DWITH_QUIRC=OFF -DWITH_VTK=OFF -DWITH_GTK=OFF -DWITH_WIN32UI=OFF -DWITH_1394=OFF -DWITH_DIRECTX=OFF \
  -DWITH_JPEG=ON -DBUILD_JPEG=OFF -DJPEG_INCLUDE_DIR="$jpeg_prefix/include" -DJPEG_LIBRARY="$jpeg_prefix/lib/libjpeg.a" \
  -DWITH_PNG=ON -DBUILD_PNG=OFF -DPNG_PNG_INCLUDE_DIR="$png_prefix/include" -DPNG_LIBRARY="$png_prefix/lib/libpng16.a" \
  -DBUILD_ZLIB=OFF -DZLIB_ROOT=/usr/$triple \
  -DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_opencv_apps=OFF -DBUILD_JAVA=OFF \
  -DBUILD_opencv_python3=OFF -DBUILD_DOCS=OFF -DVIDEOIO_ENABLE_PLUGINS=OFF -DOPENCV_GENERATE_PKGCONFIG=OFF \
  -DCV_TRACE=OFF -DINSTALL_CREATE_DISTRIB=OFF \
  -DOPENCV_INSTALL_BINARIES_PREFIX= -DOPENCV_BIN_INSTALL_PATH=bin -DOPENCV_LIB_INSTALL_PATH=lib \
  -DOPENCV_CONFIG_INSTALL_PATH=lib/cmake/opencv4 -DOPENCV_INCLUDE_INSTALL_PATH=include/opencv4

# Also where a build configured with the "windows" preset alone finds them.
echo "$roots" > "$cache/roots"
echo "$roots"
