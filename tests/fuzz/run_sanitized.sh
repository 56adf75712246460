#!/usr/bin/env bash
# Builds both extensions with AddressSanitizer and UndefinedBehaviorSanitizer
# into build/sanitize/pkg (the regular in-place build is left alone), then
# runs the fuzzer there in chunks of fresh processes and counts crashes,
# sanitizer reports, malformed results, hangs and the targets reached.
#   CALLS=100000 CHUNK=5000 CHUNK_TIMEOUT=900 tests/fuzz/run_sanitized.sh
set -uo pipefail
cd "$(dirname "$0")/../.."
CALLS=${CALLS:-100000}
CHUNK=${CHUNK:-5000}
CHUNK_TIMEOUT=${CHUNK_TIMEOUT:-900}
PY=${PY:-.venv/bin/python}
OUT=build/sanitize
mkdir -p "$OUT/pkg"
# The Python sources, without the regular build's .so files.
rm -rf "$OUT/pkg/varnel"
cp -r src/varnel "$OUT/pkg/"
find "$OUT/pkg" \( -name '*.so' -o -name '__pycache__' \) -prune -exec rm -rf {} +
echo "building sanitized extensions in $OUT (log: $OUT/build.log)"
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
done_calls=0 crashes=0 hangs=0 seed=1000
while [ "$done_calls" -lt "$CALLS" ]; do
  n=$(( CALLS - done_calls < CHUNK ? CALLS - done_calls : CHUNK ))
  echo "== seed $seed: $n calls" >> "$log"
  timeout -s KILL "$CHUNK_TIMEOUT" "$PY" tests/fuzz/fuzzer.py "$n" "$seed" --coverage >> "$log" 2>&1
  rc=$?
  if [ "$rc" -eq 137 ]; then
    hangs=$((hangs + 1)); echo "seed $seed: no result after ${CHUNK_TIMEOUT}s" >> "$log"
  elif [ "$rc" -ne 0 ] && ! tail -1 "$log" | grep -q " malformed, "; then
    crashes=$((crashes + 1)); echo "seed $seed: exit $rc" >> "$log"
  fi
  done_calls=$((done_calls + n)); seed=$((seed + 1))
done
reports=$(grep -cE "ERROR: AddressSanitizer|runtime error:" "$log")
malformed=$(grep -c "^MALFORMED" "$log")
# Per-target call counts summed over the chunks; every target must be reached.
awk '/^COVERAGE /{n[$2] += $3} END {for (t in n) print n[t], t}' "$log" | sort -n > "$OUT/coverage.txt"
targets=$(wc -l < "$OUT/coverage.txt")
unreached=$(awk '$1 == 0' "$OUT/coverage.txt" | wc -l)
fewest=$(head -1 "$OUT/coverage.txt")
echo "$done_calls calls, $crashes crashes, $reports sanitizer reports, $malformed malformed results," \
  "$hangs hangs, $((targets - unreached))/$targets targets reached (fewest calls: ${fewest:-none};" \
  "counts: $OUT/coverage.txt, log: $log)"
[ "$crashes" -eq 0 ] && [ "$reports" -eq 0 ] && [ "$malformed" -eq 0 ] && [ "$hangs" -eq 0 ] &&
  [ "$targets" -gt 0 ] && [ "$unreached" -eq 0 ]
