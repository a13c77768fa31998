#!/usr/bin/env bash
# Every option --help shows has its own entry in the man page's option list (a .TP paragraph
# that starts with it), and every entry is an option --help shows, so the two never drift.
# Usage: check-manpage.sh PROGRAM MANPAGE
set -euo pipefail
help=$("$1" --help | grep -oE '^ +--[a-z-]+' | grep -oE -- '--[a-z-]+' | sort -u)
man=$(awk 'prev == ".TP" && /^\.BI? \\-\\-/ { print $2 } { prev = $0 }' "$2" | sed 's/\\-/-/g' | sort -u)
missing=$(comm -23 <(echo "$help") <(echo "$man"))
extra=$(comm -13 <(echo "$help") <(echo "$man"))
[ -z "$missing" ] || echo "options of --help without an entry in the man page:" $missing
[ -z "$extra" ] || echo "entries of the man page that --help does not show:" $extra
[ -z "$missing$extra" ]
