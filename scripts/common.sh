# Shared by the scripts in this folder: where things are, which Python to use.
# Source it; it defines ROOT, PYTHON, PYVER, PYTAG and helpers.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Progress: a line on stderr before each step that may take more than a few
# seconds, saying roughly how long; stdout is kept for the values that other
# scripts read (scripts/build and scripts/venv print a path).
say() { echo "== $(basename "$0"): $*" >&2; }
# fail_step STEP LOG: the end of the log, then which step failed and where
# the whole log is.
fail_step() {
  tail -n 40 "$2" >&2
  echo "$(basename "$0"): $1 failed; the whole log is ${2#"$ROOT"/}" >&2
  exit 1
}

# The interpreter to build for: $PYTHON if set, else python3.10 on PATH, else
# pyenv's 3.10.  QUORVAN_PYVER=3.11 (etc.) picks another version the same way;
# QUORVAN_PYVER=3.14d picks a debug interpreter (python3.14d).
find_python() {
  local want=${QUORVAN_PYVER:-3.10}
  if [ -n "${PYTHON:-}" ]; then
    command -v "$PYTHON" || { echo "PYTHON=$PYTHON not found" >&2; return 1; }
    return
  fi
  if command -v "python$want" >/dev/null 2>&1 && "python$want" -c '' 2>/dev/null; then
    command -v "python$want"
    return
  fi
  if command -v pyenv >/dev/null 2>&1; then
    local prefix
    prefix=$(pyenv prefix "$want" 2>/dev/null | head -n 1)
    if [ -n "$prefix" ] && [ -x "$prefix/bin/python$want" ]; then
      echo "$prefix/bin/python$want"
      return
    fi
  fi
  for prefix in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$want".*; do
    if [ -x "$prefix/bin/python$want" ]; then
      echo "$prefix/bin/python$want"
      return
    fi
  done
  echo "no Python $want found (set PYTHON)" >&2
  return 1
}

PYTHON=$(find_python) || exit 1
# PYVER is the version ("3.14"); PYTAG adds the ABI flags ("3.14d" for a debug
# interpreter), whose builds and venvs must not mix with the release one's.
read -r PYVER PYTAG < <("$PYTHON" -c \
  'import sys; v = "%d.%d" % sys.version_info[:2]; print(v, v + sys.abiflags)')
[ -n "${PYTAG:-}" ] || { echo "$PYTHON did not run" >&2; exit 1; }
