#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UBSan into its own venv and runs the test suite under it.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
venv=${SANITIZE_VENV:-build/sanitize-venv}
"$py" -m venv --clear "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q '.[test]' \
  -C cmake.define.TESSEL_SANITIZE=ON -C cmake.build-type=Debug -C build-dir=build/sanitize
libasan=$(gcc -print-file-name=libasan.so)
# Reports go to files and are printed at the end: a report written while pytest captures the
# test's output would be lost with the aborted process. (Made before the sanitizer is preloaded:
# under it, the leak checker fails ordinary programs such as mktemp.)
reports=$(mktemp -d)
status=0
(
  # Python's own allocator hides heap errors from ASan; leaks of the interpreter itself are not
  # ours.
  export LD_PRELOAD="$libasan"
  export PYTHONMALLOC=malloc
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1:log_path=$reports/asan
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan
  exec "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
) || status=$?
for report in "$reports"/*; do
  [ -e "$report" ] || continue
  echo "== sanitizer report $(basename "$report")"
  cat "$report"
  [ "$status" -ne 0 ] || status=1
done
rm -rf "$reports"
exit $status
