"""Builds the example consumer against the installed vorlundpython header.

Install with ``pip install --no-build-isolation ./examples/concordance`` into
an environment that already has vorlundpython, so that the build sees it.
"""
from setuptools import Extension, setup

import vorlundpython

setup(
    name="concordance",
    version="0.1.0",
    ext_modules=[
        Extension(
            "concordance",
            ["concordance.c"],
            include_dirs=[vorlundpython.get_include()],
            extra_compile_args=["-std=c11", "-Wall", "-Wextra"],
        )
    ],
)
