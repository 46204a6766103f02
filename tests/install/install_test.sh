#!/usr/bin/env bash
# cmake --install into a scratch DESTDIR for prefix /usr: exactly the expected files, both manual
# pages render without warnings, the CLI page names every flag --help lists, and the installed
# CLI finds its installed bake helper.
set -euo pipefail
build=$1
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null

expected="./usr/bin/tintguard
./usr/bin/tintguard-cli
./usr/libexec/tintguard/tintguard-bake
./usr/share/applications/tintguard.desktop
./usr/share/doc/tintguard/changelog.gz
./usr/share/doc/tintguard/copyright
./usr/share/icons/hicolor/scalable/apps/tintguard.svg
./usr/share/man/man1/tintguard-cli.1.gz
./usr/share/man/man1/tintguard.1.gz
./usr/share/mime/packages/tintguard.xml
./usr/share/tintguard/appicon_gpt_256.png
./usr/share/tintguard/hero.png
./usr/share/tintguard/hero@2x.png"
actual=$(cd "$dest" && find . \( -type f -o -type l \) | LC_ALL=C sort)
diff <(echo "$expected") <(echo "$actual") || fail "installed files differ from the list above"

desktop=$dest/usr/share/applications/tintguard.desktop
grep -qx 'Exec=tintguard %F' "$desktop" || fail "desktop entry: no Exec=tintguard %F"
for type in video/quicktime video/mp4 video/x-matroska video/webm image/jpeg image/png image/heic image/tiff image/webp; do
  grep -q "^MimeType=.*$type;" "$desktop" || fail "desktop entry: MimeType lacks $type"
done

# Cameras' .hif photos are HEIF to the desktop too, so that the entry offers to open them.
glob=$(xmllint --xpath 'string(//*[local-name()="mime-type"][@type="image/heif"]/*[local-name()="glob"]/@pattern)' \
  "$dest/usr/share/mime/packages/tintguard.xml") || fail "the MIME package does not parse"
[ "$glob" = "*.hif" ] || fail "the MIME package does not name *.hif as image/heif"

for page in tintguard tintguard-cli; do
  file=$dest/usr/share/man/man1/$page.1.gz
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null) || fail "man -l $page failed"
  [ -z "$warnings" ] || fail "man -l $page warns: $warnings"
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$file" | grep -q "^ *$page - " || fail "$page(1) has no NAME line"
done

cli=$dest/usr/bin/tintguard-cli
page=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$dest/usr/share/man/man1/tintguard-cli.1.gz")
flags=$("$cli" --help | sed -n '/^Options:/,$p' | grep -oE -- '(^|[ ,])--?[a-z][a-z0-9-]*' | tr -d ' ,' | sort -u)
[ -n "$flags" ] || fail "no flags read from --help"
for flag in $flags; do
  grep -qE -- "(^|[^a-z-])$flag([^a-z-]|$)" <<<"$page" || fail "tintguard-cli(1) does not name $flag"
done

# The installed tree finds its own helper: a bake from the DESTDIR copy.
ffmpeg -nostdin -loglevel error -f lavfi -i testsrc2=s=64x48:d=0.4:r=10 -c:v libx264 \
  -pix_fmt yuv420p "$dest/clip.mp4"
out=$(env -u TINTGUARD_BAKE_HELPER "$cli" --json --bake "$dest/clip.mp4") || fail "bake failed: $out"
grep -q '"outcome":"added"' <<<"$out" || fail "bake did not add: $out"
[ -s "$dest/clip_universal.mp4" ] || fail "no clip_universal.mp4"
echo "install: $(wc -l <<<"$actual") files, pages and flags checked"
