#!/usr/bin/env bash
# The development commands: bash tools/dev.sh [example|test|sanitize|bench|release|setup] [args...]
# The tasks are in tools/dev.py (which says what each does); this finds a Python to run them with:
# the one QUILLKIT_PYTHON names when it is a path, else the first CPython 3.11 or later found.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

runs_tasks() {
  "$1" -c 'import sys; sys.exit(sys.implementation.name != "cpython" or sys.version_info < (3, 11))' \
    >/dev/null 2>&1
}

candidates=()
case "${QUILLKIT_PYTHON:-}" in
  */*) candidates+=("$QUILLKIT_PYTHON") ;;
esac
candidates+=(python3.12 python3.13 python3.14 python3.15 python3 python)
if command -v pyenv >/dev/null 2>&1; then
  for version in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.1[1-9]' | sort -r -V); do
    candidates+=("$(pyenv root)/versions/$version/bin/python3")
  done
fi
for candidate in "${candidates[@]}"; do
  if runs_tasks "$candidate"; then
    exec "$candidate" "$root/tools/dev.py" "$@"
  fi
done
echo "error: no CPython 3.11 or later found to run the development tasks with. Install CPython" \
     "3.12 (or any of 3.12 to 3.15), or set QUILLKIT_PYTHON to its path, and run this again." >&2
exit 1
