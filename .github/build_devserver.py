"""Builds tarvik-devserver from the project's sources into the scripts folder
of the running interpreter, where the tests look for it. Used by the wheel
workflow before the tests (the wheels do not carry the server).
    python .github/build_devserver.py PROJECT_DIR
The definitions in SKBUILD_CMAKE_DEFINE ("A=1;B=2", as given to the wheel
build) are passed on, so the dependencies are found the same way."""
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

project = Path(sys.argv[1]).resolve()
build = Path(tempfile.mkdtemp(prefix="devserver-"))
defines = [d for d in os.environ.get("SKBUILD_CMAKE_DEFINE", "").split(";") if d]
# Windows: the default (Visual Studio) generator finds the compiler by itself.
generator = [] if os.name == "nt" else ["-G", "Ninja"]
# The server is its own small CMake project beside the library's.
subprocess.run(["cmake", "-S", str(project / "devkit" / "update_server"), "-B", str(build), *generator,
                "-DCMAKE_BUILD_TYPE=Release"] + [f"-D{d}" for d in defines], check=True)
subprocess.run(["cmake", "--build", str(build), "--config", "Release", "--target", "tarvik-devserver"], check=True)
name = "tarvik-devserver" + (".exe" if os.name == "nt" else "")
found = next(build.rglob(name))
target = Path(sysconfig.get_paths()["scripts"]) / name
shutil.copy2(found, target)
print(f"installed {target}")
