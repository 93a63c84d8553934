#!/usr/bin/env bash
# Installs the build tree into a prefix inside it (cmake --install) and imports the newstars
# Python module from there, the build tree out of reach: the package and its compiled core
# must sit under PYTHON_DIR beside the libraries, find the programs of the same prefix,
# and run on a real image.
#   python_install_test.sh BUILD_DIR SOURCE_DIR PYTHON PYTHON_DIR
# PYTHON_DIR is the package's place relative to the prefix (NEWSTARS_PYTHON_DIR).
set -euo pipefail
build=$1 source=$2 python=$3 pydir=$4
work=$build/python-install
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix

fail() { echo "python install: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "cmake --install failed"; }
package=$prefix/$pydir/newstars
[ -f "$package/__init__.py" ] || fail "not installed: $pydir/newstars/__init__.py"
ls "$package"/_core*.so > /dev/null 2>&1 || fail "not installed: $pydir/newstars/_core*.so"

# From another directory, with only the installed package on the path: the centre of a
# DECam cut-out (astropy's all_pix2world gives the same to the digits printed), which is
# too small (64 x 64) to hold stars.
cd "$work"
got=$(env -u PYTHONHOME PYTHONPATH="$prefix/$pydir" PYTHONNOUSERSITE=1 "$python" -c '
import sys
import newstars
from astropy.io import fits
print(newstars.__file__)
print(newstars._decompressor())
data, header = fits.getdata(sys.argv[1], header=True)
ra, dec = newstars.read_frame(header).pixel_to_sky(31.5, 31.5)
print(f"{ra:.5f} {dec:.5f}", len(newstars.find_stars(data)), data.dtype.str)
' "$source/tests/data/decam_obs04a_cutout.fits") || fail "the installed module does not import or run"
expected="$package/__init__.py
$prefix/bin/fdecomp
318.10818 -66.01562 0 >f8"
[ "$got" = "$expected" ] || fail "printed
$got
not
$expected"
echo "python install: imported from $package"
