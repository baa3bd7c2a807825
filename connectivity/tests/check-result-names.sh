#!/usr/bin/env bash
# Result codes and handheld statuses are written as numbers in one place only: the lists
# ZR_RESULT_MAP and ZR_STATUS_MAP in zr-net.h.  Everywhere else in the library, the bridge
# and zrlink they go by name (ZR_E_*, ZR_S_*).  This check takes every number of the two
# lists (but -1 to -4, which are also the system's own "-1" and small counts) and looks for
# it as a literal in the code of those sources, comments and strings left out.
# Usage: check-result-names.sh SOURCE_ROOT
set -euo pipefail
root=$1
header=$root/connectivity/src/zr-net/zr-net.h

# The numbers of both lists: X(NAME, value, "text").
mapfile -t numbers < <(sed -n 's/^ *X([A-Z_0-9]*, *-\{0,1\}\([0-9]*\),.*/\1/p' "$header" | sort -un |
                       awk '$1 > 4')
[ "${#numbers[@]}" -ge 25 ] || { echo "check-result-names: only ${#numbers[@]} codes read from $header" >&2; exit 1; }
pattern="\\b($(IFS='|'; echo "${numbers[*]}"))\\b"

status=0
while IFS= read -r -d '' file; do
    [ "$file" = "$header" ] && continue
    # Drop comments, then string and character literals, keeping line numbers.
    hits=$(perl -0777 -pe '
        s{/\*.*?\*/}{ my $c = $&; $c =~ s/[^\n]//g; $c }gse;
        s{//[^\n]*}{}g;
        s{"(?:\\.|[^"\\\n])*"}{""}g;
        s{'"'"'(?:\\.|[^'"'"'\\\n])*'"'"'}{0}g;
    ' "$file" | grep -nE "(^|[^0-9A-Za-z_.x])-?$pattern" | grep -vE "0x[0-9A-Fa-f]*$pattern" || true)
    if [ -n "$hits" ]; then
        echo "$file: a result code or handheld status written as a number:" >&2
        echo "$hits" >&2
        status=1
    fi
done < <(find "$root/connectivity/src/zr-net" "$root/connectivity/src/bridge" "$root/tools/zr-cli" \
              -path '*/tests' -prune -o \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print0)
exit $status
