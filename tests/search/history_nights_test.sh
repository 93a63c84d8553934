#!/usr/bin/env bash
# Five simulated nights searched into one candidate history (--history), by either method:
# the supernova is one source with five points of its light curve; a source labelled bogus
# on the page of night 1 (labels.csv imported) is flagged on nights 2 to 5, and one on a
# user's list of known objects too; the report is the same bytes with and without
# --history; two runs writing one history at once lose nothing.
#   history_nights_test.sh BIN_DIR METHOD
set -euo pipefail
bin=$1 method=$2
fail() { echo "history nights ($method): $*" >&2; exit 1; }
work=$(mktemp -d /tmp/newstars-history-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
for k in 1 2 3 4 5; do
  "$bin/simnight" --seed 7 --size 512 --objects 1 --images 2 --inject 4 --night "$k" \
    --supernova --no-fpack --out "n$k" > /dev/null
done
search() { # night history [options...]: the night's report on standard output
  local night=$1 history=$2; shift 2
  (cd "$night" && "$bin/newstars" --method "$method" --history "$history" "$@" \
    -f files.txt 2 table.txt)
}

(cd n1 && "$bin/newstars" --method "$method" --catalog plain.ecsv -f files.txt 2 table.txt \
  > plain.txt)
search n1 ../h.db --catalog cat.ecsv --page page > n1/report.txt
cmp -s n1/plain.txt n1/report.txt || fail "the report changes with --history"
grep -q '"h":{"first":' n1/page/index.html || fail "the page holds no history"

# From night 1: the injected source of each test image nearest the centre labelled bogus
# as the page saves it, the other test image's marked known.
/usr/bin/python3 - n1 <<'EOF'
import sys
from astropy.table import Table
night = sys.argv[1]
t = Table.read(night + '/cat.ecsv', format='ascii.ecsv')
plain = Table.read(night + '/plain.ecsv', format='ascii.ecsv')
assert t.colnames[:len(plain.colnames)] == plain.colnames, 'the columns before the history differ'
truth = [l.split() for l in open(night + '/truth.txt') if not l.startswith('#')]
def nearest(image):
    best = None
    for s in truth:
        if s[1] != image or len(s) > 10:  # an injected source of the image, no supernova
            continue
        ra, dec = float(s[2]) * 15, float(s[3])
        for r in t:
            if r['image'] == image and abs(r['ra'] - ra) < 1e-3 and abs(r['dec'] - dec) < 1e-3:
                if best is None or float(s[4]) > best[0]:
                    best = (float(s[4]), r)
    assert best is not None, 'no injected source of %s found' % image
    return best[1]
bogus = nearest('FLD01_1.fts')
known = nearest('FLD01_2.fts')
with open('labels.csv', 'w') as f:
    f.write('image,number,ra,dec,label\n')
    f.write('%s,%d,%.10f,%.10f,bogus\n' % (bogus['image'], bogus['number'], bogus['ra'], bogus['dec']))
with open('known.ecsv', 'w') as f:
    f.write('# %ECSV 1.0\n# ---\n# datatype:\n# - {name: name, datatype: string}\n')
    f.write('# - {name: ra, datatype: float64}\n# - {name: dec, datatype: float64}\n')
    f.write('name ra dec\n"V* Test Var" %.7f %.7f\n' % (known['ra'], known['dec']))
with open('marked.txt', 'w') as f:
    f.write('%.7f %.7f\n%.7f %.7f\n' % (bogus['ra'], bogus['dec'], known['ra'], known['dec']))
EOF
out=$("$bin/newstars" history --labels labels.csv --known known.ecsv h.db)
[ "$out" = $'labels.csv: 1 label imported\nknown.ecsv: 1 known object marked' ] ||
  fail "history import printed: $out"

for k in 2 3 4 5; do
  search "n$k" ../h.db --catalog cat.ecsv > "n$k/report.txt"
done
/usr/bin/python3 - <<'EOF'
import math
from astropy.table import Table
marked = [tuple(map(float, l.split())) for l in open('marked.txt')]
truth = [l.split() for l in open('n1/truth.txt') if l.rstrip().endswith('supernova')]
sn = (float(truth[0][2]) * 15, float(truth[0][3]))
def near(r, p):
    return math.hypot((r['ra'] - p[0]) * math.cos(math.radians(p[1])), r['dec'] - p[1]) * 3600 < 2
sources = set()
for k in range(1, 6):
    t = Table.read('n%d/cat.ecsv' % k, format='ascii.ecsv')
    rows = [r for r in t if near(r, sn)]
    assert len(rows) == 2, 'night %d: %d supernova rows' % (k, len(rows))
    for r in rows:
        sources.add(int(r['history_source']))
        assert r['times_seen'] == 2 * k and r['nights'] == k, (k, r['times_seen'], r['nights'])
        points = str(r['light_curve']).split(';')
        assert len(points) == k, (k, points)
        assert not r['flagged']
    if k == 5:
        flux = [float(p.split(':')[1]) for p in points]
        assert flux.index(max(flux)) == 2 and flux[0] < flux[2] > flux[4], flux
        print('supernova light curve', points)
    flagged = [r for r in t if r['flagged']]
    if k == 1:
        assert not flagged, 'night 1 flagged before any label'
        continue
    want = {0: 'bogus', 1: 'V* Test Var'}
    for i, p in enumerate(marked):
        on = [r for r in t if near(r, p)]
        assert len(on) == 1, 'night %d: %d rows on mark %d' % (k, len(on), i)
        r = on[0]
        assert r['flagged'], 'night %d: mark %d not flagged' % (k, i)
        got = r['label'] if i == 0 else r['known']
        assert got == want[i], (k, i, got)
        assert r['times_seen'] == k, (k, i, r['times_seen'])
    assert len(flagged) == 2, 'night %d: %d flagged' % (k, len(flagged))
assert len(sources) == 1, 'the supernova is %d sources' % len(sources)
EOF

# Two runs into one new history at once: every kept candidate of both is there.
search n1 ../both.db --catalog both.ecsv > /dev/null &
first=$!
search n2 ../both.db --catalog both.ecsv > /dev/null &
second=$!
wait "$first" || fail "the first of two runs at once failed"
wait "$second" || fail "the second of two runs at once failed"
rows=$(/usr/bin/python3 -c "
from astropy.table import Table
print(sum(len(Table.read('n%d/both.ecsv' % k, format='ascii.ecsv')) for k in (1, 2)))")
[ "$method" = difference ] && rows=$(/usr/bin/python3 -c "
from astropy.table import Table
print(sum(sum(1 for r in Table.read('n%d/both.ecsv' % k, format='ascii.ecsv') if r['verdict'] == 'kept') for k in (1, 2)))")
summary=$("$bin/newstars" history both.db)
case $summary in
  "both.db: 2 runs, "*", $rows detections, 0 known objects, 0 labels") ;;
  *) fail "two runs at once: $summary, $rows rows" ;;
esac
echo "history nights ($method): 5 nights, supernova one source, flags on nights 2-5; $summary"
