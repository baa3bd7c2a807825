#!/usr/bin/env bash
# Checks how libQXConJNI.so is linked: it exports exactly the natives that ConnectivityAPI.java
# declares, needs libzr-net.so and finds it beside itself through a search path that starts
# with $ORIGIN and names nothing outside the library's own folder tree.
# Usage: check-bridge-library.sh ConnectivityAPI.java libQXConJNI.so
set -euo pipefail
java_source=$1 lib=$2
prefix=Java_com_kq_vlx_qxconnect_connectivity_ConnectivityAPI_
want=$(grep -oE '\bnative [A-Za-z]+ [A-Za-z0-9_]+\(' "$java_source" | sed -E "s/.* ([A-Za-z0-9_]+)\($/$prefix\1/" | sort -u)
have=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVWiu]$/ {print $3}' | sed 's/@.*//' \
       | grep -vE '^(_init|_fini|_edata|_end|__bss_start)$' | sort -u)
status=0
if [ -z "$want" ] || [ "$want" != "$have" ]; then
  echo "exports differ from the natives of ConnectivityAPI (< natives only, > library only):"
  diff <(echo "$want") <(echo "$have") || true
  status=1
fi
dynamic=$(readelf -d "$lib")
if ! grep -qE '\(NEEDED\).*\[libzr-net\.so' <<<"$dynamic"; then
  echo "libQXConJNI.so is not linked against libzr-net.so at load time"
  status=1
fi
# Every entry of the search path is relative to the library's own folder ($ORIGIN, then the
# way from an installation's lib/lumara-link/lib to its library folder): nothing of the build.
path=$(grep -E '\((RPATH|RUNPATH)\)' <<<"$dynamic" | sed -E 's/.*\[(.*)\]$/\1/')
IFS=: read -r -a entries <<<"$path"
if [ "${entries[0]:-}" != '$ORIGIN' ]; then
  echo "library search path is '$path', not \$ORIGIN first"
  status=1
fi
for e in "${entries[@]}"; do
  case "$e" in
    '$ORIGIN' | '$ORIGIN/'*) ;;
    *) echo "library search path '$path' holds '$e', which is not relative to \$ORIGIN"; status=1 ;;
  esac
done
# The link must resolve from the library's own folder, without any search path from outside.
if env -u LD_LIBRARY_PATH ldd "$lib" | grep -E 'libzr-net' | grep -q 'not found'; then
  echo "libzr-net.so is not found beside libQXConJNI.so"
  status=1
fi
[ $status -eq 0 ] && echo "libQXConJNI.so exports the $(echo "$want" | wc -l) natives, needs libzr-net.so, search path $path"
exit $status
