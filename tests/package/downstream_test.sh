#!/usr/bin/env bash
# Installs the build tree into a prefix inside it (cmake --install), checks that the
# libraries, headers, CMake package, pkg-config file, manual page and programs are there,
# then builds tests/package/downstream against that prefix twice, with find_package and
# with pkg-config, and runs both builds on a real image.
#   downstream_test.sh BUILD_DIR SOURCE_DIR LIBDIR CXX [CXXFLAGS]
# CXXFLAGS are what a program linking these libraries needs (the sanitizers of the tree).
set -euo pipefail
build=$1 source=$2 libdir=$3 cxx=$4 flags=${5:-}
work=$build/downstream
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix

fail() { echo "downstream: $*" >&2; exit 1; }
run() { # log command...: the command's output goes to the log, shown when it fails
  local log=$1; shift
  "$@" > "$log" 2>&1 || { cat "$log"; fail "failed: $*"; }
}

run "$work/install.log" cmake --install "$build" --prefix "$prefix"
for lib in base sky fits wcs stars config diff vet history search; do
  [ -f "$prefix/$libdir/libnewstars_$lib.a" ] || fail "not installed: $libdir/libnewstars_$lib.a"
  [ -n "$(ls "$prefix/include/newstars/$lib/"*.hpp 2> /dev/null)" ] ||
    fail "no headers installed in include/newstars/$lib"
done
for file in bin/newstars bin/fdecomp "$libdir/cmake/newstars/newstarsConfig.cmake" \
  "$libdir/cmake/newstars/newstarsConfigVersion.cmake" "$libdir/pkgconfig/newstars.pc" \
  share/man/man1/newstars.1; do
  [ -f "$prefix/$file" ] || fail "not installed: $file"
done
# Only the headers: no sources, no build files.
extra=$(find "$prefix/include" -type f ! -name '*.hpp')
[ -z "$extra" ] || fail "not headers: $extra"

# A 64 x 64 cut-out of a DECam image with standard world coordinates; the position of
# its centre agrees with astropy's (21h12m25.96s -66d00m56.24s) to the printed digits.
image=$source/tests/data/decam_obs04a_cutout.fits
expected="64 x 64, BITPIX -64, centre 21:12:26.0 -66:00:56"

run "$work/cmake-configure.log" cmake -S "$source/tests/package/downstream" -B "$work/cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
grep -qF "$prefix/$libdir/cmake/newstars" "$work/cmake/CMakeCache.txt" ||
  fail "find_package(newstars) did not take the installed tree"
run "$work/cmake-build.log" cmake --build "$work/cmake"
got=$("$work/cmake/downstream" "$image") || fail "the find_package build failed on $image"
[ "$got" = "$expected" ] || fail "find_package build printed '$got', not '$expected'"

export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
[ "$(pkg-config --modversion newstars)" != "" ] || fail "pkg-config does not find newstars"
read -r -a cflags <<< "$(pkg-config --cflags newstars)"
read -r -a libs <<< "$(pkg-config --libs newstars)"
read -r -a extra_flags <<< "$flags"

# Every installed header stands on its own in the installed tree: none names a header
# that was left out (a library's *_internal.hpp) or one that only the source tree has.
compile_alone() { # header: compiles a file that includes only it
  local name=${1#"$prefix/include/newstars/"}
  [[ $name != *_internal.hpp ]] || { echo "installed though internal: $name"; return 1; }
  printf '#include "%s"\n' "$name" | "$cxx" -std=c++20 -fsyntax-only "${cflags[@]}" -x c++ - ||
    { echo "$name does not compile from the installed tree"; return 1; }
}
export -f compile_alone
export prefix cxx
cflags_text="${cflags[*]}"
printf '%s\0' "$prefix"/include/newstars/*/*.hpp |
  xargs -0 -n 1 -P "$(nproc)" bash -c 'read -r -a cflags <<< "$0"; compile_alone "$1"' \
    "$cflags_text" > "$work/headers.log" 2>&1 ||
  { cat "$work/headers.log"; fail "an installed header does not stand on its own"; }
run "$work/pkg-config-build.log" "$cxx" -std=c++20 "${extra_flags[@]}" "${cflags[@]}" \
  "$source/tests/package/downstream/main.cpp" -o "$work/pkg-config-downstream" "${libs[@]}"
got=$("$work/pkg-config-downstream" "$image") || fail "the pkg-config build failed on $image"
[ "$got" = "$expected" ] || fail "pkg-config build printed '$got', not '$expected'"
echo "downstream: find_package and pkg-config builds print '$got'"
