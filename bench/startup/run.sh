#!/usr/bin/env bash
# Start-up cost as a user meets it: whole tintguard-cli runs, process start included, each timed
# from outside over many runs, against /bin/true and a small C program doing the same open,
# pwrite and fsync as the 2-byte patch, all in the same run. Also the window's launch to its
# first painted frame. TG_BENCH_BEFORE=<build dir of an older tree> adds its figures beside ours.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${TG_BENCH_BUILD:-build}
RUNS=${TG_BENCH_RUNS:-41}
WORK=$(mktemp -d "${TMPDIR:-/var/tmp}/tg-startup-bench-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
q() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }

q -f lavfi -i testsrc2=s=320x180:r=25:d=0.4 -c:v libx264 -pix_fmt yuv420p \
  -color_primaries bt709 -color_trc bt709 -colorspace bt709 -movflags +write_colr "$WORK/clip.mov"
q -f lavfi -i testsrc2=s=6000x4000 -frames:v 1 -q:v 2 "$WORK/photo.jpg"
cat > "$WORK/patch.c" <<'C'
#include <fcntl.h>
#include <unistd.h>
int main(int argc, char** argv) {
    (void)argc;
    int fd = open(argv[1], O_RDWR);
    long off = 0;
    for (const char* p = argv[2]; *p; ++p) off = off * 10 + (*p - '0');
    static const unsigned char p3[2] = {0, 12};
    if (fd < 0 || pwrite(fd, p3, 2, off) != 2 || fsync(fd) != 0) return 1;
    return close(fd);
}
C
cc -O2 -o "$WORK/patch" "$WORK/patch.c"

python3 - "$BUILD" "$WORK" "$RUNS" "${TG_BENCH_BEFORE:-}" <<'PY'
import os, select, shutil, statistics, subprocess, sys, time
build, work, runs, before = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]

def cli_of(tree):
    for p in ("bin/tintguard-cli", "cli/tintguard-cli"):
        if os.path.exists(os.path.join(tree, p)): return os.path.join(tree, p)
    raise SystemExit(f"no tintguard-cli in {tree}")
def app_of(tree):
    for p in ("bin/tintguard", "app/tintguard"):
        if os.path.exists(os.path.join(tree, p)): return os.path.join(tree, p)
    return None

clip, photo = os.path.join(work, "clip.mov"), os.path.join(work, "photo.jpg")
data = open(clip, "rb").read()
prim = data.index(b"colrnclx") + 8 if b"colrnclx" in data else data.index(b"colrnclc") + 8

def set_primaries(path, value):
    with open(path, "r+b") as f:
        f.seek(prim); f.write(bytes([0, value]))

def median_ms(setup, argv):
    times = []
    for _ in range(runs):
        setup()
        t0 = time.perf_counter()
        subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        times.append(time.perf_counter() - t0)
    return statistics.median(times) * 1000

nothing = lambda: None
def fresh_photo():
    shutil.copyfile(photo, os.path.join(work, "run.jpg"))

def measure(tree):
    cli = cli_of(tree)
    tagged = os.path.join(work, "tagged.mov")
    shutil.copyfile(clip, tagged); set_primaries(tagged, 12)
    patch = os.path.join(work, "patch.mov"); shutil.copyfile(clip, patch)
    r = {}
    r["version"] = median_ms(nothing, [cli, "--version"])
    r["already"] = median_ms(nothing, [cli, "--in-place", tagged])
    r["patch"] = median_ms(lambda: set_primaries(patch, 1), [cli, "--in-place", patch])
    r["jpeg"] = median_ms(fresh_photo, [cli, "--in-place", os.path.join(work, "run.jpg")])
    app = app_of(tree)
    if app:
        env = dict(os.environ, TG_FIRST_PAINT_EXIT="1", QT_QPA_PLATFORM="offscreen")
        paints = []
        for _ in range(max(5, runs // 4)):
            t0 = time.perf_counter()
            p = subprocess.Popen([app], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
            # An older build may not know the probe: give up on it rather than wait forever.
            line = p.stdout.readline() if select.select([p.stdout], [], [], 20)[0] else b""
            t1 = time.perf_counter()
            if line.strip() != b"first paint":
                p.kill(); p.wait()
                break
            p.wait()
            paints.append(t1 - t0)
        r["paint"] = statistics.median(paints) * 1000 if paints else float("nan")
    r["libs"] = sum(1 for l in subprocess.run(["ldd", cli], capture_output=True, text=True).stdout.splitlines() if "=>" in l)
    return r

true_ms = median_ms(nothing, ["/bin/true"])
c_patch = os.path.join(work, "cpatch.mov"); shutil.copyfile(clip, c_patch)
c_ms = median_ms(lambda: set_primaries(c_patch, 1), [os.path.join(work, "patch"), c_patch, str(prim)])
ours = measure(build)
old = measure(before) if before else None

print(f"runs per figure: {runs} (window: {max(5, runs // 4)}), medians")
print(f"/bin/true                         {true_ms:7.2f} ms")
print(f"C open+pwrite+fsync (2 bytes)     {c_ms:7.2f} ms")
rows = [("--version", "version", None), ("--in-place, already tagged", "already", true_ms),
        ("--in-place, 2-byte patch", "patch", c_ms), ("--in-place, 24 MP JPEG", "jpeg", true_ms),
        ("window, launch to first paint", "paint", None)]
for label, key, ref in rows:
    if key not in ours: continue
    line = f"{label:33} {ours[key]:7.2f} ms"
    if ref: line += f"  = {ours[key] / ref:5.2f}x {'/bin/true' if ref == true_ms else 'the C program'}"
    if old and key in old: line += f"   (before: {old[key]:7.2f} ms)"
    print(line)
print(f"shared libraries of tintguard-cli {ours['libs']:4d}" + (f"   (before: {old['libs']})" if old else ""))
PY
