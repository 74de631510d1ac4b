#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan), prepares their
# seeds from the corpus generator, and fuzzes each target for a while.
#
#   fuzz/run.sh [seconds-per-target] [target...]
#
# Exit 0 when every target ran its time without a finding; 1 on any crash,
# leak, timeout, out-of-memory or sanitizer report (the reproducer is left in
# $FUZZ_BUILD_DIR/artifacts/<target>/); 77 when clang or libFuzzer is missing.
# FUZZ_BUILD_DIR (default build-fuzz/ at the top of the tree) holds the build,
# the generated cases (kept between runs), the working corpora and the logs.
# FUZZ_SKIP_BUILD=1 fuzzes the binaries, references and seeds already in
# FUZZ_BUILD_DIR (a long campaign on a frozen copy while the tree changes).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_reference fuzz_rsv_walker fuzz_mxf fuzz_noref fuzz_envelope fuzz_clip_info)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
jobs=${FUZZ_MAKE_JOBS:-2}

cxx=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$cxx" ]; then
  echo "fuzz: clang++ not found; skipping" >&2
  exit 77
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' > "$probe/p.cpp"
if ! "$cxx" -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" 2>/dev/null; then
  echo "fuzz: $cxx cannot link libFuzzer with ASan/UBSan (libclang-rt-dev missing?); skipping" >&2
  exit 77
fi

if [ "${FUZZ_SKIP_BUILD:-0}" != 1 ]; then
  cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE= >/dev/null
  make -C "$build" -j"$jobs" "${targets[@]}" >/dev/null
  python3 "$root/fuzz/prepare_seeds.py" --gen "$build/gen" --seeds "$build/seeds" --refs "$build/fuzz-refs"
fi

export TV_FUZZ_REFS="$build/fuzz-refs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=0
for t in "${targets[@]}"; do
  case $t in
    fuzz_reference)  maxlen=131072; dict=reference.dict ;;
    fuzz_rsv_walker) maxlen=262145; dict=rsv.dict ;;
    fuzz_mxf)        maxlen=131072; dict=mxf.dict ;;
    fuzz_noref)      maxlen=65537;  dict=rsv.dict ;;
    fuzz_envelope)   maxlen=4096;   dict=envelope.dict ;;
    fuzz_clip_info)  maxlen=65536;  dict=rsv.dict ;;
    *) echo "fuzz: unknown target $t" >&2; exit 2 ;;
  esac
  corpus="$build/corpus/$t" artifacts="$build/artifacts/$t" log="$build/logs/$t.log"
  mkdir -p "$corpus" "$artifacts" "$build/logs"
  # Reproducers of past findings are replayed with the corpus, as regression checks.
  dirs=("$corpus" "$build/seeds/$t")
  [ -d "$root/fuzz/crashes/$t" ] && dirs+=("$root/fuzz/crashes/$t")
  echo "fuzz: $t for ${seconds}s"
  set +e
  "$build/$t" "${dirs[@]}" \
    -dict="$root/fuzz/$dict" -max_len=$maxlen -max_total_time="$seconds" \
    -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" >"$log" 2>&1
  rc=$?
  set -e
  grep -E '^(stat::|Done|INFO: seed corpus)' "$log" | sed "s/^/  $t: /" || true
  if [ $rc -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log"; then
    echo "fuzz: $t FAILED (exit $rc); log: $log; artifacts: $artifacts" >&2
    grep -E -A40 'ERROR:|runtime error:' "$log" | head -60 >&2 || true
    failed=1
  fi
done
exit $failed
