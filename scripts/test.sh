#!/usr/bin/env bash
# Installs what is missing, checks the sources' format, builds the native
# library (plain and under the sanitizers), the 32-bit Windows DLL and the
# libFuzzer programs, and runs every test: the native suites directly, the
# Windows ones under Wine, each libFuzzer program for a few seconds. CI runs
# exactly this command (.ci/run).
#
# Nothing is retried. It ends with one line per suite and then the total, on
# the last line:
#   native: 262 run, 262 passed, 0 failed, 0 skipped
#   ...
#   1093 passed, 0 failed, 0 skipped
# ("run" is passed + failed: every test of the suite but the skipped ones; a
# test that could not run, its program missing or a fixture failed, counts
# as failed). The format check counts each source file, the builds each
# configuration. The exit status is 0 only when nothing failed.
#
# Under CI (the environment variable CI set): warnings are errors, a skipped
# test is a failed one (a missing tool is no excuse), and QM_UPDATE_GOLDEN is
# refused.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
strict=
if [ -n "${CI:-}" ]; then
  strict=1
fi

if [ -n "$strict" ] && [ -n "${QM_UPDATE_GOLDEN:-}" ]; then
  echo "error: QM_UPDATE_GOLDEN is refused under CI: golden files are updated by hand and reviewed" >&2
  exit 1
fi

if ! "$root/scripts/install-deps.sh"; then
  echo "error: the tools the tests need could not be installed" >&2
  exit 1
fi
# What this command runs itself, whatever the set-up said: a tool missing
# here would otherwise turn a check into one of nothing.
missing_tools=()
for tool in git cmake ctest clang-format clang clang++ python3 wine xvfb-run cmp sha256sum; do
  command -v "$tool" >/dev/null || missing_tools+=("$tool")
done
if [ ${#missing_tools[@]} -ne 0 ]; then
  echo "error: still missing after scripts/install-deps.sh: ${missing_tools[*]}" >&2
  exit 1
fi

# ---- Results, one entry per suite, printed at the end whatever happens.
suites=()
declare -A s_passed s_failed s_skipped s_note
failed_names=()

record() {
  local suite=$1 passed=$2 failed=$3 skipped=$4 note=${5:-}
  suites+=("$suite")
  s_passed[$suite]=$passed
  s_failed[$suite]=$failed
  s_skipped[$suite]=$skipped
  s_note[$suite]=$note
}

summary() {
  local total_passed=0 total_failed=0 total_skipped=0 suite line
  echo
  echo "=== summary"
  if [ ${#failed_names[@]} -ne 0 ]; then
    echo "failed:"
    printf '  %s\n' "${failed_names[@]}"
  fi
  for suite in "${suites[@]}"; do
    line="$suite: $((s_passed[$suite] + s_failed[$suite])) run, ${s_passed[$suite]} passed,"
    line+=" ${s_failed[$suite]} failed, ${s_skipped[$suite]} skipped"
    if [ -n "${s_note[$suite]}" ]; then
      line+=" (${s_note[$suite]})"
    fi
    echo "$line"
    total_passed=$((total_passed + s_passed[$suite]))
    total_failed=$((total_failed + s_failed[$suite]))
    total_skipped=$((total_skipped + s_skipped[$suite]))
  done
  if [ -n "${windows_note:-}" ] && [ "$windows_note" != broken ]; then
    echo "NOTE: the Windows tests did not run on this machine ($windows_note);"
    echo "      they need a machine that runs 32-bit programs."
  fi
  echo "$total_passed passed, $total_failed failed, $total_skipped skipped"
  [ "$total_failed" -eq 0 ]
}

# ---- Format: every C++ source and header follows .clang-format
# (scripts/check-format.sh, which fails on a tree with no source at all and,
# in a checkout, when git and the folders list different sources).
check_format() {
  echo "=== format"
  local out status checked failed line
  out=$("$root/scripts/check-format.sh" "$root")
  status=$?
  printf '%s\n' "$out"
  line=$(grep -E '^format: [0-9]+ checked, [0-9]+ failed$' <<<"$out" | tail -n 1)
  if [ -z "$line" ]; then
    failed_names+=("format: scripts/check-format.sh checked nothing (exit $status)")
    record format 0 1 0 "no source was checked"
    return
  fi
  read -r _ checked _ failed _ <<<"$line"
  while IFS= read -r line; do
    failed_names+=("format: ${line#not formatted: }")
  done < <(grep '^not formatted: ' <<<"$out")
  if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then
    failed_names+=("format: scripts/check-format.sh ended with $status")
    failed=1
  fi
  record format "$((checked - failed))" "$failed" 0
}

# ---- Builds: one check per configuration.
build_passed=0 build_failed=0 build_skipped=0
declare -A built
build() {
  local preset=$1 dir=$2
  shift 2
  echo "=== build: $preset"
  local werror=OFF
  if [ -n "$strict" ]; then
    werror=ON
  fi
  if cmake --preset "$preset" -DCMAKE_COMPILE_WARNING_AS_ERROR="$werror" >/dev/null &&
    cmake --build "$dir" -j "$jobs" "$@"; then
    build_passed=$((build_passed + 1))
    built[$preset]=1
  else
    build_failed=$((build_failed + 1))
    failed_names+=("build: $preset")
  fi
}

# ---- Test suites: ctest with a JUnit report, counted per test. A test that
# could not run (no program, a fixture that failed) counts as failed; one
# that skipped (its skip code or GoogleTest's SKIPPED) as skipped, or as
# failed under CI.
run_tests() {
  local suite=$1 dir=$2
  shift 2
  echo "=== test: $suite"
  if [ -z "${built[$suite]:-}" ]; then
    record "$suite" 0 0 0 "not run: the build failed"
    return
  fi
  local junit=$root/$dir/ctest-results.xml
  rm -f "$junit"
  ctest --test-dir "$dir" --output-on-failure --no-tests=error --output-junit "$junit" "$@"
  local status=$?
  if [ ! -s "$junit" ]; then
    failed_names+=("$suite: ctest ended with $status and wrote no results")
    record "$suite" 0 1 0 "ctest wrote no results"
    return
  fi
  local counts passed failed skipped name state
  counts=$(awk -v strict="$strict" -v suite="$suite" '
    function attr(line, key,    m) {
      if (match(line, key "=\"[^\"]*\"")) return substr(line, RSTART + length(key) + 2, RLENGTH - length(key) - 3)
      return ""
    }
    function close_case() {
      if (status == "") return
      if (status == "run") {
        passed++
      } else if (status == "fail") {
        failed++; print "failed " name
      } else if (status == "disabled" || (status == "notrun" && why ~ /^SKIP_/)) {
        if (strict) { failed++; print "skipped " name } else { skipped++; print "skippedok " name }
      } else {
        failed++; print "notrun " name " did not run (" why ")"
      }
      status = ""
    }
    /<testcase / { close_case(); status = attr($0, "status"); name = attr($0, "name"); why = ""; next }
    /<skipped message=/ { why = attr($0, "message") }
    END { close_case(); printf "counts %d %d %d\n", passed, failed, skipped }
  ' "$junit")
  read -r _ passed failed skipped < <(grep '^counts ' <<<"$counts")
  while read -r state name; do
    case $state in
      failed) failed_names+=("$suite: $name") ;;
      notrun) failed_names+=("$suite: $name") ;;
      skipped) failed_names+=("$suite: $name skipped (under CI a skip is a failure)") ;;
      skippedok) echo "skipped: $name" ;;
    esac
  done < <(grep -v '^counts ' <<<"$counts")
  if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then
    failed_names+=("$suite: ctest ended with $status")
    failed=1
  fi
  if [ $((passed + failed + skipped)) -eq 0 ]; then
    failed_names+=("$suite: no test ran")
    failed=1
  fi
  record "$suite" "$passed" "$failed" "$skipped"
}

check_format

for preset in native asan tsan windows; do
  build "$preset" "build-$preset"
done
# The libFuzzer programs need clang; the set-up installs it.
fuzz_note=
if command -v clang++ >/dev/null && command -v clang >/dev/null; then
  build fuzz build-fz-clang --target fuzz_input fuzz_update fuzz_bindings fuzz_host
elif [ -n "$strict" ]; then
  build_failed=$((build_failed + 1))
  failed_names+=("build: fuzz (clang is not installed; under CI that is a failure)")
  fuzz_note="not run: clang is not installed"
else
  build_skipped=$((build_skipped + 1))
  fuzz_note="skipped: clang is not installed"
fi
record build "$build_passed" "$build_failed" "$build_skipped"

run_tests native build-native -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_tests asan build-asan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp \
  run_tests tsan build-tsan -j "$jobs"
# The Windows tests include the desk's script cases on the real DLL, which
# the native desk built above (build-native) runs with --wine. They all run
# in the private Wine prefix build-windows/wineprefix, one at a time, after
# windows.wineprefix_begin has ended whatever an earlier run left there and
# made the prefix if it was missing.
# Wine runs those tests as 32-bit programs. Some machines' kernels run no
# 32-bit code at all (every 32-bit program fails with "Exec format error",
# whatever is installed): there the suite cannot run, and the summary says
# so, with the reason, instead of counting each test as a failure of
# nothing. Anything else that keeps the 32-bit loader from starting fails.
runs_32bit_code() {
  local loader=/lib/i386-linux-gnu/ld-linux.so.2 out
  if [ ! -e "$loader" ]; then
    echo "error: the 32-bit loader $loader is missing (wine32:i386 should have brought it)" >&2
    return 2
  fi
  out=$("$loader" --version 2>&1) && return 0
  if [[ $out == *"Exec format error"* ]]; then
    return 1
  fi
  echo "error: the 32-bit loader does not start: $out" >&2
  return 2
}
windows_note=
if [ -n "${built[windows]:-}" ]; then
  runs_32bit_code
  case $? in
    1) windows_note="this machine's kernel runs no 32-bit programs, so Wine cannot run the 32-bit DLL" ;;
    2) windows_note=broken ;;
  esac
fi
if [ -z "$windows_note" ]; then
  run_tests windows build-windows -j "$jobs"
elif [ "$windows_note" = broken ]; then
  failed_names+=("windows: the 32-bit loader does not start (above)")
  record windows 0 1 0 "not run: the 32-bit loader does not start"
else
  echo "=== test: windows"
  echo "not run: $windows_note"
  windows_tests=$(ctest --test-dir build-windows -N | sed -n 's/^Total Tests: //p')
  record windows 0 0 "${windows_tests:-0}" "not run: $windows_note"
fi
fuzz_targets=4
if [ -n "$fuzz_note" ] && [ -n "$strict" ]; then
  record fuzz 0 "$fuzz_targets" 0 "$fuzz_note"
elif [ -n "$fuzz_note" ]; then
  record fuzz 0 0 "$fuzz_targets" "$fuzz_note"
else
  run_tests fuzz build-fz-clang
fi

# ---- Reproducible release package: scripts/package.sh twice, each in a
# fresh directory of its own; the DLL, the doctor and the zip must come out
# byte for byte the same.
# A tree that is no checkout (an unpacked archive) has no commit to date the
# entries by: both builds get one fixed time, so that they still compare.
package_epoch=${SOURCE_DATE_EPOCH:-}
if [ -z "$package_epoch" ] && { [ ! -e "$root/.git" ] ||
  ! git -C "$root" rev-parse --verify -q HEAD >/dev/null 2>&1; }; then
  package_epoch=315532800 # 1980-01-01, the earliest time a zip holds
  echo "package: no commit to take the time from; SOURCE_DATE_EPOCH=$package_epoch"
fi
package_dirs=("$(mktemp -d)" "$(mktemp -d)")
package_ok=1
for dir in "${package_dirs[@]}"; do
  echo "=== package: $dir"
  SOURCE_DATE_EPOCH=$package_epoch "$root/scripts/package.sh" "$dir/build" "$dir/dist" \
    >"$dir/package.log" 2>&1 || { package_ok=0; cat "$dir/package.log"; }
done
package_passed=0
package_failed=0
if [ $package_ok -eq 1 ]; then
  for file in build/Quillmote1_5.cv2 build/quillmote-check.exe dist/quillmote-*-win32.zip; do
    # shellcheck disable=SC2086
    if cmp ${package_dirs[0]}/$file ${package_dirs[1]}/$file; then
      package_passed=$((package_passed + 1))
    else
      package_failed=$((package_failed + 1))
      failed_names+=("package: $file differs between two clean builds")
    fi
  done
else
  package_failed=1
  failed_names+=("package: scripts/package.sh failed")
fi
if [ $package_failed -eq 0 ]; then
  echo "Reproducible package: two clean builds gave identical files:"
  (cd "${package_dirs[0]}" && sha256sum build/Quillmote1_5.cv2 build/quillmote-check.exe dist/*.zip)
  rm -rf "${package_dirs[@]}"
else
  echo "Reproducible package: FAILED (builds kept in ${package_dirs[*]})" >&2
fi
record package "$package_passed" "$package_failed" 0

summary
