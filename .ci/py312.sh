#!/usr/bin/env bash
# The users' leg: Python 3.12 with the newest PyTorch and NumPy from PyPI, and
# the package installed as a user installs it (pip install . into a fresh
# virtual environment that already has torch), then tested as installed.
#
# Downloads go to a wheelhouse and pip cache outside the clone
# ($ZEL_CACHE, default /var/cache/varnel-zel), so only a machine's first run
# fetches the several GB of torch's CUDA build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
cache=${ZEL_CACHE:-/var/cache/varnel-zel}
wheels=$cache/wheelhouse
export PIP_CACHE_DIR=$cache/pip PIP_DISABLE_PIP_VERSION_CHECK=1
mkdir -p "$wheels" "$PIP_CACHE_DIR"

py=$(ls -d "$(pyenv root 2>/dev/null || echo /root/.pyenv)"/versions/3.12.*/bin/python3 2>/dev/null | sort -V | tail -n 1)
if [ -z "$py" ]; then echo "py312: no Python 3.12 under pyenv" >&2; exit 1; fi
echo "py312: $py"

# The interpreter's own torch: what a user has before installing us.
base_pkgs="torch numpy pytest hypothesis mpmath"
if ! "$py" -c "import torch, numpy, pytest, hypothesis, mpmath" 2>/dev/null; then
  "$py" -m pip download -q -d "$wheels" $base_pkgs setuptools wheel ninja build
  "$py" -m pip install -q --find-links "$wheels" $base_pkgs
fi
"$py" -c "import torch, numpy; print('py312: torch', torch.__version__, 'numpy', numpy.__version__)"

# ccache reuses objects across clones: paths inside the checkout become relative.
if [ -x /usr/lib/ccache/g++ ]; then export PATH=/usr/lib/ccache:$PATH CCACHE_BASEDIR=$root; fi
export MAX_JOBS=${MAX_JOBS:-2} PIP_FIND_LINKS=$wheels

venv=$root/.venv312
rm -rf "$venv" "$root/dist"
"$py" -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip install -q .
"$venv/bin/python" -m pip wheel -q --no-deps -w dist .
"$venv/bin/python" -m pip install -q build
"$venv/bin/python" -m build --sdist --no-isolation --skip-dependency-check -o dist . >/dev/null

# The wheel and the source archive hold everything.
"$venv/bin/python" - "$root/dist" <<'PY'
import glob, sys, tarfile, zipfile
dist = sys.argv[1]
wheel = zipfile.ZipFile(glob.glob(dist + "/*.whl")[0]).namelist()
need = ["varnel/zel/__init__.py", "varnel/zel/__main__.py", "varnel/zel/zel.pyi",
        "varnel/zel/tarsk.pyi", "varnel/zel/py.typed"]
missing = [n for n in need if n not in wheel]
for ext in ("varnel/zel/zel.", "varnel/zel/tarsk."):
    if not any(n.startswith(ext) and n.endswith(".so") for n in wheel):
        missing.append(ext + "*.so")
names = tarfile.open(glob.glob(dist + "/*.tar.gz")[0]).getnames()
import os
headers = [os.path.join(d, f) for d, _, fs in os.walk("csrc") for f in fs]
missing += [h for h in headers if not any(n.endswith("/" + h) for n in names)]
if missing:
    sys.exit("py312: missing from the wheel or source archive: " + ", ".join(missing))
print(f"py312: wheel has {len(wheel)} files, source archive carries all {len(headers)} sources")
PY

# Tests import the installed package, never the source tree.
cd "$root/tests"
"$venv/bin/python" -c "
from varnel.zel import zel, tarsk
import sys
assert '/site-packages/' in zel.__file__ and '/site-packages/' in tarsk.__file__, zel.__file__
print('py312: testing', zel.__file__)"
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests"
