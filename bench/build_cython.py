"""Compiles bench/reference.py with Cython 3 into build/cython/reference_cy.<EXT_SUFFIX>.

The source is compiled unchanged (plain Python semantics, no type declarations): the module is
the peer "what if we had only run the Python team's code through Cython". It is built under its
own name so the three contenders load side by side in one process.

Needs Cython 3 and setuptools (the bench venv installs both). Usage: python bench/build_cython.py
"""

import os
import shutil
import sys
import sysconfig

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = os.path.join(ROOT, "bench", "reference.py")
OUT = os.path.join(ROOT, "build", "cython")
NAME = "reference_cy"


def main():
    import Cython
    from Cython.Build import cythonize
    from setuptools import Extension, setup

    if int(Cython.__version__.split(".")[0]) < 3:
        sys.exit(f"Cython 3 is needed, found {Cython.__version__}")
    os.makedirs(os.path.join(OUT, "src"), exist_ok=True)
    # the copy lives in src/, so build/cython/ on sys.path finds only the compiled module
    source = os.path.join(OUT, "src", NAME + ".py")
    shutil.copyfile(SOURCE, source)
    extensions = cythonize(
        [Extension(NAME, [source], extra_compile_args=["-O2"])],
        build_dir=os.path.join(OUT, "src"),
        compiler_directives={"language_level": 3},
        quiet=True,
    )
    # Away from the project's pyproject.toml, which is the module's, not this build's.
    os.chdir(OUT)
    setup(name=NAME, ext_modules=extensions, packages=[], py_modules=[], script_args=[
        "-q", "build_ext", "--build-lib", OUT, "--build-temp", os.path.join(OUT, "tmp")])
    built = os.path.join(OUT, NAME + sysconfig.get_config_var("EXT_SUFFIX"))
    if not os.path.exists(built):
        sys.exit(f"no module at {built}")
    print(f"built {os.path.relpath(built, ROOT)} with Cython {Cython.__version__}")


if __name__ == "__main__":
    main()
