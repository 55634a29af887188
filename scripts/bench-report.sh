#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench) and prints each figure
# beside its budget and the MIDI wire time of what it sends: a MIDI 1.0 cable
# carries 3,125 bytes a second, 0.32 ms a byte, so a 3-byte message takes
# 0.96 ms and the 48-byte display clear 15.4 ms.
#
#   scripts/bench-report.sh [extra Google Benchmark options]
#
# Times are the mean CPU time of one call on this machine; "allocs" are the
# heap allocations per call made by the plug-in's own code.
#
# Then the display's lag on a DIN cable, the plug-in against a sender that
# sends every message at once, on the simulated system's clock (the same
# figures on every machine), and its plot over 10 s of scrolling, written to
# docs/display-lag.svg.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-bench

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_BENCH=ON \
  -DQM_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target quillmote_bench quillmote_display_lag >/dev/null

csv=$("$build/bench/quillmote_bench" --benchmark_format=csv --benchmark_min_time=0.2 "$@" \
  2>/dev/null)

echo "Quillmote plug-in: measured on $(uname -m), $(nproc) cores, $(date -u +%Y-%m-%d)"
echo
printf '%-34s %12s %7s  %-22s %s\n' "What" "Time" "Allocs" "Budget" "MIDI wire time"
printf '%-34s %12s %7s  %-22s %s\n' "----" "----" "------" "------" "--------------"
# Budget and wire time by benchmark name; the wire time is that of what the
# call sends to the surface (0.32 ms a byte).
echo "$csv" | awk -F, '
  function fmt(t, unit) { return sprintf(t >= 100 ? "%.0f %s" : "%.3g %s", t, unit) }
  BEGIN {
    what["Decode_PlayPressed"] = "input: PLAY pressed -> DoAction"
    what["Decode_WheelStep"] = "input: wheel step -> DoAction"
    what["Decode_NoButton"] = "input: note of no button"
    what["Output_Lamp"] = "lamp (note-on, 3 bytes)"
    what["Output_DisplayWrite"] = "display write (track name, 18 B)"
    what["Output_DisplayClear"] = "display clear (48 bytes)"
    budget["Decode_PlayPressed"] = "< 1 us, 0 allocs"
    budget["Decode_WheelStep"] = "< 1 us, 0 allocs"
    budget["Decode_NoButton"] = "< 1 us, 0 allocs"
    budget["Output_Lamp"] = "0 allocs"
    budget["Output_DisplayWrite"] = "<< wire, 0 allocs"
    budget["Output_DisplayClear"] = "<< wire, 0 allocs"
    wire["Decode_PlayPressed"] = "0.96 ms received"
    wire["Decode_WheelStep"] = "0.96 ms received"
    wire["Decode_NoButton"] = "0.96 ms received"
    wire["Output_Lamp"] = "0.96 ms"
    wire["Output_DisplayWrite"] = "5.76 ms"
    wire["Output_DisplayClear"] = "15.4 ms"
    # Notifications: what each sends with a current track set.
    ncode["7"] = "record lamp";        nwire["7"] = "0.96 ms"
    ncode["15"] = "flag 15 lamp";      nwire["15"] = "0.96 ms"
    ncode["16"] = "flag 16, 128 queries"; nwire["16"] = "1.92 ms"
    ncode["18"] = "track change, 6 queries"; nwire["18"] = "22.1 ms (7 messages)"
    ncode["19"] = "flag 19 lamp";      nwire["19"] = "0.96 ms"
    ncode["20"] = "volume";            nwire["20"] = "4.16 ms"
    ncode["21"] = "pan";               nwire["21"] = "3.52 ms"
    ncode["39"] = "reload, 0 commands"; nwire["39"] = "none"
    ncode["40"] = "levels (meter)";    nwire["40"] = "5.12 ms"
    ncode["41"] = "time";              nwire["41"] = "6.08 ms"
    ncode["44"] = "track name, 1 query"; nwire["44"] = "5.76 ms"
    ncode["8"] = "ignored code";       nwire["8"] = "none"
  }
  NR == 1 {
    for (i = 1; i <= NF; ++i) if ($i == "\"allocs\"") allocs = i
    next
  }
  {
    name = $1; gsub(/"/, "", name)
    t = $4; unit = $5
    if (unit == "ns" && t >= 1000) { t /= 1000; unit = "us" }
    if (unit == "us" && t >= 1000) { t /= 1000; unit = "ms" }
    time = fmt(t, unit)
    a = (allocs && $allocs != "") ? sprintf("%.2f", $allocs) : "-"
    sub(/\.00$/, "", a)
    label = what[name]; b = budget[name]; w = wire[name]
    if (name ~ /^Notification\/code:/) {
      code = name; sub(/.*code:/, "", code)
      label = "code " code ": " ncode[code]
      b = (code == "18") ? "a few us" : "<< wire"
      w = nwire[code]
    } else if (name ~ /^LoadBindings2000/) {
      label = (name ~ /:1$/) ? "LoadBindings, 2000 cmds, spread" \
                             : "LoadBindings, 2000 cmds, none found"
      b = "at open and code 39"
      w = (name ~ /:1$/) ? "15,016 host calls" : "32,000 host calls"
    } else if (name ~ /^CloseWithQueuedWrites/) {
      time = fmt($3, $5)
      label = (name ~ /:1/) ? "Close, 100 writes queued, stalled" \
                            : "Close, 100 writes queued"
      b = (name ~ /:1/) ? "< 1.5 s (0.6 s drain)" : "returns at once"
      w = "608 ms (100 x 19 B)"
    }
    if (label == "") label = name
    printf "%-34s %12s %7s  %-22s %s\n", label, time, a, b, w
  }'

echo
"$build/bench/quillmote_display_lag" --series "$build/display-lag.csv"
scripts/plot-lag.sh "$build/display-lag.csv" >"$root/docs/display-lag.svg"
echo
echo "The lag over 10 s of scrolling: docs/display-lag.svg"
