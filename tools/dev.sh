#!/usr/bin/env bash
# Sets up the development environment (a virtual environment in .venv with the build tools, the
# package built and installed with its dependencies) and runs one task:
#
#   example    run the example tool on the data the repository ships (the default)
#   test       run the whole test suite
#   sanitize   build the modules with AddressSanitizer and UndefinedBehaviorSanitizer and run the
#              whole test suite against that build
#   bench      run the benchmarks
#   setup      only set up
#
# Extra arguments go to the task (pytest options, for instance). Needs CPython 3.12 and a C++
# compiler; everything else comes from the Python package index.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
venv="$root/.venv"
task=${1:-example}
[ $# -gt 0 ] && shift

say() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }
fail() { printf 'error: %s\n' "$*" >&2; exit 1; }

# True when the command "$2..." is CPython $1 (as "3.12").
is_python() {
  local want=$1
  shift
  "$@" -c "import sys; sys.exit(sys.implementation.name != 'cpython' or '%d.%d' % sys.version_info[:2] != '$want')" \
    >/dev/null 2>&1
}

# A CPython $1 interpreter: the one named by the variable $2, then python$1 / python3 / python on
# PATH, then pyenv's. Prints nothing and fails when there is none.
find_python() {
  local want=$1 named=${!2:-} candidate version
  if [ -n "$named" ] && is_python "$want" "$named"; then
    echo "$named"; return
  fi
  for candidate in "python$want" python3 python; do
    if command -v "$candidate" >/dev/null 2>&1 && is_python "$want" "$candidate"; then
      command -v "$candidate"; return
    fi
  done
  if command -v pyenv >/dev/null 2>&1; then
    for version in $(pyenv versions --bare 2>/dev/null | grep -E "^${want//./\\.}(\.[0-9]+)?\$" | sort -t. -k3 -n -r); do
      candidate="$(pyenv root)/versions/$version/bin/python$want"
      if [ -x "$candidate" ] && is_python "$want" "$candidate"; then
        echo "$candidate"; return
      fi
    done
  fi
  return 1
}

python312() {
  find_python 3.12 QUILLKIT_PYTHON ||
    fail "no CPython 3.12 found. Install it (or put python3.12 on PATH, or set QUILLKIT_PYTHON to" \
         "its path) and run this again."
}

# Requirements the environment of "$1" does not meet, one a line: the build-system requirements
# of pyproject.toml, CMake as recent as CMakeLists.txt asks, and Ninja.
unmet_build_tools() {
  "$1" - <<'EOF'
import re, tomllib
from importlib.metadata import PackageNotFoundError, version
with open("pyproject.toml", "rb") as file:
    wanted = tomllib.load(file)["build-system"]["requires"]
with open("CMakeLists.txt", encoding="utf-8") as file:
    cmake = re.search(r"cmake_minimum_required\(VERSION ([0-9]+(?:\.[0-9]+)*)", file.read()).group(1)
wanted += [f"cmake>={cmake}", "ninja"]
try:
    from packaging.requirements import Requirement
except ImportError:  # a fresh environment: everything is missing
    print(*wanted, sep="\n")
    raise SystemExit
for text in wanted:
    requirement = Requirement(text)
    try:
        present = version(requirement.name)
    except PackageNotFoundError:
        print(text)
        continue
    if not requirement.specifier.contains(present, prereleases=True):
        print(text)
EOF
}

# A digest of what the installed build is made from: the interpreter, pyproject.toml,
# CMakeLists.txt and the package's files.
source_digest() {
  {
    "$venv/bin/python" -c 'import sys; print(sys.version)'
    find pyproject.toml CMakeLists.txt quillkit -type f ! -name '*.so' ! -path '*/__pycache__/*' \
      -print0 | LC_ALL=C sort -z | xargs -0 sha256sum
  } | sha256sum | cut -d' ' -f1
}

setup() {
  if [ ! -x "$venv/bin/python" ] || ! is_python 3.12 "$venv/bin/python"; then
    local python
    python=$(python312)
    say "creating the virtual environment with $python"
    rm -rf "$venv"
    "$python" -m venv "$venv"
  fi
  local stamp="$venv/quillkit-build.sha256" unmet
  unmet=$(unmet_build_tools "$venv/bin/python")
  if [ -n "$unmet" ]; then
    say "installing the build tools: $(echo $unmet)"
    # shellcheck disable=SC2086  # one requirement a word
    "$venv/bin/python" -m pip install -q --disable-pip-version-check $unmet
    rm -f "$stamp"  # new tools: build again
  fi
  local digest
  digest=$(source_digest)
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$digest" ] &&
     (cd / && "$venv/bin/python" -P -c 'import quillkit.cargohold, quillkit.chronicle, quillkit.stampkit') \
       >/dev/null 2>&1; then
    say "quillkit is built and installed from the current sources"
    return
  fi
  say "building and installing quillkit with its dependencies"
  rm -f "$stamp"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    ".[test,yaml]"
  echo "$digest" >"$stamp"
}

# Builds the modules with both sanitizers into build/sanitize and stages an importable package.
build_sanitized() {
  local build="$root/build/sanitize"
  say "building the sanitizer variant in $build"
  "$venv/bin/cmake" -S "$root" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLKIT_SANITIZE=ON \
    -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
  "$venv/bin/cmake" --build "$build"
  local stage="$build/stage/quillkit"
  rm -rf "$stage"
  mkdir -p "$stage"
  cp "$root"/quillkit/*.py "$root"/quillkit/*.pyi "$root"/quillkit/py.typed "$stage"/
  cp "$build"/*.so "$stage"/
}

case "$task" in
  setup)
    setup ;;
  example)
    setup
    say "running the example tool"
    "$venv/bin/python" examples/notes_tool.py "$@" ;;
  test)
    setup
    say "running the test suite"
    "$venv/bin/pytest" "$@" ;;
  sanitize)
    setup
    build_sanitized
    # ASan must load first; libstdc++ is preloaded too so that ASan finds the real
    # __cxa_throw when the C++ code throws (the interpreter itself is not a C++ program).
    preload="$(${CXX:-g++} -print-file-name=libasan.so) $(${CXX:-g++} -print-file-name=libstdc++.so)"
    say "running the test suite against the sanitizer build"
    PYTHONPATH="$root/build/sanitize/stage" \
    QUILLKIT_EXPECT_BUILD="$root/build/sanitize/stage/quillkit" \
    LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:check_initialization_order=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
      "$venv/bin/pytest" -p no:cacheprovider "$@" ;;
  bench)
    setup
    say "running the benchmarks"
    "$venv/bin/python" bench/run_all.py "$@" ;;
  *)
    echo "usage: tools/dev.sh [example|test|sanitize|bench|setup] [arguments...]" >&2
    exit 2 ;;
esac
