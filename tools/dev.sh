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

is_python312() { "$@" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1; }

# A CPython 3.12 interpreter: $QUILLKIT_PYTHON, then python3.12 / python3 on PATH, then pyenv.
find_python() {
  if [ -n "${QUILLKIT_PYTHON:-}" ] && is_python312 "$QUILLKIT_PYTHON"; then
    echo "$QUILLKIT_PYTHON"; return
  fi
  local candidate
  for candidate in python3.12 python3 python; do
    if command -v "$candidate" >/dev/null 2>&1 && is_python312 "$candidate"; then
      command -v "$candidate"; return
    fi
  done
  if command -v pyenv >/dev/null 2>&1; then
    local version
    for version in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.[0-9]+)?$' | sort -t. -k3 -n -r); do
      candidate="$(pyenv root)/versions/$version/bin/python3.12"
      if [ -x "$candidate" ] && is_python312 "$candidate"; then
        echo "$candidate"; return
      fi
    done
  fi
  echo "error: no CPython 3.12 found. Install it (or put python3.12 on PATH, or set" \
       "QUILLKIT_PYTHON to its path) and run this again." >&2
  exit 1
}

setup() {
  if [ ! -x "$venv/bin/python" ] || ! is_python312 "$venv/bin/python"; then
    local python
    python=$(find_python)
    say "creating the virtual environment with $python"
    rm -rf "$venv"
    "$python" -m venv "$venv"
  fi
  say "installing the build tools"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.10" "nanobind>=2.4" "cmake>=3.18" ninja
  say "building and installing quillkit with its dependencies"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    ".[test,yaml]"
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
