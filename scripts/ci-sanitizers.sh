#!/usr/bin/env bash
# The sanitizer stages of CI:
#   asan  builds everything with AddressSanitizer + UBSan into build-asan and
#         runs the whole CTest suite (leak checking on);
#   tsan  builds the proxy's and the platform layer's tests and the programs
#         they start with ThreadSanitizer into build-tsan and runs them.
# Every sanitizer report of every process (the test programs and the
# programs they start) is written under <build>/sanitizer-logs/; a stage fails
# when its tests fail or when any report was written.
#
#   scripts/ci-sanitizers.sh [asan|tsan]...    (default: both)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs="${JOBS:-$(nproc)}"
stages=("$@")
((${#stages[@]})) || stages=(asan tsan)

# The proxy's end-to-end tests live in tests/proxy/; the proxy's own unit
# tests are in proxy_tests; platform_tests holds the threads that sessions
# run on and the registry every thread reads; certauth_tests the host
# certificate cache that sessions share. TSAN_TARGETS may name others.
tsan_targets=(${TSAN_TARGETS:-proxy_tests proxy_e2e_tests platform_tests certauth_tests})
# Programs the end-to-end tests start.
program_targets=(vellomar vmreg vmlists)

configure() {  # build-dir sanitizer
  cmake -S "$top" -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" \
    -DVELLOMAR_SANITIZE="$2" -DVELLOMAR_BENCHMARKS=OFF -DVELLOMAR_FUZZ=OFF >/dev/null
}

existing_targets() {  # build-dir names...: those the build knows
  local build=$1 name
  shift
  local known
  known=$(cmake --build "$build" --target help | awk '{ print $2 }')
  for name in "$@"; do
    grep -qx "$name" <<<"$known" && echo "$name"
  done
}

reports() {  # log-dir: fails (and prints them) when any report was written
  local logs=$1
  if compgen -G "$logs/*" >/dev/null; then
    echo "sanitizer reports:" >&2
    for f in "$logs"/*; do
      echo "--- $f" >&2
      head -80 "$f" >&2
    done
    return 1
  fi
}

status=0
for stage in "${stages[@]}"; do
  started=$SECONDS
  case "$stage" in
    asan)
      build="$top/build-asan"
      configure "$build" address
      cmake --build "$build" -j "$jobs"
      built=$SECONDS
      # The browser tests' node packages (scripts/test.sh installs them too).
      if [[ -x "$top/tests/browser/install.sh" ]]; then "$top/tests/browser/install.sh"; fi
      logs="$build/sanitizer-logs"
      rm -rf "$logs" && mkdir -p "$logs"
      (
        cd "$build"
        ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=0:log_path=$logs/asan:detect_stack_use_after_return=1" \
          UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan" \
          LSAN_OPTIONS="suppressions=$top/scripts/lsan-suppressions.txt:print_suppressions=0" \
          ctest --output-on-failure --timeout 900 -j "$jobs"
      ) || status=1
      reports "$logs" || status=1
      ;;
    tsan)
      build="$top/build-tsan"
      configure "$build" thread
      mapfile -t targets < <(existing_targets "$build" "${tsan_targets[@]}" "${program_targets[@]}")
      cmake --build "$build" --target "${targets[@]}" -j "$jobs"
      built=$SECONDS
      logs="$build/sanitizer-logs"
      rm -rf "$logs" && mkdir -p "$logs"
      # ctest names the tests Suite.Test: select those of the programs built.
      suites=()
      for target in "${targets[@]}"; do
        program="$build/tests/$target"
        [[ -x "$program" ]] || continue
        mapfile -t -O "${#suites[@]}" suites < <("$program" --gtest_list_tests |
          awk '/^[^ ]/ { sub(/\.$/, ""); sub(/ .*/, ""); print }')
      done
      if ((${#suites[@]} == 0)); then
        echo "no proxy tests to run under ThreadSanitizer" >&2
        status=1
      else
        pattern="^($(IFS='|'; echo "${suites[*]}"))\\."
        (
          cd "$build"
          # setarch -R: older ThreadSanitizer runtimes reject some randomised
          # memory layouts.
          TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$logs/tsan" \
            setarch "$(uname -m)" -R ctest --output-on-failure --timeout 900 -j "$jobs" -R "$pattern"
        ) || status=1
        reports "$logs" || status=1
      fi
      ;;
    *) echo "unknown stage $stage (asan or tsan)" >&2; exit 2 ;;
  esac
  echo "stage $stage: build $((built - started)) s, tests $((SECONDS - built)) s"
done
exit $status
