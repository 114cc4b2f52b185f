# `pip install --no-build-isolation .` into a fresh virtual environment, offline: the package builds
# libvantrel (that target alone, with CMake), carries it inside, and gives the program's bytes
# without any path set. The source is copied first, so the checkout stays untouched.
import os
import shutil
import subprocess
from pathlib import Path

from conftest import program, signal, write_wave

ROOT = Path(__file__).resolve().parents[3]

CHECK = """
import sys, wave, numpy as np, vantrel
with wave.open(sys.argv[1]) as w:
    x = np.frombuffer(w.readframes(w.getnframes()), "<i2").reshape(-1, w.getnchannels())
assert "site-packages" in vantrel.__file__, vantrel.__file__
sys.stdout.buffer.write(vantrel.encode(x, 44100, mode="joint"))
"""


def test_pip_installs_the_module_with_its_library_into_a_fresh_environment(tmp_path):
    vantrel_program = program("vantrel")
    source = tmp_path / "source"
    shutil.copytree(ROOT, source, symlinks=True, ignore=shutil.ignore_patterns(
        ".git", "build*", "*.egg-info", "__pycache__"))
    env = {k: v for k, v in os.environ.items() if not k.startswith(("VANTREL_", "PYTHON"))}
    if shutil.which("ccache"):  # paths taken relative to the copy, so runs share their objects
        env.update(CMAKE_ARGS="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", CCACHE_BASEDIR=str(tmp_path),
                   CCACHE_NOHASHDIR="1")
    venv = tmp_path / "venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", str(venv)],
                   check=True)
    done = subprocess.run([str(venv / "bin" / "pip"), "install", "--no-build-isolation",
                           "--no-index", "-q", str(source)], env=env, capture_output=True)
    assert done.returncode == 0, done.stdout.decode()[-3000:] + done.stderr.decode()[-3000:]

    wav = write_wave(tmp_path / "in.wav", signal(66150, 2), 44100)
    expected = subprocess.run([vantrel_program, "-j", str(wav)], capture_output=True,
                              check=True).stdout
    got = subprocess.run([str(venv / "bin" / "python"), "-c", CHECK, str(wav)], env=env,
                         cwd=tmp_path, capture_output=True)
    assert got.returncode == 0, got.stderr.decode()
    assert len(expected) > 0 and got.stdout == expected

