"""The qev package's extension: the library's sources compiled in, with the
floating-point rules of the command line (no contraction into fused
multiply-adds, no -march) and at its -O3.

In the repository the sources are staged into csrc/ from the library's one
list of them (src/fit/sources.txt), with the public header and the shared
words; a source distribution ships csrc/ as staged, and builds from it."""
import os
import shutil

from pybind11.setup_helpers import Pybind11Extension
from setuptools import setup

# Paths relative to this folder, as setuptools requires.
here = os.path.dirname(os.path.abspath(__file__))
os.chdir(here)
root = os.path.dirname(here)
csrc = "csrc"


def read_list(path):
    with open(path) as f:
        return [line.strip() for line in f if line.strip()]


def stage():
    """Copies what the extension compiles from the repository into csrc/."""
    fit = os.path.join(root, "src", "fit")
    files = [("include", "qev.h"), ("words", "words.h"), ("words", "words.cpp")]
    files += [("fit", name) for name in os.listdir(fit) if name.endswith(".h")]
    files += [("fit", "sources.txt")]
    files += [("fit", name) for name in read_list(os.path.join(fit,
                                                               "sources.txt"))]
    if os.path.isdir(csrc):
        shutil.rmtree(csrc)
    for folder, name in files:
        src = os.path.join(root, "include" if folder == "include" else
                           os.path.join("src", folder), name)
        dst = os.path.join(csrc, folder, name)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copyfile(src, dst)


# A source distribution (PKG-INFO) has its sources staged already.
if (not os.path.exists("PKG-INFO") and
        os.path.exists(os.path.join(root, "src", "fit", "sources.txt"))):
    stage()
library = read_list(os.path.join(csrc, "fit", "sources.txt"))
sources = ([os.path.join("src", "core.cpp")] +
           [os.path.join(csrc, "fit", m) for m in library] +
           [os.path.join(csrc, "words", "words.cpp")])

setup(ext_modules=[Pybind11Extension(
    "qev._core",
    sources,
    include_dirs=[os.path.join(csrc, d) for d in ("include", "fit", "words")],
    cxx_std=17,
    extra_compile_args=["-O3", "-ffp-contract=off"],
    extra_link_args=["-pthread"],
)])
