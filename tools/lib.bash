# Sourced by the tools that build the module and run the test suite
# (versions, package, platforms, sanitize, refcounts, tsan): how they find
# CPythons, make virtual environments, build the module, run the suite and
# read its counts, so that each does these the same way. Expects the working
# directory to be the top of the source tree.

src=$PWD

# The CPythons from 3.11 up on this machine, one per version: PYTHON (or
# python3) first, then pyenv's versions, then python3.X on PATH. Sets
# `cpythons` to "X.Y:PATH" entries; versions given as arguments are left
# out.
find_cpythons() {
  local -A seen=()
  local python version minor prefix candidates=()
  for version; do seen[$version]=1; done
  cpythons=()
  candidates+=("$(command -v "${PYTHON:-python3}" || true)")
  if command -v pyenv > /dev/null; then
    for prefix in "$(pyenv root)"/versions/*; do candidates+=("$prefix/bin/python3"); done
  fi
  for minor in 11 12 13 14 15; do candidates+=("$(command -v "python3.$minor" || true)"); done
  for python in "${candidates[@]}"; do
    [[ -n $python && -x $python ]] || continue
    # Prints nothing for older versions and other implementations (and
    # fails on Python 2, which has no sys.implementation).
    version=$("$python" -c 'import sys
if sys.implementation.name == "cpython" and sys.version_info >= (3, 11):
    print("%d.%d" % sys.version_info[:2])' 2> /dev/null) || continue
    [[ -z $version || -n ${seen[$version]:-} ]] && continue
    seen[$version]=1
    cpythons+=("$version:$python")
  done
}

# --- Command lines -----------------------------------------------------------
# Each of these prints a shell command for `bash -c` on the host or for
# tools/in-root in a Debian root, with paths as that side sees them.

# A fresh virtual environment VENV of PYTHON with pip's ARGS installed.
venv_command() {
  local python=$1 venv=$2
  shift 2
  printf 'rm -rf %s && %s -m venv %s' "$venv" "$python" "$venv"
  [[ $# -eq 0 ]] || printf ' && %s/bin/python -m pip install -q %s' "$venv" "$*"
}

# A fresh virtual environment VENV (a host path) of PYTHON, the CPython X.Y
# of a foreign Debian root ROOT, for pip's platform PLATFORM, with pip's
# ARGS installed into it by the host's pip for that interpreter's platform
# and tags (which pip checks wheels against). Made without pip: pip under
# qemu, and byte-compiling what it installs, took minutes per environment.
foreign_venv() {
  local root=$1 python=$2 venv=$3 platform=$4 version=$5
  shift 5
  mkdir -p "${venv%/*}"
  tools/in-root "$root" --bind "${venv%/*}:/tarv-venvs" -- \
    "rm -rf /tarv-venvs/${venv##*/} && $python -m venv --without-pip /tarv-venvs/${venv##*/}" &&
    python3 -m pip install -q --no-compile --target "$venv/lib/python$version/site-packages" \
      --only-binary :all: --platform "$platform" --python-version "$version" --implementation cp \
      --abi "cp${version/./}" "$@"
}

# What the suite runs on: the machine, the interpreter, the module's file.
WHICH='import sys, platform, sysconfig, tarv; print(platform.machine(), sys.version.split()[0], sys.byteorder, "free-threaded" * bool(sysconfig.get_config_var("Py_GIL_DISABLED")), tarv.__file__)'
PYTEST_FLAGS="-q -p no:cacheprovider -rfEs"

# The test suite on PYTHON, run in DIR from DIR/tests (see copy_tests), with
# pytest's ARGS; it first prints the line of WHICH.
suite_command() {
  local python=$1 dir=$2
  shift 2
  printf "cd %s && %s -c '%s' && %s -m pytest %s tests" "$dir" "$python" "$WHICH" "$python" "$PYTEST_FLAGS"
  [[ $# -eq 0 ]] || printf ' %s' "$*"
}

# DIR/tests: a copy of the suite, run from outside the source tree so that
# only the module under test (installed, or on PYTHONPATH) can be imported.
copy_tests() {
  mkdir -p "$1"
  rm -rf "$1/tests"
  cp -r "$src/tests" "$1/tests"
  rm -rf "$1/tests/__pycache__"
}

# --- Building -----------------------------------------------------------------
# The module built by CMake into BUILD for PYTHON with CMAKE ARGS, warnings
# as errors when TARV_WERROR=ON; its output goes to BUILD.log and is shown
# only if it fails.
build_module() {
  local build=$1 python=$2
  shift 2
  mkdir -p "$build"
  { nice -n 10 cmake -S "$src" -B "$build" -G Ninja -DPython_EXECUTABLE="$python" "$@" &&
    nice -n 10 cmake --build "$build"; } > "$build.log" 2>&1 ||
    { tail -n 40 "$build.log" >&2; echo "the build in $build failed: see $build.log" >&2; return 1; }
}

# The module's sources, as CMakeLists.txt lists them, relative to the tree.
module_sources() {
  sed -n '/^Python_add_library(tarv /,/)/{s/^ *\(py\/[^ )]*\).*/\1/p}' "$src/CMakeLists.txt"
}

# The module built without CMake, by the C++ compiler CXX (a cross compiler,
# whose Python cannot run here) with the flags of CMakeLists.txt's release
# build: the headers of the Python in the Debian root ROOT (found after the
# compiler's own), the sources from the tree SOURCE (default the source
# tree), into DIR. Prints the module's path.
cross_build_module() {
  local cxx=$1 root=$2 python=$3 dir=$4 source=${5:-$src} include suffix werror=()
  read -r include suffix < <(tools/in-root "$root" -- \
    "$python -c 'import sysconfig as s; print(s.get_paths()[\"include\"], s.get_config_var(\"EXT_SUFFIX\"))'")
  [[ ${TARV_WERROR:-} == ON ]] && werror=(-Werror)
  mkdir -p "$dir"
  local sources=()
  mapfile -t sources < <(module_sources)
  (cd "$source" && nice -n 10 "$cxx" -std=c++20 -O3 -DNDEBUG -fPIC -shared -fvisibility=hidden \
    -Wall -Wextra "${werror[@]}" -fno-exceptions -fno-rtti \
    -I"$root$include" -idirafter "$root/usr/include" "${sources[@]}" -o "$dir/tarv$suffix") >&2
  echo "$dir/tarv$suffix"
}

# Checks that PYTHON (with the environment the caller set up) imports the
# module from the folder BUILD and not from anywhere else; prints its path.
module_from() {
  local build=$1 python=$2 module
  module=$("$python" -c 'import tarv; print(tarv.__file__)') || return 1
  case "$module" in
    "$build"/*) echo "$module" ;;
    *) echo "imported $module, not the build in $build" >&2; return 1 ;;
  esac
}

# --- Reading results ------------------------------------------------------------
# The sum of "N WORD" over pytest's closing lines in LOG (of those after the
# line "== run RUN" and before the next such line, if RUN is given).
count_results() {
  awk -v word="$1" -v run="${3-}" '
    /^== run / { here = substr($0, 8) == run; next }
    (run == "" || here) && /^(=+ )?[0-9]+ (passed|failed|skipped|errors?|deselected)[ ,]/ {
      for (i = 2; i <= NF; i++) if ($i ~ "^" word) n += $(i - 1)
    } END { print n + 0 }' "$2"
}

# "P passed, F failed, S skipped" of LOG (RUN as for count_results); errors
# count as failures.
results_of() {
  local log=$1 run=${2-}
  echo "$(count_results passed "$log" "$run") passed," \
    "$(($(count_results failed "$log" "$run") + $(count_results error "$log" "$run"))) failed," \
    "$(count_results skipped "$log" "$run") skipped"
}
