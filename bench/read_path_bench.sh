#!/usr/bin/env bash
# Times the reading of images in whole runs, this tree's program beside another build's
# (the baseline) on the same files, runs interleaved: page faults, wall and processor
# time and peak memory from /usr/bin/time -v, and whether the reports are identical.
#   1. a night of 10 test images of 4096 x 4096 (2 fields of 5), catalogue and
#      difference methods: memory kept from one image to the next;
#   2. a night of 50 test images of 2048 x 2048 (10 fields of 5), plain and with every
#      image tile-compressed (fpack, Rice) under .fz names: compressed images read in
#      the program against the same night uncompressed.
#
#   bench/read_path_bench.sh NEW-BIN-DIR BASELINE-BIN-DIR [ROUNDS]
#
# Each bin directory holds newstars (and fdecomp for the baseline); simnight is taken from
# NEW-BIN-DIR. The nights are written under ${TMPDIR:-/tmp} and removed at the end.
set -euo pipefail
new=$(cd "$1" && pwd)
base=$(cd "$2" && pwd)
rounds=${3:-2}
work=$(mktemp -d "${TMPDIR:-/tmp}/read_path_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

field() { sed -n "s/^[[:space:]]*$1: //p" "$2"; }
seconds() { awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; printf "%.2f", s }' <<< "$1"; }

# run LABEL BIN-DIR FILES TABLE [options...]: one timed run in the current directory.
run() {
  local label=$1 bin=$2 files=$3 table=$4
  shift 4
  PATH="$bin:$PATH" /usr/bin/time -v -o "$label.time" "$bin/newstars" "$@" -f "$files" 2 "$table" \
    > "$label.out" 2> "$label.err"
  printf '%-28s %6.2f s wall %6.2f s cpu %8d minor faults %6d MB peak  load %s\n' "$label" \
    "$(seconds "$(field 'Elapsed (wall clock) time (h:mm:ss or m:ss)' "$label.time")")" \
    "$(awk "BEGIN { print $(field 'User time (seconds)' "$label.time") + $(field 'System time (seconds)' "$label.time") }")" \
    "$(field 'Minor (reclaiming a frame) page faults' "$label.time")" \
    $(($(field 'Maximum resident set size (kbytes)' "$label.time") / 1024)) \
    "$(cut -d' ' -f1 /proc/loadavg)"
}

# same A B: whether two runs wrote the same report and messages.
same() { cmp -s "$1.out" "$2.out" && cmp -s "$1.err" "$2.err" && echo "  $1 = $2" || echo "  $1 != $2 DIFFERENT"; }

echo "== 10 test images of 4096 x 4096"
mkdir "$work/large" && cd "$work/large"
"$new/simnight" --seed 1 --size 4096 --objects 2 --images 5 --no-fpack --out . > /dev/null
for method in catalog difference; do
  for r in $(seq "$rounds"); do
    run "base-$method-$r" "$base" files.txt table.txt --method "$method"
    run "new-$method-$r" "$new" files.txt table.txt --method "$method"
  done
  same "base-$method-1" "new-$method-1"
done
cd "$work" && rm -rf large

echo "== 50 test images of 2048 x 2048, plain and tile-compressed (.fz)"
mkdir "$work/small" && cd "$work/small"
"$new/simnight" --seed 1 --size 2048 --objects 10 --images 5 --no-fpack --out . > /dev/null
for f in ./*.fts; do fpack -O "$f.fz" "$f"; done
sed 's/\.fts$/.fts.fz/' files.txt > files-fz.txt
sed 's/\.fts$/.fts.fz/' table.txt > table-fz.txt
echo "on disk: $(du -ch ./*.fts | tail -1 | cut -f1) plain, $(du -ch ./*.fz | tail -1 | cut -f1) compressed"
for r in $(seq "$rounds"); do
  run "new-plain-$r" "$new" files.txt table.txt
  run "new-fz-$r" "$new" files-fz.txt table-fz.txt
  run "base-plain-$r" "$base" files.txt table.txt
  run "base-fz-$r" "$base" files-fz.txt table-fz.txt
done
same "base-fz-1" "new-fz-1"
same "base-plain-1" "new-plain-1"
