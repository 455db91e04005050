"""Builds the native extension; metadata lives in pyproject.toml."""

import glob
import os
import tomllib

from setuptools import Extension, setup

# Development builds (make build) add -Werror; installs should not fail on a
# newer compiler's new warning.
extra = ["-std=c++20", "-O2", "-Wall", "-Wextra", "-fvisibility=hidden"]
if os.environ.get("QUORVEL_WERROR"):
    extra.append("-Werror")

# The module publishes the release written once in pyproject.toml.
with open("pyproject.toml", "rb") as pyproject:
    version = tomllib.load(pyproject)["project"]["version"]

setup(
    ext_modules=[
        Extension(
            "quorvel_core._quorvel_core",
            sources=sorted(glob.glob("src/*.cpp") + glob.glob("src/kinds/*.cpp")),
            depends=sorted(glob.glob("src/*.hpp") + glob.glob("src/kinds/*.hpp")) + ["src/exports.map"],
            language="c++",
            define_macros=[("QC_VERSION", f'"{version}"')],
            extra_compile_args=extra,
            # Release builds ship without debug information (make build keeps it).
            extra_link_args=["-Wl,--version-script=src/exports.map", "-Wl,--strip-debug"],
        )
    ]
)
