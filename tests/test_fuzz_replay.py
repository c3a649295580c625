"""Every fuzz target run over its seed corpus and over every saved crash input
(fuzz/corpus/<target>, fuzz/crashes/<target>), with the replay drivers that any
compiler builds: an input that once failed keeps being tried. The drivers come
from the development build when it has them (the sanitized build does), else
they are built (or brought up to date) in the fuzz build, else once into
_build/fuzz-replay."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
FUZZ = ROOT / "fuzz"
TARGETS = sorted(p.stem for p in (FUZZ / "targets").glob("*.cpp"))


@pytest.fixture(scope="module")
def drivers():
    dev = os.environ.get("TARVIK_DEV_BUILD")
    if dev and all((Path(dev) / "fuzz" / f"replay_{t}").exists() for t in TARGETS):
        return Path(dev) / "fuzz"
    build = ROOT / "_build" / "fuzz-replay"
    fuzz_build = ROOT / "_build" / "fuzz"  # fuzz/build.sh's, when it is there and current
    if (fuzz_build / "build.ninja").exists() and not (build / "CMakeCache.txt").exists():
        build = fuzz_build
    configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                 f"-DPython_EXECUTABLE={sys.executable}", "-DTARVIK_FUZZ_REPLAY=ON", "-DTARVIK_DEVSERVER=OFF"]
    if not (build / "CMakeCache.txt").exists():
        configure[1:1] = ["-G", "Ninja"]
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    if build != fuzz_build:
        subprocess.run(configure, check=True, stdout=subprocess.DEVNULL, env=env)
    subprocess.run(["cmake", "--build", str(build), "-j", "2", "--target"] + [f"replay_{t}" for t in TARGETS],
                   check=True, stdout=subprocess.DEVNULL, env=env)
    return build / "fuzz"


def inputs(target):
    return [p for d in (FUZZ / "corpus" / target, FUZZ / "crashes" / target) if d.is_dir()
            for p in d.iterdir() if p.is_file()]


@pytest.mark.parametrize("target", TARGETS)
def test_corpus_and_crash_inputs_replay_cleanly(drivers, target):
    count = len(inputs(target))
    assert count > 0, f"fuzz/corpus/{target} is empty"
    # A sanitized driver brings its own runtime (a preloaded one may be another compiler's).
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env["ASAN_OPTIONS"] = "detect_leaks=0:" + os.environ.get("ASAN_OPTIONS", "")
    r = subprocess.run([str(drivers / f"replay_{target}"), str(FUZZ / "corpus" / target),
                        str(FUZZ / "crashes" / target)], capture_output=True, text=True, env=env, timeout=600)
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stdout.strip() == f"replayed {count} inputs"
