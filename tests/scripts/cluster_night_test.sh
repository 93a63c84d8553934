#!/usr/bin/env bash
# End-to-end test of scripts/cluster-night on a real single-node Slurm cluster started
# here: a MUNGE daemon with a fresh key, a controller and one compute daemon on this
# machine, all configured and kept in a temporary directory and stopped at the end.
# A simulated night runs as 3 pieces; the merged report (and, with vetting, catalogue,
# region file and stamps) must equal one run's bytes.
#
#   cluster_night_test.sh BIN_DIR SOURCE_DIR
#
# Exit status 0 passed, 1 failed, 77 skipped (the cluster cannot be started here).
set -euo pipefail
bin=$1 source=$2
export PATH="$bin:$PATH"

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "starting the Slurm daemons needs root"
for program in munged mungekey slurmctld slurmd sbatch scontrol scancel sinfo; do
  command -v "$program" > /dev/null || skip "$program is not installed (scripts/setup installs it)"
done

work=$(mktemp -d /tmp/newstars-slurm-XXXXXX)
chmod 755 "$work" # MUNGE wants every directory above its socket searchable by all
pids=()
cleanup() {
  local pid
  if [ -n "${SLURM_CONF-}" ] && timeout 5 scancel --user=root 2> /dev/null; then
    wait_for 5 no_jobs || true
  fi
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  for pid in "${pids[@]}"; do
    wait_for 5 ended "$pid" || kill -9 "$pid" 2> /dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# Waits up to $1 seconds for the command to succeed.
wait_for() {
  local end=$((SECONDS + $1)); shift
  until "$@" > /dev/null 2>&1; do
    ((SECONDS < end)) || return 1
    sleep 0.2
  done
}

ended() { ! kill -0 "$1"; }
no_jobs() { [ -z "$(timeout 5 squeue --noheader 2> /dev/null)" ]; }

# A TCP port nothing listens on.
free_port() {
  local port
  for _ in $(seq 100); do
    port=$((20000 + RANDOM % 40000))
    (exec 3<> "/dev/tcp/127.0.0.1/$port") 2> /dev/null || { echo "$port"; return 0; }
  done
  return 1
}

mkdir -m 700 "$work/munge" "$work/state" "$work/spool"
mkdir -m 755 "$work/run"
mungekey --create --keyfile="$work/munge/munge.key" ||
  skip "mungekey cannot create a key"
munged --foreground --key-file="$work/munge/munge.key" --socket="$work/run/munge.socket" \
  --pid-file="$work/run/munged.pid" --log-file="$work/munge/munged.log" \
  --seed-file="$work/munge/munged.seed" > "$work/munged.out" 2>&1 &
pids+=($!)
wait_for 10 munge --socket="$work/run/munge.socket" --no-input ||
  skip "munged does not start: $(tail -n 3 "$work/munged.out")"

node_line=$(slurmd -C | head -n 1)
node=${node_line#NodeName=}
node=${node%% *}
[ -n "$node" ] || skip "slurmd -C describes no node"
controller_port=$(free_port) || skip "no free TCP port"
node_port=$controller_port
while [ "$node_port" = "$controller_port" ]; do node_port=$(free_port) || skip "no free TCP port"; done
export SLURM_CONF="$work/slurm.conf"
cat > "$SLURM_CONF" << EOF
ClusterName=newstarstest
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$controller_port
SlurmdPort=$node_port
AuthType=auth/munge
AuthInfo=socket=$work/run/munge.socket
CredType=cred/munge
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/run/slurmctld.pid
SlurmdPidFile=$work/run/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
MpiDefault=none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerType=sched/builtin
ReturnToService=2
JobCompType=jobcomp/none
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
MailProg=/bin/true
${node_line/#NodeName=$node/NodeName=$node NodeAddr=127.0.0.1}
PartitionName=night Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
slurmctld -D -f "$SLURM_CONF" > "$work/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -f "$SLURM_CONF" -N "$node" > "$work/slurmd.out" 2>&1 &
pids+=($!)
# Idle node, or the end of the wait when a daemon has stopped.
node_idle() {
  kill -0 "${pids[1]}" && kill -0 "${pids[2]}" || return 0
  [ "$(timeout 5 sinfo --noheader --format=%T)" = idle ]
}
wait_for 30 node_idle && kill -0 "${pids[1]}" && kill -0 "${pids[2]}" ||
  skip "the Slurm daemons do not start: $(tail -n 2 "$work/slurmctld.out" "$work/slurmd.out" 2>&1)"

# The night: piece 1 holds FLD01 then FLD02 candidates, piece 2 an image that does not
# exist and more FLD02 candidates (no empty line may come between the pieces' FLD02
# lines), piece 3 reference images against themselves (compared, no candidates).
# Stars saturated in the references give pieces 1 and 2 candidates that vetting rejects.
night="$work/night"
mkdir "$night"
cd "$night"
simnight --seed 11 --size 256 --objects 2 --images 3 --inject 4 --saturated-ref 3 --out . \
  > /dev/null
printf '%s\n' FLD01_1.fts FLD01_2.fth FLD02_1.fts missing.fts FLD02_2.fth FLD02_3.fts \
  FLD01_r.fts FLD02_r.fth FLD01_r.fts > night.txt
newstars -f night.txt 2 table.txt > single.txt 2> /dev/null

cluster="$source/scripts/cluster-night"
# The same night vetted, with its catalogue, region file and stamps, runs meanwhile.
newstars --vet --catalog single.ecsv --regions single.reg --stamps single-stamps \
  -f night.txt 2 table.txt > single-vet.txt 2> /dev/null
timeout 120 "$cluster" --out vetted --wait --catalog --regions --stamps --option --vet \
  3 night.txt 2 table.txt > /dev/null 2> vetted.txt &
vetted=$!
timeout 120 "$cluster" --out out --wait 3 night.txt 2 table.txt ||
  fail "cluster-night did not complete: $(cat out/*.log 2>&1)"
cmp out/report.txt single.txt || fail "the merged report differs from the single run"
[ "$(sed $'1,/^\f$/d' single.txt | grep -c .)" -gt 9 ] ||
  fail "the single run found too few candidates to test the merge"
grep -qx 'missing.fts: No such file or directory' out/piece-2.log ||
  fail "piece 2's log lacks the failing image: $(cat out/piece-2.log)"
[ "$(tail -n 1 out/piece-3.txt)" = $'\f' ] || fail "piece 3 should have no candidates"

# The vetted night's merged files are those of one run.
wait "$vetted" || fail "the vetted night did not complete: $(cat vetted.txt vetted/*.log 2>&1)"
cmp vetted/report.txt single-vet.txt || fail "the vetted report differs from the single run"
cmp vetted/catalog.ecsv single.ecsv || fail "the merged catalogue differs from the single run"
cmp vetted/regions.reg single.reg || fail "the merged region file differs from the single run"
diff -r vetted/stamps single-stamps > /dev/null || fail "the stamps differ from the single run"
grep -q ,rejected, single.ecsv && ! cmp -s single-vet.txt single.txt ||
  fail "vetting rejected no candidate of the single run to test the merge"
# A piece's catalogue cut short fails the merge job step, which leaves no merged file.
mkdir cut
cp vetted/piece-* cut/
head -c -1 vetted/piece-2.ecsv > cut/piece-2.ecsv
if "$cluster" --run-merge "$(command -v newstars)" 3 "$PWD/cut" catalog,regions 2> cut.txt; then
  fail "the merge succeeded with a piece's catalogue cut short"
fi
left=$(find cut -mindepth 1 ! -name 'piece-*')
[ -z "$left" ] || fail "a failed merge left $left"
grep -q piece-2.ecsv cut.txt || fail "the failed merge does not name the piece: $(cat cut.txt)"

# Output options given to every piece would be written by all of them at once; a --part
# would make every piece search the same images.
while read -r option name; do
  status=0
  "$cluster" --out refused --option "$option" --option x 3 night.txt 2 table.txt \
    < /dev/null 2> refused.txt || status=$?
  [ "$status" -eq 2 ] && grep -q "give cluster-night $name instead" refused.txt ||
    fail "--option $option was not refused: status $status, $(cat refused.txt)"
done << 'EOF'
--catalog=x.ecsv --catalog
--catalog --catalog
--regions=x.reg --regions
--regions --regions
--stamps=d --stamps
--stampsd --stamps
--part=1/1 PIECES
--part PIECES
EOF
[ ! -e refused ] || fail "a refused night made its directory"

# A night whose pieces fail (a malformed table) leaves no report and fails the wait.
echo "FLD01 short line" > bad-table.txt
if timeout 120 "$cluster" --out failed --wait 3 night.txt 2 bad-table.txt; then
  fail "cluster-night reported success for failed pieces"
fi
[ ! -e failed/report.txt ] || fail "a report was written for failed pieces"
grep -q 'must contain 6 fields' failed/piece-1.log || fail "piece 1's log lacks the error"
echo "cluster-night: 3 pieces merged byte for byte; failed pieces reported"
