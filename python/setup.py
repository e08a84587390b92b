"""The qev package's extension: the library's sources compiled in, with the
floating-point rules of the command line (no contraction into fused
multiply-adds, no -march) and at its -O3."""
import os

from pybind11.setup_helpers import Pybind11Extension
from setuptools import setup

# Paths relative to this folder, as setuptools requires: csrc/ links to the
# repository's own library sources and header.
os.chdir(os.path.dirname(os.path.abspath(__file__)))
root = "csrc"
library = ["life", "simplex", "area", "checks", "fit", "pool", "quality",
           "tables"]
sources = ([os.path.join("src", "core.cpp")] +
           [os.path.join(root, "fit", m + ".cpp") for m in library] +
           [os.path.join(root, "cli", "words.cpp")])

setup(ext_modules=[Pybind11Extension(
    "qev._core",
    sources,
    include_dirs=[os.path.join(root, d) for d in ("include", "fit", "cli")],
    cxx_std=17,
    extra_compile_args=["-O3", "-ffp-contract=off"],
    extra_link_args=["-pthread"],
)])
