# Sourced by the benchmark scripts.
# Runs a command; prints "seconds bytes_written" (wall time; 512-byte blocks the process sent to
# storage, from its rusage, so that fsynced writes of the journal count too).
measure() {
  python3 - "$@" <<'PY'
import os, sys, time
t = time.monotonic()
pid = os.fork()
if pid == 0:
    fd = os.open(os.devnull, os.O_WRONLY)
    os.dup2(fd, 1)
    os.execvp(sys.argv[1], sys.argv[1:])
_, status, ru = os.wait4(pid, 0)
if status != 0:
    sys.exit("failed: " + " ".join(sys.argv[1:]))
print("%.4f %d" % (time.monotonic() - t, ru.ru_oublock * 512))
PY
}
