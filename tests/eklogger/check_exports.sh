#!/usr/bin/env bash
# The library leaves every platform function undefined, to be bound at load
# time, and exports only namespace Log.
set -euo pipefail
library=$1
undefined=$(nm -D --undefined-only "$library")
for function in GwOpenToolkit GwCloseToolkit GwGetObject GwReleaseObject GwGetObjProp \
    GwSetObjProp GwSetObjPropInt GwHandlerGetFormatter GwHandlerSetFormatter \
    GwHandlerGetFmtHeader GwHandlerGetFmtTrailer GwGetLevelFromString GwIsLoggable GwLogText \
    GwLogError GwLogWarn GwLogInfo GwLogDebugMin GwLogDebugMid GwLogDebugMax \
    NxThreadGetCurrentID NxProcessGetCurrentID OruMemoryFree; do
  grep -qw "U $function" <<<"$undefined" || { echo "not undefined: $function"; exit 1; }
done
# Every exported code or data symbol belongs to namespace Log (vtables and
# type information included).
stray=$(nm -DC --defined-only "$library" | awk '$2 ~ /[TDRBV]/ { $1 = ""; $2 = ""; print }' |
        grep -v -E 'Log::|__odr_asan' || true)
if [[ -n $stray ]]; then
  echo "exported outside namespace Log:"; echo "$stray"; exit 1
fi
echo "exports ok"
