#!/usr/bin/env bash
# Installs the package from `make package` into a fresh minimal Debian 12 root and runs the
# programs there: tintguard-cli --version, a bake (which loads FFmpeg through the helper), and
# the window on Qt's offscreen platform for a second. Not part of `make test`: it needs root,
# debootstrap and the Debian mirror apt is configured with, and nothing else from the network.
set -euo pipefail
cd "$(dirname "$0")/.."

cannot() {
  echo "try-package: cannot make a clean Debian 12 root here: $*"
  exit 2
}
fail() {
  echo "try-package: FAILED: $*"
  exit 1
}

deb=$(ls -t build/tintguard_*.deb 2>/dev/null | head -n 1 || true)
[ -n "$deb" ] || fail "no build/tintguard_*.deb; run make package first"
[ "$(id -u)" -eq 0 ] || cannot "debootstrap and chroot need root (sudo $0)"
command -v debootstrap >/dev/null || cannot "debootstrap is not installed (apt-get install debootstrap)"

# The first Debian archive apt knows, from deb822 .sources files or a classic sources.list.
mirror=$(
  {
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
      awk 'tolower($1) == "uris:" { for (i = 2; i <= NF; i++) print $i }'
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }'
  } | grep -v -- '-security' | grep -i debian | head -n 1 || true
)
[ -n "$mirror" ] || mirror=http://deb.debian.org/debian

root=$(mktemp -d /tmp/tintguard-root.XXXXXX)
chmod 755 "$root" # apt's download user must reach its cache inside
cleanup() {
  for m in "$root/dev" "$root/proc"; do
    mountpoint -q "$m" 2>/dev/null && umount -l "$m"
  done
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT

echo "try-package: making a Debian 12 root from $mirror (a few minutes)"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.log" 2>&1 ||
  { tail -n 5 "$root.log"; rm -f "$root.log"; cannot "debootstrap from $mirror failed"; }
rm -f "$root.log"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
# No services start inside the root.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"

cp "$deb" "$root/tmp/"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
echo "try-package: installing $(basename "$deb") and its dependencies"
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  "/tmp/$(basename "$deb")" >/dev/null || fail "apt-get could not install the package"

version=$(in_root tintguard-cli --version) || fail "tintguard-cli --version"
echo "try-package: $version"

if command -v ffmpeg >/dev/null; then
  ffmpeg -nostdin -loglevel error -f lavfi -i testsrc2=s=64x48:d=0.4:r=10 -c:v libx264 \
    -pix_fmt yuv420p "$root/tmp/clip.mp4"
  out=$(in_root tintguard-cli --bake /tmp/clip.mp4) || fail "a bake in the clean root: $out"
  [ -s "$root/tmp/clip_universal.mp4" ] || fail "the bake made no clip_universal.mp4: $out"
  echo "try-package: a bake ran"
fi

mkdir -p -m 700 "$root/tmp/runtime"
status=0
in_root env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp/runtime timeout 1 tintguard || status=$?
# timeout's 124: the window was still running after a second, as it should be.
[ "$status" -eq 124 ] || fail "the window ended with status $status within a second"
echo "try-package: the window ran for a second"
echo "try-package: OK"
