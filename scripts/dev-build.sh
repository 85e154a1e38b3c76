#!/usr/bin/env bash
# Builds the extension in build/dev and drops it into src/ so that PYTHONPATH=src runs the working tree.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} \
  -DPython_EXECUTABLE="$(command -v "$py")" ${CMAKE_ARGS:-} >/dev/null
cmake --build build/dev
cp build/dev/statemachine*.so src/tessel/statemachine/
