#!/usr/bin/env bash
# Installs what the tests need when it is missing, builds everything and runs
# every test. Used as it is by CI.
set -euo pipefail
cd "$(dirname "$0")"

# The real-toolchain tests need the compilers, binutils and C libraries of
# every layout (PowerPC, bare-metal Arm with newlib, RISC-V, AArch64, MIPS and
# the host's own) and qemu; the sanitizer and fuzz builds need clang's
# runtimes. The output tests set access lists with setfacl and count calls
# with gdb.
packages=(clang libclang-rt-14-dev libgtest-dev python3 gcc-powerpc-linux-gnu
  binutils-powerpc-linux-gnu libc6-dev-powerpc-cross gcc-arm-none-eabi
  libnewlib-arm-none-eabi gcc-riscv64-linux-gnu libc6-dev-riscv64-cross
  gcc-aarch64-linux-gnu libc6-dev-arm64-cross gcc-mips-linux-gnu libc6-dev-mips-cross
  gcc libc6-dev qemu-user acl gdb)
# COFF objects and libraries come from MinGW for x86-64 and i386, and from
# clang for the MSVC target, put in libraries and linked by LLVM's tools.
packages+=(g++-mingw-w64-x86-64 gcc-mingw-w64-i686 llvm lld)
# The Windows stage at the end cross-compiles and runs its tests under wine;
# NAMEPATCH_WINE=0 leaves it out.
wine_stage=${NAMEPATCH_WINE:-1}
[ "$wine_stage" = 0 ] || packages+=(g++-mingw-w64-x86-64 wine wine64)
# The package tests check the manual page with groff, read the .deb's
# library dependencies with dpkg-shlibdeps and hold the .deb to Debian's
# policy with lintian.
packages+=(groff-base dpkg-dev lintian)
./deps.sh "${packages[@]}"

jobs=2
# NAMEPATCH_BUILD_ROOT names the build directories (default build, build-asan
# and build-fuzz), so that a second checkout's run does not share them.
build=${NAMEPATCH_BUILD_ROOT:-build}
cmake -S . -B "$build" -DBUILD_TESTING=ON
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" --output-on-failure -j"$jobs" -LE wine

# Every test again, built by clang with the address and undefined-behaviour
# sanitizers; any report fails its test. namepatch keeps what a run has
# loaded until it exits, so leaks are not looked for here: the fuzzer below
# looks for them in the load and rename path, which frees what it takes.
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B "$build-asan" -DBUILD_TESTING=ON -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$sanitize"
cmake --build "$build-asan" -j"$jobs"
ASAN_OPTIONS=detect_leaks=0 ctest --test-dir "$build-asan" --output-on-failure -j"$jobs" \
  -L 'unit|cli|real|fuzz'

# About a minute of fuzzing from the builder's seeds and every input found
# before; a finding fails the run and is left in $build-fuzz/findings/.
cmake -S . -B "$build-fuzz" -DBUILD_TESTING=ON -DCMAKE_CXX_COMPILER=clang++ -DNAMEPATCH_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link $sanitize"
cmake --build "$build-fuzz" -j"$jobs" --target load_rename_fuzzer fuzz_seeds
rm -rf "$build-fuzz/seeds" "$build-fuzz/findings"
mkdir -p "$build-fuzz/seeds" "$build-fuzz/corpus" "$build-fuzz/findings"
"$build-fuzz/tests/fuzz_seeds" "$build-fuzz/seeds"
regressions=()
[ -d tests/fuzz/regressions ] && regressions=(tests/fuzz/regressions)
"$build-fuzz/tests/load_rename_fuzzer" -max_total_time="${NAMEPATCH_FUZZ_SECONDS:-60}" \
  -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$build-fuzz/findings/" \
  "$build-fuzz/corpus" "$build-fuzz/seeds" "${regressions[@]}"

# The Windows build, cross-compiled and statically linked, and its
# command-line tests run against namepatch.exe under wine, in a prefix of
# their own that is made afresh and removed at the end.
if [ "$wine_stage" != 0 ]; then
  cmake -S . -B "$build-mingw" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DBUILD_TESTING=OFF
  cmake --build "$build-mingw" -j"$jobs"
  # The zip for Windows users: namepatch.exe, the README and the licence.
  cpack --config "$build-mingw/CPackConfig.cmake" -B "$build-mingw/packages"
  cmake -S . -B "$build" -DNAMEPATCH_WINE_EXE="$(realpath "$build-mingw/driver/namepatch.exe")"
  cmake --build "$build" -j"$jobs" --target wine_test
  # No Mono or Gecko is installed into the prefix: console programs need none.
  WINEPREFIX=$(mktemp -d)
  export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
  wineboot -i </dev/null
  ctest --test-dir "$build" --output-on-failure -j"$jobs" -L wine
fi
