#!/usr/bin/env bash
# SentencePiece for lexbridge: Debian ships it only as shared libraries, and the
# bridge must carry it inside itself, so we build Debian's own source package into
# a static, position-independent library. The result (library, headers and the
# spm_train tool the tests train their models with) is cached in the build tree
# under _deps/sentencepiece; once it is complete this step does nothing.
set -euo pipefail

version=0.1.97
build=${BUILD_DIR:?BUILD_DIR must name the build directory}
prefix=$build/_deps/sentencepiece
stamp=$prefix/.complete-$version

[ -e "$stamp" ] && exit 0

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

suite=$(. /etc/os-release && echo "${VERSION_CODENAME:?no Debian codename in /etc/os-release}")

has_source_index() {
  apt-get indextargets --format '$(RELEASE)' 'Created-By: Sources' 2>/dev/null | grep -qx "$suite"
}

# A deb-src entry for the suite may be there already with its index not fetched
# (lists cleaned, or never updated since): fetching is then all it takes, and a
# second entry of our own would only make apt warn about duplicates.
source_configured() {
  local uris
  uris=$(apt-get update --print-uris 2>/dev/null) || return 1
  grep -q "/dists/$suite/main/source/Sources" <<<"$uris"
}

# apt-get source needs a deb-src entry for the machine's own suite, taken from
# the mirror the machine already installs its binary packages from.
ensure_source_index() {
  has_source_index && return 0
  local parts
  eval "$(apt-config shell parts Dir::Etc::sourceparts/d)"
  local list=${parts:?no sources.list.d directory in the apt configuration}sorvane-deb-src-$suite.sources
  if [ ! -e "$list" ] && ! source_configured; then
    local uri
    uri=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Created-By: Packages' |
      awk -v s="$suite" '$2 == s { print $1; exit }')
    uri=${uri:-http://deb.debian.org/debian/}
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    {
      echo "Types: deb-src"
      echo "URIs: $uri"
      echo "Suites: $suite"
      echo "Components: main"
      [ -e "$keyring" ] && echo "Signed-By: $keyring"
    } | "${sudo_cmd[@]}" tee "$list" >/dev/null
  fi
  "${sudo_cmd[@]}" apt-get update -qq
  has_source_index || { echo "sentencepiece: no source index for $suite after apt-get update" >&2; exit 1; }
}

fetch_source() {
  local dir=$1
  rm -rf "$dir" && mkdir -p "$dir"
  # Taken from the machine's own suite, whatever other deb-src entries exist.
  (cd "$dir" && apt-get source -q "sentencepiece/$suite") >"$dir.log" 2>&1 || {
    tail -n 20 "$dir.log" >&2
    echo "sentencepiece: apt-get source sentencepiece/$suite failed, full log in $dir.log" >&2
    exit 1
  }
  [ -d "$dir/sentencepiece-$version" ] || {
    echo "sentencepiece: expected source $version, got: $(ls "$dir")" >&2
    exit 1
  }
  # Debian builds only the shared libraries and patches the static targets
  # out; undo that one patch to get them back.
  patch -s -R -p1 -d "$dir/sentencepiece-$version" \
    <"$dir/sentencepiece-$version/debian/patches/disable-static-library.patch"
}

# Built-in protobuf-lite keeps the archive self-contained; tcmalloc would add a
# run-time dependency the bridge must not have.
build_static() {
  local src=$1 obj=$2 log=$2.log
  if ! {
    cmake -S "$src" -B "$obj" \
      -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
      -DCMAKE_INSTALL_PREFIX="$prefix" \
      -DCMAKE_INSTALL_LIBDIR=lib \
      -DSPM_ENABLE_SHARED=OFF \
      -DSPM_ENABLE_TCMALLOC=OFF \
      -DSPM_USE_BUILTIN_PROTOBUF=ON &&
      cmake --build "$obj" -j2 &&
      cmake --install "$obj"
  } >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "sentencepiece: build failed, full log in $log" >&2
    exit 1
  fi
}

work=$build/_deps/sentencepiece-work
echo "setup: building SentencePiece $version (static) into $prefix"
ensure_source_index
fetch_source "$work"
rm -rf "$prefix"
build_static "$work/sentencepiece-$version" "$work/obj"
[ -e "$prefix/lib/libsentencepiece.a" ] && [ -x "$prefix/bin/spm_train" ] || {
  echo "sentencepiece: build left no static library or spm_train in $prefix" >&2
  exit 1
}
rm -rf "$work" "$work.log"
touch "$stamp"
