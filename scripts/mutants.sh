#!/usr/bin/env bash
# Applies each seeded fault in tests/mutants to a scratch copy of the last commit, rebuilds, and
# runs the tests until one fails: the fault's own room first, then the others. Prints which test
# caught each fault; exits 1 when any fault was not caught, or did not apply or build.
#   scripts/mutants.sh [PREFIX]   only the faults whose file name starts with PREFIX (e.g. 07)
set -uo pipefail

root=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
tree=$root/build/mutants   # one work tree, reused by every run
build=$tree/build          # the default preset's build folder inside it
logs=$root/build/mutants-logs
jobs=${JOBS:-2}
only=${1:-}

patches=()
for patch in "$root"/tests/mutants/*.patch; do
  [[ $(basename "$patch") == "$only"* ]] && patches+=("$patch")
done
if [ ${#patches[@]} -eq 0 ]; then
  echo "mutants: no fault matches '${only}'" >&2
  exit 2
fi

roomOf() { sed -n 's/^# room: *//p' "$1" | head -n 1; }

# The window is built only when a chosen fault is in it: the rest builds much faster without Qt.
app=OFF
for patch in "${patches[@]}"; do
  [ "$(roomOf "$patch")" = app ] && app=ON
done

git -C "$root" worktree prune
if [ ! -e "$tree/.git" ]; then
  git -C "$root" worktree add --detach --quiet "$tree" HEAD || exit 2
fi
git -C "$tree" checkout --detach --force --quiet "$(git -C "$root" rev-parse HEAD)" || exit 2
git -C "$tree" clean -fdq
mkdir -p "$logs"

# The scratch tree's objects match the main build's path for path, so ccache can share them.
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
configure=(cmake --preset default -DTG_BUILD_APP=$app "${launcher[@]}")
(cd "$tree" && "${configure[@]}") >"$logs/configure.log" ||
  { echo "mutants: configure failed, see $logs/configure.log" >&2; exit 2; }
echo "mutants: building the unchanged tree once (log in $logs/build.log)"
cmake --build "$build" -j "$jobs" >"$logs/build.log" 2>&1 ||
  { echo "mutants: the unchanged tree does not build, see $logs/build.log" >&2; exit 2; }

# Runs the tests defined in one folder, stopping at the first failure; prints that test's name.
firstFailure() {
  local dir=$1 log=$2
  [ -f "$dir/CTestTestfile.cmake" ] || return 0
  ctest --test-dir "$dir" -j "$jobs" --timeout 600 --stop-on-failure --output-on-failure \
    >>"$log" 2>&1 && return 0
  local name
  name=$(sed -n 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .*\*\*\*.*/\1/p' "$log" | head -n 1)
  echo "${name:-"(ctest failed, see $log)"}"
}

rows=()
failed=0
for patch in "${patches[@]}"; do
  fault=$(basename "$patch" .patch)
  room=$(roomOf "$patch")
  log=$logs/$fault.log
  : >"$log"
  start=$SECONDS
  echo "mutants: $fault (room ${room:-?})"
  if ! git -C "$tree" apply "$patch" >>"$log" 2>&1; then
    caught="DOES NOT APPLY"
  elif ! cmake --build "$build" -j "$jobs" >>"$log" 2>&1; then
    caught="DOES NOT BUILD"
  else
    caught=$(firstFailure "$build/tests/$room" "$log")
    if [ -z "$caught" ]; then
      # The rooms this configuration tests, in their order; a folder left from another is not.
      for other in $(sed -n 's/^subdirs("\(.*\)")/\1/p' "$build/tests/CTestTestfile.cmake"); do
        [ "$other" = "$room" ] && continue
        caught=$(firstFailure "$build/tests/$other" "$log")
        [ -n "$caught" ] && break
      done
    fi
    caught=${caught:-NOT CAUGHT}
  fi
  git -C "$tree" checkout --quiet -- . && git -C "$tree" clean -fdq
  case $caught in "NOT CAUGHT" | "DOES NOT APPLY" | "DOES NOT BUILD") failed=1 ;; esac
  rows+=("$fault|$caught|$((SECONDS - start))")
done

printf '\n%-40s %-64s %s\n' fault "caught by" seconds
for row in "${rows[@]}"; do
  IFS='|' read -r fault caught seconds <<<"$row"
  printf '%-40s %-64s %s\n' "$fault" "$caught" "$seconds"
done
exit $failed
