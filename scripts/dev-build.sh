#!/usr/bin/env bash
# Builds the extension in build/dev and drops it into src/ so that PYTHONPATH=src runs the working tree.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} \
  -DPython_EXECUTABLE="$(command -v "$py")" ${CMAKE_ARGS:-} >/dev/null
cmake --build build/dev
for so in build/dev/statemachine*.so; do
  # Rename over the old file: a running interpreter keeps its mapping of the old one.
  cp "$so" "src/tessel/statemachine/.$(basename "$so").new"
  mv "src/tessel/statemachine/.$(basename "$so").new" "src/tessel/statemachine/$(basename "$so")"
done
