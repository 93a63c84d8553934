#!/usr/bin/env bash
# Times whole newstars runs over generated nights, this tree's program beside the
# program built from another revision (today's code) on the same files in the same run:
# 50 test images of 2048 x 2048 pixels (10 fields of 5 test images), 10 test images of
# 8192 x 8192 (2 fields of 5) and one 8192 x 8192 pair. For each run it reports the
# wall, user and system time, the time per test image, the peak memory (also in units of
# one image), the speed-up over the baseline (wall clock, and processor time, which a
# machine shared with other work disturbs less) and whether the report and the messages
# are byte-identical to the baseline's.
#
#   bench/night_bench.sh [build-dir]     (default build/release, built when needed)
#
# Environment:
#   SIZES="2048:10:5 8192:2:5 8192:1:1"  the nights (size:fields:test images per field)
#   JOBS="1 2"       worker counts this tree's program runs with (-j N); empty: no -j
#   OPTIONS="--method difference"  options every run (the baseline's too) is given
#   BASELINE=main    revision built as today's code (in <build-dir>-baseline); empty: none
#   KEEP=1           keep the nights (written under ${TMPDIR:-/tmp}, about 2.5 GB for
#                    the large one; removed otherwise)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
sizes=${SIZES-"2048:10:5 8192:2:5 8192:1:1"}
jobs=${JOBS-"1 2"}
baseline=${BASELINE-main}
read -r -a options <<< "${OPTIONS-}"

mkdir -p "$build"
build=$(cd "$build" && pwd)  # the runs below work inside the night's directory
if [ ! -x "$build/bin/newstars" ] || [ ! -x "$build/bin/simnight" ] || [ ! -x "$build/bin/fdecomp" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release > "$build/configure.log" 2>&1 \
    || { cat "$build/configure.log"; exit 1; }
  cmake --build "$build" -j"$(nproc)" --target newstars fdecomp simnight
fi
bin=$build/bin

# Today's code: the baseline revision's sources, exported (no checkout) and built once
# per revision.
base_bin=
if [ -n "$baseline" ]; then
  base_build=$build-baseline
  revision=$(git -C "$root" rev-parse --verify "$baseline^{commit}")
  if [ "$(cat "$base_build/revision" 2>/dev/null || true)" != "$revision" ]; then
    rm -rf "$base_build"
    mkdir -p "$base_build/src"
    git -C "$root" archive "$revision" | tar -x -C "$base_build/src"
    cmake -S "$base_build/src" -B "$base_build" -DCMAKE_BUILD_TYPE=Release -DNEWSTARS_TESTS=OFF \
      -DNEWSTARS_BENCH=OFF > "$base_build/configure.log" 2>&1 \
      || { cat "$base_build/configure.log"; exit 1; }
    cmake --build "$base_build" -j"$(nproc)" --target newstars fdecomp
    echo "$revision" > "$base_build/revision"
  fi
  base_bin=$base_build/bin
  echo "baseline: $baseline ($(git -C "$root" log -1 --format='%h %s' "$revision"))"
fi

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

# Runs one program over the night: run NAME BIN-DIR [options...]; the report goes to
# NAME.out, the messages to NAME.err, the wall time to $wall and the processor time
# (user + system, children included) to $cpu.
wall=0
cpu=0
run() {
  local name=$1 dir=$2
  shift 2
  if [ ${#timer[@]} -gt 0 ]; then
    PATH="$dir:$PATH" "${timer[@]}" -o "$name.time" "$dir/newstars" "${options[@]}" "$@" -f files.txt 2 table.txt \
      > "$name.out" 2> "$name.err"
    wall=$(seconds "$(field 'Elapsed (wall clock) time (h:mm:ss or m:ss)' "$name.time")")
    local user system peak
    user=$(field 'User time (seconds)' "$name.time")
    system=$(field 'System time (seconds)' "$name.time")
    cpu=$(calc "$user + $system")
    peak=$(field 'Maximum resident set size (kbytes)' "$name.time")
    printf '%-12s %7.2f s wall (%6.1f s user, %5.1f s system), %.3f s per test image, peak %5d MB = %.2f images' \
      "$name" "$wall" "$user" "$system" "$(calc "$wall / $count")" $((peak / 1024)) \
      "$(calc "$peak / $image_kb")"
  else
    local start end
    start=$(date +%s.%N)
    PATH="$dir:$PATH" "$dir/newstars" "${options[@]}" "$@" -f files.txt 2 table.txt > "$name.out" 2> "$name.err"
    end=$(date +%s.%N)
    wall=$(calc "$end - $start")
    cpu=
    printf '%-12s %7.2f s wall, %.3f s per test image' "$name" "$wall" "$(calc "$wall / $count")"
  fi
}

# A night left behind by a failed run would hold gigabytes.
night=
trap '[ -z "$night" ] || [ "${KEEP:-0}" = 1 ] || rm -rf "$night"' EXIT

for night_size in $sizes; do
  IFS=: read -r size fields images <<< "$night_size"
  count=$((fields * images))
  image_kb=$((size * size * 2 / 1024))
  night=$(mktemp -d "${TMPDIR:-/tmp}/night_bench.XXXXXX")
  echo "== $count test images of ${size}x${size} ($fields fields, $images test images each) in $night"

  start=$(date +%s.%N)
  "$bin/simnight" --seed 1 --size "$size" --objects "$fields" --images "$images" --out "$night"
  end=$(date +%s.%N)
  printf 'generation: %.1f s for %d images\n' "$(calc "$end - $start")" $((fields * (images + 1)))
  echo "on disk: $(du -sh "$night" | cut -f1) ($(ls "$night" | grep -c '\.fth$') images compressed)"

  cd "$night"
  # The files once from the page cache: a floor no run can go below.
  cat ./*.ft? > /dev/null
  start=$(date +%s.%N)
  cat ./*.ft? > /dev/null
  end=$(date +%s.%N)
  bytes=$(cat ./*.ft? | wc -c)
  printf 'page-cache read of the files: %.2f s (%.1f GB/s)\n' "$(calc "$end - $start")" \
    "$(calc "$bytes / ($end - $start) / 1e9")"

  base_wall=
  base_cpu=
  if [ -n "$base_bin" ]; then
    run baseline "$base_bin"
    echo
    base_wall=$wall
    base_cpu=$cpu
  fi
  for j in ${jobs:-none}; do
    if [ "$j" = none ]; then
      run new "$bin"
    else
      run "new-j$j" "$bin" -j "$j"
    fi
    if [ -n "$base_wall" ]; then
      name=$([ "$j" = none ] && echo new || echo "new-j$j")
      same=identical
      cmp -s "$name.out" baseline.out && cmp -s "$name.err" baseline.err || same=DIFFERENT
      printf ', %.2f times the baseline' "$(calc "$base_wall / $wall")"
      # On a shared machine the processor time tells the work apart from the waiting.
      if [ -n "$cpu" ] && [ -n "$base_cpu" ]; then
        printf ' (%.2f in processor time)' "$(calc "$base_cpu / $cpu")"
      fi
      printf ', output %s' "$same"
    fi
    echo
  done
  report=$(ls -t ./*.out | head -1)
  # Star counts from the summary lines: reference and test stars in the box, and the
  # pairs the matching loop may have to look at.
  awk '$0 == "\f" { exit } NF >= 8 { n++; r += $(NF-2); t += $(NF-1); c += $NF; p += $(NF-2) * $(NF-1) }
       END { if (n == 0) { print "no test image was compared"; exit }
             printf "stars per image: %.0f reference, %.0f test in the box; %d candidates; up to %.3g pairs matched\n",
             r / n, t / n, c, p }' "$report"
  "$bin/simnight" recover "$report" truth.txt

  # One compressed image decompressed on its own: the share of fdecomp.
  one=$(ls ./*.fth 2>/dev/null | head -1 || true)
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
