#!/usr/bin/env bash
# Set-up, build and run in one place.
#   ./dev.sh scan    install what is missing, build, scan this machine
#   ./dev.sh test    install what is missing, build plain, ThreadSanitizer and
#                    AddressSanitizer+UBSan variants, run every test in each,
#                    then fuzz the configuration and report parsers and the
#                    engine's data-file parsers
#   ./dev.sh bench   install what is missing, build, run the benchmarks and compare
#                    the engine with yara and clamscan (installs both)
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(g++ cmake ninja-build ccache libgtest-dev libgmock-dev libbenchmark-dev libpugixml-dev
          libxml2-utils clang libclang-rt-14-dev libyara-dev libssl-dev libsqlite3-dev libsystemd-dev
          pkg-config yara python3 openssl libzip-dev libcurl4-openssl-dev unzip
          python3-dev python3-pytest pybind11-dev libjemalloc-dev wine64-tools)
JOBS=${JOBS:-$(nproc)}

setup() {
  local missing=()
  for package in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

# Compiler results are shared between the three builds' unchanged sources and
# between clones in other folders (CI builds a fresh clone each time).
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-5G}

# build DIR [cmake options...]
# Each build folder signs the product's executables with a development root of
# its own (made once, kept in DIR/signing, never committed) and trusts that root.
build() {
  local dir=$1
  shift
  local root
  root=$(tools/vxsign/dev-signing.sh "$dir/signing")
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
    -DVX_TRUSTED_TEST_ROOT_SHA1="$root" -DVX_SIGNING_KEY="$PWD/$dir/signing/signer.key" \
    -DVX_SIGNING_CERT="$PWD/$dir/signing/signer.pem" -DVX_SIGNING_CHAIN="$PWD/$dir/signing/chain.pem" \
    -DPython3_EXECUTABLE=/usr/bin/python3 "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

run_tests() {
  local dir=$1
  ctest --test-dir "$dir" --output-on-failure -j "$JOBS" --timeout 600
}

case "${1:-}" in
  scan)
    setup
    build build
    ./build/bin/ovrascan scan
    ;;
  test)
    setup
    build build
    run_tests build
    build build-tsan -DVX_SANITIZER=thread -DVX_BUILD_BENCHMARKS=OFF
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_tests build-tsan
    build build-asan -DVX_SANITIZER=address -DVX_BUILD_BENCHMARKS=OFF
    ASAN_OPTIONS="detect_leaks=1:halt_on_error=1" UBSAN_OPTIONS="print_stacktrace=1" \
      run_tests build-asan
    # The parsers of untrusted text, fuzzed for a bounded time.
    tests/fuzz/run.sh build-fuzz "${FUZZ_SECONDS:-60}"
    ;;
  bench)
    setup
    build build
    ./build/bench/vx_kernel_bench
    bench/engine_compare.sh build
    ;;
  *)
    echo "usage: $0 scan|test|bench" >&2
    exit 64
    ;;
esac
