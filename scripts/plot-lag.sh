#!/usr/bin/env bash
# Draws the display's staleness over a run of scrolling as an SVG on a
# logarithmic scale (1 ms to 20 s), from the CSV lines of
# quillmote_display_lag --series: seconds, at-once ms, plug-in ms.
#
#   scripts/plot-lag.sh SERIES.csv > plot.svg
set -euo pipefail
if [ $# -ne 1 ] || [ ! -s "$1" ]; then
  echo "usage: plot-lag.sh SERIES.csv (made by quillmote_display_lag --series)" >&2
  exit 2
fi
awk -F, '
  function x(s) { return left + s / xmax * width }
  # 0 (up to date) stands at 1 ms, the bottom of the scale.
  function y(ms) {
    if (ms < 1) ms = 1
    return top + height - log(ms) / log(10) / 4.3 * height
  }
  { t[NR] = $1; a[NR] = $2; p[NR] = $3; n = NR; if ($1 > xmax) xmax = $1 }
  END {
    left = 70; top = 40; width = 560; height = 260
    xmax = int(xmax / 2 + 1) * 2
    printf "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"660\" height=\"360\" "
    printf "font-family=\"sans-serif\" font-size=\"12\">\n"
    printf "<rect width=\"660\" height=\"360\" fill=\"white\"/>\n"
    printf "<text x=\"330\" y=\"22\" text-anchor=\"middle\" font-size=\"14\">"
    printf "How long the display is out of date: 100 track changes a second for 10 s, "
    printf "3,125-byte wire</text>\n"
    for (e = 0; e <= 4; ++e) {
      ms = 10 ^ e
      printf "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"#ddd\"/>\n", \
        left, y(ms), left + width, y(ms)
      label = ms < 1000 ? ms " ms" : ms / 1000 " s"
      printf "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n", left - 6, y(ms) + 4, label
    }
    for (s = 0; s <= xmax; s += 2) {
      printf "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#ddd\"/>\n", \
        x(s), top, x(s), top + height
      printf "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%d s</text>\n", x(s), \
        top + height + 16, s
    }
    printf "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#888\" " \
      "stroke-dasharray=\"4 3\"/>\n", x(10), top, x(10), top + height
    printf "<text x=\"%.1f\" y=\"%d\" fill=\"#555\">scrolling stops</text>\n", x(10) + 4, top + 14
    for (k = 0; k < 2; ++k) {
      printf "<polyline fill=\"none\" stroke-width=\"2\" stroke=\"%s\" points=\"", \
        k == 0 ? "#c0392b" : "#2471a3"
      for (i = 1; i <= n; ++i) {
        v = k == 0 ? a[i] : p[i]
        if (v >= 0) printf "%.1f,%.1f ", x(t[i]), y(v)
      }
      printf "\"/>\n"
    }
    printf "<text x=\"%d\" y=\"%d\" fill=\"#c0392b\">every message sent at once</text>\n", \
      left + 10, top + height + 40
    printf "<text x=\"%d\" y=\"%d\" fill=\"#2471a3\">the plug-in: one write in flight, " \
      "covered writes left out</text>\n", left + 220, top + height + 40
    printf "</svg>\n"
  }' "$1"
