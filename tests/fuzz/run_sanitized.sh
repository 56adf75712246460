#!/usr/bin/env bash
# Builds both extensions with AddressSanitizer and UndefinedBehaviorSanitizer
# into build/sanitize/pkg (the regular in-place build is left alone), then
# runs the fuzzer there in chunks of fresh processes and counts crashes and
# sanitizer reports.   CALLS=100000 CHUNK=5000 tests/fuzz/run_sanitized.sh
set -uo pipefail
cd "$(dirname "$0")/../.."
CALLS=${CALLS:-100000}
CHUNK=${CHUNK:-5000}
PY=${PY:-.venv/bin/python}
OUT=build/sanitize
mkdir -p "$OUT/pkg"
rsync -a --delete --exclude '*.so' --exclude '__pycache__' src/varnel/ "$OUT/pkg/varnel/" 2>/dev/null ||
  { rm -rf "$OUT/pkg/varnel"; cp -r src/varnel "$OUT/pkg/"; find "$OUT/pkg" -name '*.so' -delete; }
echo "building sanitized extensions in $OUT"
ZEL_SANITIZE=1 PATH="/usr/lib/ccache:$PATH" MAX_JOBS=${MAX_JOBS:-2} flock /tmp/varnel-zel-build.lock \
  "$PY" setup.py -q build_ext --build-temp "$OUT/temp" --build-lib "$OUT/pkg" > "$OUT/build.log" 2>&1 ||
  { tail -30 "$OUT/build.log"; echo "sanitized build failed"; exit 2; }

# The interpreter is not instrumented: the runtimes must be loaded first.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:handle_segv=1
export UBSAN_OPTIONS=print_stacktrace=1
export PYTHONPATH="$OUT/pkg"
log="$OUT/fuzz.log"
: > "$log"
done_calls=0 crashes=0 seed=1000
while [ "$done_calls" -lt "$CALLS" ]; do
  n=$(( CALLS - done_calls < CHUNK ? CALLS - done_calls : CHUNK ))
  "$PY" tests/fuzz/fuzzer.py "$n" "$seed" >> "$log" 2>&1
  rc=$?
  if [ "$rc" -ne 0 ] && ! grep -q "malformed" <(tail -1 "$log"); then
    crashes=$((crashes + 1)); echo "seed $seed: exit $rc" >> "$log"
  fi
  done_calls=$((done_calls + n)); seed=$((seed + 1))
done
reports=$(grep -cE "ERROR: AddressSanitizer|runtime error:" "$log")
malformed=$(grep -c "^MALFORMED" "$log")
echo "$done_calls calls, $crashes crashes, $reports sanitizer reports, $malformed malformed results (log: $log)"
[ "$crashes" -eq 0 ] && [ "$reports" -eq 0 ] && [ "$malformed" -eq 0 ]
