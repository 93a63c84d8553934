#!/usr/bin/env bash
# scripts/cluster-night and its --out directory, with a stand-in sbatch that prints job
# ids (or fails, or takes its time): one night per directory, whether the other run
# comes at the same time or later, and a directory given back when submitting fails.
#
#   cluster_night_lock_test.sh BIN_DIR SOURCE_DIR
set -euo pipefail
bin=$1 source=$2
cluster="$source/scripts/cluster-night"

fail() { echo "FAILED: $*"; exit 1; }

work=$(mktemp -d /tmp/newstars-lock-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/fake"
# sbatch as cluster-night calls it: prints the next job id; FAKE_SBATCH=fail makes it fail,
# FAKE_SBATCH=slow makes it wait a second first.
cat > "$work/fake/sbatch" << 'EOF_SBATCH'
#!/usr/bin/env bash
[ "${FAKE_SBATCH-}" = fail ] && { echo "sbatch: error: no partition" >&2; exit 1; }
[ "${FAKE_SBATCH-}" = slow ] && sleep 1
n=$(($(cat "$FAKE_SBATCH_COUNT" 2> /dev/null || echo 100) + 1))
echo "$n" > "$FAKE_SBATCH_COUNT"
echo "$n;cluster"
EOF_SBATCH
chmod +x "$work/fake/sbatch"
export PATH="$work/fake:$PATH" FAKE_SBATCH_COUNT="$work/count"
cd "$work"
printf 'a.fts\n' > files.txt
printf 'M31 0:42:44 41:16 0:42:40 41:15 r.fts\n' > table.txt

# Runs cluster-night on directory $2 with sbatch behaving as $1 (ok, fail or slow) and
# extra options; its status in $status, its standard error in $work/err.
night() {
  local behaviour=$1 dir=$2; shift 2
  status=0
  FAKE_SBATCH=$behaviour "$cluster" --newstars "$bin/newstars" --out "$dir" "$@" \
    3 files.txt 2 table.txt > /dev/null 2> "$work/err" || status=$?
}

# Case table: sbatch behaviour, directory, what is in it before (a file name or -),
# expected status, expected message part (- for none), what the directory holds after.
while read -r behaviour dir before expected message after; do
  what="$behaviour $dir $before"
  [ "$before" = - ] || { mkdir -p "$dir"; : > "$dir/$before"; }
  night "$behaviour" "$dir"
  [ "$status" -eq "$expected" ] || fail "$what: status $status, not $expected: $(cat err)"
  if [ "$message" = - ]; then
    [ ! -s err ] || fail "$what: unexpected message $(cat err)"
  else
    grep -q -- "${message//_/ }" err || fail "$what: message $(cat err) lacks ${message//_/ }"
  fi
  held=$(ls -A "$dir" | tr '\n' ' ')
  [ "$held" = "${after//,/ } " ] || [ "$held" = "" -a "$after" = - ] ||
    fail "$what: the directory holds '$held', not '$after'"
done << 'EOF_CASES'
ok new - 0 - .lock
ok new - 1 is_held_by_another_run_(pieces:_job_array_101_(1-3);_merge:_job_102) .lock
ok stray stray.txt 1 is_not_empty stray.txt
fail refused - 1 no_partition -
ok refused - 0 - .lock
EOF_CASES
grep -qx 'pieces: job array 103 (1-3); merge: job 104' refused/.lock ||
  fail "the lock names no night: $(cat refused/.lock)"

# A failed submission with stamps leaves no stamp directory either.
night fail stamped --stamps
[ "$status" -eq 1 ] && [ -z "$(ls -A stamped)" ] ||
  fail "a failed submission left $(ls -A stamped) (status $status)"

# A scanning page written by every piece is refused; region files per image are not.
night ok paged --option --page=page
[ "$status" -eq 2 ] && grep -q "every piece would write the same page" err ||
  fail "--option --page: status $status, $(cat err)"
night ok regioned --option --regions-per-image=regions
[ "$status" -eq 0 ] || fail "--option --regions-per-image: status $status, $(cat err)"

# Two runs at once on one directory, five times: exactly one submits, the other is refused.
for round in 1 2 3 4 5; do
  ( night slow "same$round"; echo "$status" > "first$round" ) &
  ( night slow "same$round"; echo "$status" > "second$round" ) &
  wait
  statuses="$(cat "first$round") $(cat "second$round")"
  [ "$statuses" = "0 1" ] || [ "$statuses" = "1 0" ] ||
    fail "round $round: two runs at once on one directory ended $statuses"
  [ "$(ls -A "same$round")" = .lock ] || fail "round $round: $(ls -A "same$round")"
done
echo "cluster-night: one night per --out directory"
