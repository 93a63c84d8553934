#!/usr/bin/env bash
# The manual page formats without a warning and names every option that --help lists.
#   man_page_test.sh NEWSTARS MAN_PAGE
set -euo pipefail
program=$1 page=$2
fail() { echo "man page: $*" >&2; exit 1; }

warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1) || fail "groff failed: $warnings"
[ -z "$warnings" ] || fail "groff warns: $warnings"

# Options as --help lists them at the start of an indented line ("  --wcs MODE", "  -j N"),
# and the subcommands of its usage lines.
help=$("$program" --help 2>&1)
mapfile -t options < <(grep -oE '^  +-(-[a-z][a-z-]*|[a-z])' <<< "$help" | tr -d ' ')
[ ${#options[@]} -ge 10 ] || fail "found only ${#options[@]} options in --help"
text=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null)
missing=()
for option in "${options[@]}" pair merge; do
  grep -qE -- "(^|[^a-z-])${option}([^a-z-]|$)" <<< "$text" || missing+=("$option")
done
[ ${#missing[@]} -eq 0 ] || fail "not in $page: ${missing[*]}"
echo "man page: ${#options[@]} options of --help, pair and merge described"
