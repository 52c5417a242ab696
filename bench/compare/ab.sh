#!/usr/bin/env bash
# Two builds of Vellomar side by side on the same machine in the same run:
# bench/compare/run.sh --vellomar-only measures direct and one build per run,
# the builds take turns (A B A B ...), and the table gives each row's median
# over the repetitions, so that a passing load on the shared machine hits both
# alike. Ratio = Vellomar's req/s over direct's in the same run.
#
#   bench/compare/ab.sh [--reps N] [--duration SECONDS] [--out FILE] NAME_A BIN_A NAME_B BIN_B
#
# --out appends the table to FILE (bench/RESULTS.md, say) under a heading of
# its own; otherwise it is printed only.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
reps=5
duration=5
out=""
while [[ $# -gt 4 ]]; do
  case "$1" in
    --reps) reps="$2"; shift 2 ;;
    --duration) duration="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    *) break ;;
  esac
done
[[ $# -eq 4 ]] || { echo "usage: $0 [--reps N] [--duration SECONDS] [--out FILE] NAME_A BIN_A NAME_B BIN_B" >&2; exit 2; }
name_a=$1 bin_a=$2 name_b=$3 bin_b=$4
for bin in "$bin_a" "$bin_b"; do [[ -x "$bin" ]] || { echo "not a program: $bin" >&2; exit 1; }; done

work=$(mktemp -d /tmp/vellomar-ab.XXXXXX)
trap 'rm -rf "$work"' EXIT
for ((rep = 1; rep <= reps; rep++)); do
  for side in a b; do
    bin_var="bin_$side"
    echo "repetition $rep of $reps: ${side^^} (${!bin_var})" >&2
    VELLOMAR_BIN=${!bin_var} "$top/bench/compare/run.sh" --vellomar-only --rounds 1 \
      --duration "$duration" --no-write --tsv "$work/$side-$rep.tsv" >"$work/$side-$rep.log" 2>&1 ||
      { cat "$work/$side-$rep.log" >&2; exit 1; }
  done
done

table=$(
  for side in a b; do
    for f in "$work/$side"-*.tsv; do awk -F'\t' -v side="$side" -v run="$f" '{ print side "\t" run "\t" $0 }' "$f"; done
  done | awk -F'\t' '
    function median(list,   n, a, i, j, t) {
      n = split(list, a, " ")
      for (i = 2; i <= n; i++) { t = a[i] + 0; for (j = i - 1; j >= 1 && a[j] + 0 > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
      return (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    # side run scenario conns target rps p50 p99 errors reads
    { if ($5 == "direct") direct[$2, $3, $4] = $6 }
    { row[NR] = $0 }
    END {
      for (i = 1; i <= NR; i++) {
        split(row[i], f, "\t")
        if (f[5] != "vellomar") continue
        key = f[3] "\t" f[4]
        if (!(key in seen)) { seen[key] = 1; order[++n] = key }
        rps[f[1], key] = rps[f[1], key] " " f[6]
        if (f[3] != "peak-rss") {
          ratio[f[1], key] = ratio[f[1], key] " " (direct[f[2], f[3], f[4]] > 0 ? f[6] / direct[f[2], f[3], f[4]] : 0)
          p99[f[1], key] = p99[f[1], key] " " f[8]
          errors[f[1], key] += f[9]
        }
      }
      for (i = 1; i <= n; i++) {
        k = order[i]; split(k, sc, "\t")
        a = median(rps["a", k]); b = median(rps["b", k])
        if (sc[1] == "peak-rss") {
          printf "| peak RSS KiB | - | %d | %d | %.2f | - | - | - | - | - |\n", a, b, (a > 0 ? b / a : 0)
          continue
        }
        printf "| %s | %s | %d | %d | %.2f | %.2f | %.2f | %d | %d | %d/%d |\n", sc[1], sc[2], a, b, (a > 0 ? b / a : 0),
          median(ratio["a", k]), median(ratio["b", k]), median(p99["a", k]), median(p99["b", k]), errors["a", k], errors["b", k]
      }
    }'
)
report=$(
  echo "## Before and after: $name_a (A) and $name_b (B) ($(date -u '+%Y-%m-%d %H:%M UTC'))"
  echo
  echo "bench/compare/ab.sh: direct and one Vellomar per run (wrk 1 thread, ${duration} s per scenario),"
  echo "A and B taking turns over $reps repetitions each (ABAB...), medians over the repetitions;"
  echo "$(nproc) cores shared with other work. Ratio = Vellomar req/s over direct req/s in the same run."
  echo
  echo "| scenario | conns | A req/s | B req/s | B/A | A ratio | B ratio | A p99 us | B p99 us | errors A/B |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  echo "$table"
)
echo "$report"
if [[ -n "$out" ]]; then
  { echo; echo "$report"; } >>"$out"
  echo "appended to $out" >&2
fi
