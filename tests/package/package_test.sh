#!/usr/bin/env bash
# manual_page PAGE: groff reads the page with every warning on and says nothing.
# install|deb BUILD SOURCE VERSION CMAKE CPACK: installs the build into a
# scratch prefix, or packs it as a .deb and unpacks that into a scratch root,
# then checks the files a user gets and runs the installed namepatch; the .deb
# must also pass lintian without an error.
set -euo pipefail

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

if [ "$1" = manual_page ]; then
  warnings=$(groff -man -Tutf8 -ww -z "$2" 2>&1) || fail "groff failed on $2: $warnings"
  [ -z "$warnings" ] || fail "groff warns on $2:"$'\n'"$warnings"
  exit 0
fi

mode=$1 build=$2 source=$3 version=$4 cmake=$5 cpack=$6
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Runs the namepatch in bin on a copy of the sample object and without
# arguments, and holds the report, the renamed bytes and the notice line to
# what a user must see.
check_binary() {
  local bin=$1
  [ -x "$bin" ] || fail "$bin is not an executable"
  cp "$source/examples/greet.o" "$scratch/greet.o"
  local out
  out=$("$bin" -c say_hello -n say_hullo "$scratch/greet.o") || fail "$bin failed: $out"
  [ "$out" = "<say_hello> -> <say_hullo> changed" ] || fail "$bin reported: $out"
  [ "$(stat -c %s "$scratch/greet.o")" = "$(stat -c %s "$source/examples/greet.o")" ] ||
    fail "the renamed object changed its length"
  grep -q say_hullo "$scratch/greet.o" || fail "the renamed object lacks say_hullo"
  ! grep -q say_hello "$scratch/greet.o" || fail "the renamed object still holds say_hello"
  local notice
  notice=$("$bin" 2>&1 | sed -n 2p) || true
  [[ "$notice" == "namepatch $version: "* ]] || fail "notice line without the version: $notice"
  [ "$("$bin" --version | head -n 1)" = "namepatch $version" ] || fail "--version lacks $version"
}

# The manual page under root is the source page, and the changelog the
# repository's, both compressed.
check_compressed_docs() {
  gzip -dc "$1/share/man/man1/namepatch.1.gz" | cmp -s - "$source/driver/namepatch.1" ||
    fail "$1/share/man/man1/namepatch.1.gz is not driver/namepatch.1"
  gzip -dc "$1/share/doc/namepatch/changelog.gz" | cmp -s - "$source/CHANGELOG" ||
    fail "$1/share/doc/namepatch/changelog.gz is not CHANGELOG"
}

case "$mode" in
  install)
    "$cmake" --install "$build" --prefix "$scratch/prefix" >/dev/null
    check_binary "$scratch/prefix/bin/namepatch"
    check_compressed_docs "$scratch/prefix"
    cmp -s "$scratch/prefix/share/doc/namepatch/copyright" "$source/LICENSE" ||
      fail "the licence is not installed"
    # A project that finds the installed package vendors two copies of one
    # library and runs the program that links both.
    project="$scratch/vendor-build"
    out=$("$cmake" -S "$source/tests/package/vendor" -B "$project" \
      -DCMAKE_PREFIX_PATH="$scratch/prefix" 2>&1) || fail "the vendor project does not configure: $out"
    out=$("$cmake" --build "$project" 2>&1) || fail "the vendor project does not build: $out"
    "$project/two_copies" || fail "the program of two vendored copies fails"
    ;;
  deb)
    "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/packages" >/dev/null
    deb="$scratch/packages/namepatch_${version}_$(dpkg --print-architecture).deb"
    [ -f "$deb" ] || fail "no $(basename "$deb"), only: $(ls "$scratch/packages")"
    depends=$(dpkg-deb -f "$deb" Depends)
    [[ "$depends" == *libc6* ]] || fail "Depends lacks libc6: $depends"
    dpkg -x "$deb" "$scratch/root"
    check_binary "$scratch/root/usr/bin/namepatch"
    check_compressed_docs "$scratch/root/usr"
    findings=$(lintian --fail-on error "$deb" 2>&1) || fail "lintian finds errors:"$'\n'"$findings"
    ;;
  *) fail "unknown mode $mode" ;;
esac
