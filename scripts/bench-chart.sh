#!/usr/bin/env bash
# Draws the benchmark chart from a raw results file of scripts/bench.sh
# (results.txt, one key=value line per run; BENCH_OUT keeps a copy): medians
# over the rounds, korimo beside nginx.
#
#   scripts/bench-chart.sh RESULTS [OUT]
#
# OUT ends in .svg (default: RESULTS with .svg in place of .txt) or .png (cairo
# when gnuplot has it). Four panels: half-close rate and p99 against the number
# of connections, and the browser populations' achieved against asked-for rate
# and their p99 per round.
set -euo pipefail

die() { printf 'bench-chart: %s\n' "$*" >&2; exit 1; }

(($# >= 1 && $# <= 2)) || die "usage: $0 RESULTS [OUT.svg|OUT.png]"
RESULTS=$1
OUT=${2:-${RESULTS%.txt}.svg}
[[ -r $RESULTS ]] || die "cannot read $RESULTS"
command -v gnuplot >/dev/null || die "gnuplot is missing (Debian package gnuplot-nox)"

case $OUT in
  *.svg) TERM_LINE="set terminal svg size 1200,900 dynamic enhanced font 'Sans,12' background '#ffffff'" ;;
  *.png)
    if gnuplot -e 'set terminal' 2>&1 | grep -q pngcairo; then
      TERM_LINE="set terminal pngcairo size 1400,1050 enhanced font 'Sans,11' background '#ffffff'"
    else
      TERM_LINE="set terminal png size 1400,1050 enhanced background '#ffffff'"
    fi ;;
  *) die "OUT must end in .svg or .png: $OUT" ;;
esac

TMP=$(mktemp -d /tmp/korimo-bench-chart.XXXXXX)
trap 'rm -rf "$TMP"' EXIT

# Medians over the rounds, one small table per series:
#   hc-page-korimo.dat, hc-page-nginx.dat, hc-cgi-korimo.dat: C rate p99
#   pop.dat: browsers asked achieved percent p99-median p99-min p99-max rounds
#   title.txt: the chart's title
awk -v dir="$TMP" '
  function sorted(key,   n, i, j, t) {  # fills s[1..n] in order, returns n
    n = cnt[key]; delete s
    for (i = 1; i <= n; i++) s[i] = val[key, i] + 0
    for (i = 2; i <= n; i++) { t = s[i]; for (j = i - 1; j >= 1 && s[j] > t; j--) s[j + 1] = s[j]; s[j + 1] = t }
    return n
  }
  function median(key,   n) { n = sorted(key); return n % 2 ? s[(n + 1) / 2] : (s[n / 2] + s[n / 2 + 1]) / 2 }
  function add(key, v) { if (v == "") return; cnt[key]++; val[key, cnt[key]] = v }
  {
    delete kv
    for (i = 1; i <= NF; i++) { eq = index($i, "="); if (eq) kv[substr($i, 1, eq - 1)] = substr($i, eq + 1) }
    if ("meta" in kv) { mode = kv["mode"]; rounds = kv["rounds"]; date = kv["date"]; standin = kv["standin"]; next }
    if (!("case" in kv) || kv["skipped"] || kv["dead"] || kv["failed"]) next
    c = kv["case"]; srv = kv["server"]
    if (c ~ /^hc[0-9]+-(page|cgi)$/) {
      split(substr(c, 3), p, "-"); series = "hc-" p[2] "-" srv
      if (!((series, p[1]) in seenc)) { seenc[series, p[1]] = 1; conc[series] = conc[series] " " p[1] }
      add(series SUBSEP p[1] SUBSEP "rate", kv["rate"]); add(series SUBSEP p[1] SUBSEP "p99", kv["p99_ms"])
    } else if (c ~ /^pop[0-9]+$/ && srv == "korimo") {
      b = substr(c, 4) + 0
      if (!(b in seenb)) { seenb[b] = 1; nb++; browsers[nb] = b }
      asked[b] = kv["browsers"] / kv["interval"]
      add(b SUBSEP "rate", kv["rate"]); add(b SUBSEP "p99", kv["p99_ms"])
    }
  }
  END {
    split("hc-page-korimo hc-page-nginx hc-cgi-korimo", S, " ")
    for (k = 1; k <= 3; k++) {
      n = split(conc[S[k]], cs, " "); if (n == 0) continue
      for (i = 2; i <= n; i++) { t = cs[i]; for (j = i - 1; j >= 1 && cs[j] + 0 > t + 0; j--) cs[j + 1] = cs[j]; cs[j + 1] = t }
      f = dir "/" S[k] ".dat"
      for (i = 1; i <= n; i++) {
        key = S[k] SUBSEP cs[i]
        printf "%d %.1f %.3f\n", cs[i], median(key SUBSEP "rate"), median(key SUBSEP "p99") > f
      }
      close(f)
    }
    for (i = 2; i <= nb; i++) { t = browsers[i]; for (j = i - 1; j >= 1 && browsers[j] > t; j--) browsers[j + 1] = browsers[j]; browsers[j + 1] = t }
    for (i = 1; i <= nb; i++) {
      b = browsers[i]; r = median(b SUBSEP "rate"); p99 = median(b SUBSEP "p99"); n = sorted(b SUBSEP "p99")
      printf "%d %.1f %.1f %.1f %.1f %.1f %.1f %d\n", b, asked[b], r, 100 * r / asked[b], p99, s[1], s[n], n > (dir "/pop.dat")
    }
    printf "korimo beside nginx on loopback: %s run of %s, %d round(s), medians%s\n",
      mode == "" ? "a" : mode, date == "" ? "unknown date" : date, rounds,
      standin != "" ? " (KORIMO IS PLAYED BY A STAND-IN: " standin ")" : "" > (dir "/title.txt")
  }' "$RESULTS"

# clause FILE TITLE STYLE COLUMNS: one plot clause, when FILE holds data.
clauses=""
clause() {
  [[ -s $TMP/$1 ]] || return 0
  clauses+="${clauses:+, }'$TMP/$1' using $4 with $3 title '$2'"
}
# panel_plot: the panel's plot; one without data still shows its axes and says why.

# The three half-close series (korimo's page and chat view, nginx's page),
# column 2 (rate) or 3 (p99) against concurrency, as one panel.
halfclose_series() {
  clause hc-page-korimo.dat 'korimo, page.html' 'linespoints ls 1' "1:$1"
  clause hc-cgi-korimo.dat 'korimo, status.cgi' 'linespoints ls 2' "1:$1"
  clause hc-page-nginx.dat 'nginx, page.html' 'linespoints ls 3' "1:$1"
  panel_plot
}

panel_plot() {
  if [[ -n $clauses ]]; then
    echo "plot $clauses"
  else
    # gnuplot refuses a plot without points: a constant outside the range instead.
    echo "set label 1 'no data in these results' at graph 0.5, 0.5 center"
    echo "set yrange [1:10]; plot 100 notitle"
    echo "unset label 1"
  fi
  clauses=""
}

{
  echo "$TERM_LINE"
  echo "set output '$OUT'"
  echo "set encoding utf8"
  echo "set grid lc rgb '#dddddd'"
  echo "set style line 1 lc rgb '#1f5fbf' lw 2 pt 7 ps 1.0"
  echo "set style line 2 lc rgb '#2ca02c' lw 2 dt 2 pt 5 ps 1.0"
  echo "set style line 3 lc rgb '#d95f02' lw 2 pt 9 ps 1.1"
  echo "set style line 4 lc rgb '#888888' lw 1.5 dt 3"
  echo "set style line 5 lc rgb '#c00000' lw 1.5 dt 4"
  printf 'set multiplot layout 2,2 title "%s" font ",14"\n' "$(sed 's/"/\\"/g' "$TMP/title.txt")"

  # (a) half-close rate
  echo "set title 'Half-close closed loop: answers per second'"
  echo "set logscale x; set xrange [0.7:750]; set xtics ('1' 1, '10' 10, '100' 100, '500' 500)"
  echo "set xlabel 'concurrent connections C (log scale)'"
  echo "set ylabel 'rate (req/s)'; set yrange [0:*]; set key bottom right"
  halfclose_series 2

  # (b) half-close p99
  echo "set title 'Half-close closed loop: p99 latency, connect to close'"
  echo "set ylabel 'p99 latency (ms, log scale)'; set logscale y; set yrange [*:*]; set key top left"
  halfclose_series 3

  # (c) populations: achieved against asked-for rate
  echo "unset logscale; set xrange [0:55000]; set xtics ('10 000' 10000, '20 000' 20000, '50 000' 50000)"
  echo "set title 'Browser populations (status.cgi every 5 s, korimo): rate'"
  echo "set xlabel 'browsers'; set ylabel 'rate (req/s)'; set yrange [0:*]; set key top left"
  echo "set offsets 0, 0, graph 0.12, 0"  # room for the percentages above the points
  if [[ -s $TMP/pop.dat ]]; then
    clauses="'$TMP/pop.dat' using 1:2 with linespoints ls 4 title 'asked for (browsers / 5 s)'"
    clauses+=", '$TMP/pop.dat' using 1:(0.95*\$2) with lines ls 5 title '95 % of asked'"
    clauses+=", '$TMP/pop.dat' using 1:3 with linespoints ls 1 title 'achieved (median)'"
    clauses+=", '$TMP/pop.dat' using 1:3:(sprintf('%.1f %%', \$4)) with labels offset 0, 1.2 font ',10' notitle"
  fi
  panel_plot

  # (d) populations: p99 per round
  echo "set title 'Browser populations: p99 latency per round (median, min to max)'"
  echo "set ylabel 'p99 latency (ms, log scale)'; set logscale y; set yrange [*:*]; set key top left"
  echo "set offsets 0, 0, 0, 0"
  if [[ -s $TMP/pop.dat ]]; then
    clauses="'$TMP/pop.dat' using 1:5:6:7 with yerrorlines ls 1 title 'korimo p99'"
    clauses+=", 205 with lines ls 5 title '205 ms'"
  fi
  panel_plot
  echo "unset multiplot"
} >"$TMP/chart.gp"

gnuplot "$TMP/chart.gp" || die "gnuplot failed (script: $TMP/chart.gp)"
printf 'bench-chart: %s\n' "$OUT" >&2
