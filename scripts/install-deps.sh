#!/usr/bin/env bash
# Installs the Debian 12 packages Tintguard builds, tests and runs with.
# Only what is missing is installed; a machine that has everything is left alone.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config make git
  # core, movie
  uuid-dev
  # bake
  libavformat-dev libavcodec-dev libavfilter-dev libavutil-dev libswscale-dev libswresample-dev
  # image
  libjpeg62-turbo-dev libpng-dev libtiff-dev libheif-dev liblcms2-dev
  # window, cli; the window's pictures and the manual pages are rendered at build time
  qt6-base-dev qt6-wayland nlohmann-json3-dev libcli11-dev librsvg2-bin scdoc
  # make install, make package: the manual reader, shared-library dependencies, package checks
  man-db dpkg-dev lintian
  # tests: oracles, fuzzing, a real X server
  libgtest-dev libgmock-dev ffmpeg libimage-exiftool-perl imagemagick libjpeg-turbo-progs mediainfo
  # tests: WebP photos made, decoded and checked (cwebp, img2webp, webpmux, dwebp, webpinfo)
  webp
  # tests: counting the folder listings a batch makes
  strace
  # tests: reading the installed MIME package
  libxml2-utils
  # tests: the README's parallel examples
  parallel
  # tests: copy-on-write and shared-extent file systems in loop images (full-disk shift)
  btrfs-progs xfsprogs
  # tests: GStreamer as a second decoder of the colour a movie states
  gstreamer1.0-tools gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav
  # tests: a second Matroska muxer and reader
  mkvtoolnix
  # tests: an interrupted edit found again on a remounted exFAT image
  exfatprogs exfat-fuse
  clang libclang-rt-14-dev xvfb xauth
  # tests: a private session bus for the file-manager reveal
  dbus-daemon dbus-session-bus-common
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
