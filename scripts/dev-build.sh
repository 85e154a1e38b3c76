#!/usr/bin/env bash
# Builds the extension in build/dev-<interpreter> and drops it into src/ so that PYTHONPATH=src runs the working tree.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
# One build directory per interpreter: CMake keeps the Python it found in its cache.
build=build/dev-$("$py" -c 'import sys; print(sys.implementation.cache_tag)')
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} \
  -DPython_EXECUTABLE="$(command -v "$py")" ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build"
for so in "$build"/statemachine*.so; do
  # Rename over the old file: a running interpreter keeps its mapping of the old one.
  cp "$so" "src/tessel/statemachine/.$(basename "$so").new"
  mv "src/tessel/statemachine/.$(basename "$so").new" "src/tessel/statemachine/$(basename "$so")"
done
