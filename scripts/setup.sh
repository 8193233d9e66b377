#!/usr/bin/env bash
# Sets up everything this project needs on a Debian 12 machine, idempotently:
# Debian build and test packages, a Python 3.14 interpreter (provisioned when the machine has
# none), the virtual environment .venv, and the project installed into it with its test extras.
# Later runs only rebuild what changed (the CMake build tree lives in build/).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

log() { printf 'setup: %s\n' "$*" >&2; }

# Debian packages: PCRE2 for the worker's search, pkg-config to find it, ccache for rebuilds,
# ripgrep for the search benchmark, Xvfb, xdotool and python3-tk (a Tk window to drive) for the
# desktop executor's tests.
DEBS=(libpcre2-dev pkg-config ccache ripgrep xvfb xauth xdotool patchelf python3-tk)
missing=()
for p in "${DEBS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing Debian packages: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Python 3.14: $PYTHON, else python3.14 on PATH, else provisioned from Debian's packages.
PY="${PYTHON:-}"
if [ -z "$PY" ] && command -v python3.14 >/dev/null 2>&1; then PY=$(command -v python3.14); fi
if [ -z "$PY" ]; then
  log "provisioning Python 3.14"
  PY=$("$ROOT/scripts/provision-python3.14" | tail -1)
fi
"$PY" -c 'import sys; assert sys.version_info[:2] == (3, 14), sys.version' \
  || { log "$PY is not Python 3.14"; exit 1; }

VENV="${TALMEK_VENV:-$ROOT/.venv}"
if [ ! -x "$VENV/bin/python" ]; then
  log "creating $VENV"
  "$PY" -m venv --without-pip "$VENV"
fi
if ! "$VENV/bin/python" -m pip --version >/dev/null 2>&1; then
  # Debian's interpreter has no ensurepip wheels of its own: use the pip wheel provisioned beside
  # it when there is one, else ensurepip.
  PREFIX=$(dirname "$(dirname "$(dirname "$(dirname "$PY")")")")
  WHL=$(ls "$PREFIX"/wheels/pip-*.whl 2>/dev/null | head -1 || true)
  if [ -n "$WHL" ]; then
    "$VENV/bin/python" "$WHL/pip" install -q --no-index "$WHL"
  else
    "$VENV/bin/python" -m ensurepip
  fi
fi

PIP=("$VENV/bin/python" -m pip install -q --disable-pip-version-check)
if ! "$VENV/bin/python" -c 'import nanobind, scikit_build_core, pytest, hypothesis, pytest_asyncio, anthropic, Xlib, PIL' 2>/dev/null; then
  log "installing build and test dependencies"
  "${PIP[@]}" "scikit-build-core>=0.10" "nanobind>=2.4" ninja cmake \
    "pytest>=8" "hypothesis>=6" "pytest-asyncio>=0.24" "anthropic>=0.40" \
    "python-xlib>=0.33" "pillow>=11"
fi

# ccache hits across checkouts: paths under the checkout are hashed relative to it.
export CCACHE_BASEDIR="$ROOT"
log "building and installing talmek"
# No build isolation: the build tree in build/ is reused, so a rebuild compiles only what changed.
"${PIP[@]}" --no-build-isolation --no-deps ${TALMEK_CMAKE_ARGS:+--config-settings=cmake.args="$TALMEK_CMAKE_ARGS"} \
  ${TALMEK_BUILD_DIR:+--config-settings=build-dir="$TALMEK_BUILD_DIR"} "$ROOT"
log "ready: $VENV"
