#!/bin/sh
# The Python package as a user gets it: a source distribution and a wheel
# built from the checkout, then the sdist copied alone into an empty folder,
# installed offline into a fresh virtual environment, and put through the
# package's tests against the built qev.
#   tests/sdist.sh PYTHON SOURCE_DIR WORKDIR QEV
set -eu
python=$1
src=$2
work=$3
qev=$4
rm -rf "$work" && mkdir -p "$work/dist" "$work/alone"
"$python" -m build --sdist --wheel --no-isolation --outdir "$work/dist" \
  "$src/python" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
ls "$work"/dist/qev-*.whl >/dev/null
cp "$work"/dist/qev-*.tar.gz "$work/alone/"
cd "$work/alone"
"$python" -m venv --system-site-packages venv
venv/bin/python -m pip install -q --no-index --no-build-isolation qev-*.tar.gz
# From the empty folder, so that the package imported is the installed one.
QEV=$qev venv/bin/python -m pytest -q -p no:cacheprovider "$src/python/tests"
