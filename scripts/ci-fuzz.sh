#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/*_fuzz.cpp) with clang into build-fuzz
# and runs each for FUZZ_SECONDS (default 60) from its seed corpus in
# fuzz/corpus/<target>/. New inputs go to a scratch corpus, so the committed
# corpus stays small. Fails when a target finds a crash, a leak or a broken
# invariant; the reproducer is left in build-fuzz/findings/<target>/.
#
#   scripts/ci-fuzz.sh [TARGET...]      (default: every target)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-fuzz"
seconds="${FUZZ_SECONDS:-60}"
jobs="${JOBS:-$(nproc)}"

if ! command -v clang++ >/dev/null; then
  echo "clang++ is missing (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

started=$SECONDS
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELLOMAR_FUZZ=ON -DVELLOMAR_BENCHMARKS=OFF -DVELLOMAR_SANITIZE= >/dev/null
mapfile -t all_targets < <(cd "$top/fuzz" && ls -1 ./*_fuzz.cpp | sed 's#^\./##; s#\.cpp$##')
targets=("$@")
((${#targets[@]})) || targets=("${all_targets[@]}")
cmake --build "$build" --target "${targets[@]}" -j "$jobs"
echo "fuzz build: $((SECONDS - started)) s"

failed=()
for target in "${targets[@]}"; do
  scratch="$build/corpus/$target"
  findings="$build/findings/$target"
  rm -rf "$findings"
  mkdir -p "$scratch" "$findings"
  seeds="$top/fuzz/corpus/$target"
  [[ -d "$seeds" ]] || seeds=""
  echo "== $target: ${seconds} s"
  if ASAN_OPTIONS="detect_leaks=1:halt_on_error=1" UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    "$build/bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$scratch" $seeds \
    >"$build/$target.log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$build/$target.log" | tail -2 || true
  else
    failed+=("$target")
    tail -60 "$build/$target.log"
    ls -l "$findings"
  fi
done
echo "fuzzing: $((SECONDS - started)) s in all"
if ((${#failed[@]})); then
  echo "FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "${#targets[@]} passed, 0 failed"
