#!/bin/bash
# Installs the Python package offline into a fresh virtual environment (pip install --no-index:
# the in-tree build backend must need nothing from an index) and imports it from there.
# Usage: venv_install.sh PYTHON_DIR. Exit 77 when python3 cannot make a virtual environment.
set -euo pipefail
src=$1
work=$(mktemp -d /tmp/vantles-venv.XXXXXX)
trap 'rm -rf "$work"' EXIT
if ! python3 -m venv "$work/env" >"$work/venv.log" 2>&1; then
    cat "$work/venv.log"
    echo "venv_install: python3 -m venv failed (python3-venv missing?): skipped"
    exit 77
fi
# A copy, so that whatever pip or the backend write stays out of the source tree.
cp -r "$src" "$work/src"
PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 "$work/env/bin/pip" install --no-index \
    "$work/src" >"$work/pip.log" 2>&1 ||
    { cat "$work/pip.log"; echo "venv_install: pip failed"; exit 1; }
cd "$work"
"$work/env/bin/python" - <<'PY'
import os, sys, vantles
where = os.path.dirname(vantles.__file__)
assert where.startswith(sys.prefix), where
assert os.path.exists(os.path.join(where, "py.typed")), "py.typed not installed"
assert str(vantles.Flags.created | vantles.Flags.file) == "created,file"
print("venv_install: ok", vantles.__version__, where)
PY
"$work/env/bin/pip" uninstall -y vantles >"$work/pip.log" 2>&1 || { cat "$work/pip.log"; exit 1; }
# The sdist the backend writes installs the same way.
mkdir "$work/dist"
sdist=$(cd "$work/src" && python3 -c 'import sys; sys.path.insert(0, "_build")
import vantles_build; print(vantles_build.build_sdist(sys.argv[1]))' "$work/dist")
"$work/env/bin/pip" install --no-index "$work/dist/$sdist" >"$work/pip.log" 2>&1 ||
    { cat "$work/pip.log"; echo "venv_install: pip failed on $sdist"; exit 1; }
"$work/env/bin/python" -c 'import vantles; print("venv_install: sdist ok", vantles.__file__)'
