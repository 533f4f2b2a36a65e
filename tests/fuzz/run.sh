#!/usr/bin/env bash
# Builds the fuzz targets of the documents, of the engine library's data-file
# parsers and of the signature test's reader of appended signatures with clang's
# libFuzzer (+ ASan and UBSan) into the folder given as argument and runs each
# for a bounded time.
# Exits non-zero when a target crashes, leaks or exceeds its memory limit.
#   tests/fuzz/run.sh OUT_DIR [SECONDS]
# Needs: clang, libclang-rt-14-dev (libFuzzer), libpugixml-dev, libssl-dev.
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 OUT_DIR [SECONDS]" >&2; exit 64; }
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)
seconds=${2:-60}
CXX=${CXX:-clang++}

flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -I"$root")
documents=("$root"/documents/*.cpp "$root"/foundation/VxNATypeConversion.cpp
           "$root"/foundation/VxAVScanObject.cpp "$root"/platform/ProcessModules.cpp "$root"/platform/ProcessMaps.cpp
           "$root"/platform/Thread.cpp "$root"/platform/Event.cpp "$root"/platform/UniqueFileDescriptor.cpp
           "$root"/platform/Utf8.cpp -lpugixml)
tables=("$root"/qelda/QeldaDataTables.cpp)
maps=("$root"/platform/ProcessMaps.cpp "$root"/platform/UniqueFileDescriptor.cpp)
# The signature test trusts the tests' fixed root (tests/process/TestSigning.cpp),
# under which the seeds are signed, beside the product's.
signature=('-DVX_TRUSTED_TEST_ROOT_SHA1="1D9D8B2B8CB3DE08187C39FD9662E774D6A7CB17"'
           "$root"/process/CodeSignature.cpp "$root"/process/TrustedRoots.cpp -lcrypto)

# run_target NAME SEEDS SOURCES_AND_LIBRARIES...
run_target() {
  local name=$1 seeds=$2
  shift 2
  echo "== $name"
  "$CXX" "${flags[@]}" "$here/$name.cpp" "$@" -o "$out/$name"
  mkdir -p "$out/corpus-$name"
  ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1" UBSAN_OPTIONS="print_stacktrace=1" \
    "$out/$name" -max_total_time="$seconds" -rss_limit_mb=1024 -max_len=65536 -timeout=30 \
    -artifact_prefix="$out/$name-" -print_final_stats=1 \
    "$out/corpus-$name" "$here/seeds/$seeds"
}

run_target ConfigurationFuzzer config "${documents[@]}"
run_target DetectionsFilterFuzzer report "${documents[@]}"
run_target DataTablesFuzzer tables "${tables[@]}"
run_target MapsFuzzer maps "${maps[@]}"
run_target SignatureFuzzer signature "${signature[@]}"
echo "fuzzing finished without findings"
