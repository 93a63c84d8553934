#!/usr/bin/env bash
# Times whole newstars runs over generated nights: 50 test images of 2048 x 2048 pixels
# (10 fields of 5 test images) and 10 test images of 8192 x 8192 (2 fields of 5), and
# reports the time per test image and the peak memory of the run.
#
#   bench/night_bench.sh [build-dir]     (default build/release, built when needed)
#
# The nights are written under ${TMPDIR:-/tmp} (about 2.5 GB for the large one) and
# removed afterwards unless KEEP=1. SIZES="2048:10:5 8192:2:5" (size:fields:images)
# chooses other nights.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
sizes=${SIZES:-"2048:10:5 8192:2:5"}

mkdir -p "$build"
build=$(cd "$build" && pwd)  # the runs below work inside the night's directory
if [ ! -x "$build/bin/newstars" ] || [ ! -x "$build/bin/simnight" ] || [ ! -x "$build/bin/fdecomp" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release > "$build/configure.log" 2>&1 \
    || { cat "$build/configure.log"; exit 1; }
  cmake --build "$build" -j"$(nproc)" --target newstars fdecomp simnight
fi
bin=$build/bin

timer=()
if [ -x /usr/bin/time ]; then
  timer=(/usr/bin/time -v)
else
  echo "night_bench: /usr/bin/time not found (Debian package time); peak memory not measured" >&2
fi

# Value of one line of /usr/bin/time -v output.
field() { sed -n "s/^[[:space:]]*$1: //p" "$2"; }

# Arithmetic on decimals: calc EXPRESSION.
calc() { awk "BEGIN { print $1 }"; }

# Seconds from [h:]mm:ss.ss.
seconds() { awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; printf "%.2f", s }' <<< "$1"; }

# A night left behind by a failed run would hold gigabytes.
night=
trap '[ -z "$night" ] || [ "${KEEP:-0}" = 1 ] || rm -rf "$night"' EXIT

for night_size in $sizes; do
  IFS=: read -r size fields images <<< "$night_size"
  count=$((fields * images))
  night=$(mktemp -d "${TMPDIR:-/tmp}/night_bench.XXXXXX")
  echo "== $count test images of ${size}x${size} ($fields fields, $images test images each) in $night"

  start=$(date +%s.%N)
  "$bin/simnight" --seed 1 --size "$size" --objects "$fields" --images "$images" --out "$night"
  end=$(date +%s.%N)
  printf 'generation: %.1f s for %d images\n' "$(calc "$end - $start")" $((fields * (images + 1)))
  echo "on disk: $(du -sh "$night" | cut -f1) ($(ls "$night" | grep -c '\.fth$') images compressed)"

  cd "$night"
  if [ ${#timer[@]} -gt 0 ]; then
    PATH="$bin:$PATH" "${timer[@]}" -o time.txt "$bin/newstars" -f files.txt 2 table.txt > report.txt
    wall=$(seconds "$(field 'Elapsed (wall clock) time (h:mm:ss or m:ss)' time.txt)")
    user=$(field 'User time (seconds)' time.txt)
    system=$(field 'System time (seconds)' time.txt)
    peak=$(field 'Maximum resident set size (kbytes)' time.txt)
    pair=$((size * size * 2 * 2 / 1024))
    printf 'newstars: %.1f s wall (%.1f s user, %.1f s system), %.3f s per test image\n' \
      "$wall" "$user" "$system" "$(calc "$wall / $count")"
    printf 'peak memory: %d MB, %.2f times one image pair (%d MB)\n' \
      $((peak / 1024)) "$(calc "$peak / $pair")" $((pair / 1024))
  else
    start=$(date +%s.%N)
    PATH="$bin:$PATH" "$bin/newstars" -f files.txt 2 table.txt > report.txt
    end=$(date +%s.%N)
    printf 'newstars: %.1f s wall, %.3f s per test image\n' "$(calc "$end - $start")" \
      "$(calc "($end - $start) / $count")"
  fi
  # Star counts from the summary lines: reference and test stars in the box, and the
  # pairs the matching loop may have to look at.
  awk '$0 == "\f" { exit } NF >= 8 { n++; r += $(NF-2); t += $(NF-1); c += $NF; p += $(NF-2) * $(NF-1) }
       END { if (n == 0) { print "no test image was compared"; exit }
             printf "stars per image: %.0f reference, %.0f test in the box; %d candidates; up to %.3g pairs matched\n",
             r / n, t / n, c, p }' report.txt
  "$bin/simnight" recover report.txt truth.txt

  # One compressed image decompressed on its own: the share of fdecomp.
  one=$(ls *.fth 2>/dev/null | head -1 || true)
  if [ -n "$one" ]; then
    cp "$one" copy.fth
    start=$(date +%s.%N)
    "$bin/fdecomp" -r copy.fth
    end=$(date +%s.%N)
    printf 'fdecomp of one image: %.2f s\n' "$(calc "$end - $start")"
    rm -f copy.fth copy.fts
  fi
  cd "$root"
  [ "${KEEP:-0}" = 1 ] || rm -rf "$night"
  night=
done
