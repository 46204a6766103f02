#!/usr/bin/env bash
# Fails when a program that tags files loads FFmpeg or its encoders at start-up: only the bake
# helper may. ldd lists every library the loader maps, those of linked libraries included.
set -euo pipefail
status=0
for program in "$@"; do
  if ! listing=$(ldd "$program"); then
    echo "cannot list the libraries of $program"
    exit 1
  fi
  if found=$(grep -E 'lib(av(codec|format|filter|util|device)|sw(scale|resample)|postproc|x264|x265)\.so' <<<"$listing"); then
    echo "$program loads FFmpeg or an encoder at start-up:"
    echo "$found"
    status=1
  fi
done
exit $status
