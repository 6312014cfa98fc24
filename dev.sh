#!/usr/bin/env bash
# The project's one entry point for a newcomer and for CI.
#   ./dev.sh demo    install what is missing, build, run the launcher on the bundled demo
#   ./dev.sh test    install what is missing, check formatting and the layer order, build,
#                    run every test (what CI runs)
#   ./dev.sh unit    build and run the fast tests only (label "unit": no end-to-end runs,
#                    no window, no kill campaign), for the inner loop
#   ./dev.sh build   install what is missing and build
#   ./dev.sh bench   build and print the benchmark figures
#   ./dev.sh fuzz    build and feed 1,000,000 mutated inputs to every reader of outside bytes
# BUILD_DIR (default: build) selects the build folder.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${BUILD_DIR:-$here/build}

configure_and_build() {
  "$here/scripts/bootstrap.sh"
  cmake -S "$here" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-mingw64.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j "$(nproc)"
}

case "${1:-}" in
  build)
    configure_and_build
    ;;
  demo)
    configure_and_build
    export WINEPREFIX="$build/wineprefix"
    "$here/cmake/wine_prefix.sh" start "$build" >/dev/null
    trap '"$here/cmake/wine_prefix.sh" stop "$build" >/dev/null' EXIT
    python3 "$here/scripts/demo.py" "$build"
    ;;
  test)
    "$here/scripts/bootstrap.sh"
    "$here/scripts/check_format.sh"
    python3 "$here/scripts/check_layers.py"
    configure_and_build
    cd "$build"
    ctest --output-on-failure -j 2
    ;;
  unit)
    python3 "$here/scripts/check_layers.py"
    configure_and_build
    cd "$build"
    ctest --output-on-failure -j 2 -L unit
    ;;
  bench)
    configure_and_build
    export WINEPREFIX="$build/wineprefix"
    "$here/cmake/wine_prefix.sh" start "$build"
    trap '"$here/cmake/wine_prefix.sh" stop "$build"' EXIT
    "$here/cmake/wine_run.sh" "$build/bench/sha256_bench.exe"
    "$here/bench/blob_download_bench.sh" "$build"
    "$here/bench/verify_bench.sh" "$build"
    "$here/bench/archive_bench.sh" "$build"
    python3 "$here/bench/update_bench.py" "$build"
    python3 "$here/bench/delta_bench.py" "$build"
    python3 "$here/bench/resume_bench.py" "$build"
    python3 "$here/bench/feed_publish_bench.py"
    ;;
  fuzz)
    configure_and_build
    export WINEPREFIX="$build/wineprefix"
    "$here/cmake/wine_prefix.sh" start "$build"
    trap '"$here/cmake/wine_prefix.sh" stop "$build"' EXIT
    "$here/cmake/wine_run.sh" "$build/fuzz/fuzz_readers.exe" --inputs 1000000 --seed "${FUZZ_SEED:-1}" \
      --faults "$build/fuzz/faults"
    ;;
  *)
    echo "usage: ./dev.sh demo | test | unit | build | bench | fuzz" >&2
    exit 2
    ;;
esac
