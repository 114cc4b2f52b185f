# What the Python tests share: the built programs, WAVE files written from arrays, test signals,
# and the runs of a loss mask.
#
# ctest sets VANTREL_BIN_DIR (the programs) and VANTREL_LIBRARY (the C library the module loads);
# without VANTREL_BIN_DIR the tests that compare with the programs are skipped.
import os
import struct
import subprocess
import wave
from pathlib import Path

import numpy as np
import pytest


def program(name: str) -> str:
    folder = os.environ.get("VANTREL_BIN_DIR")
    if not folder or not (Path(folder) / name).exists():
        pytest.skip(f"{name} not built (set VANTREL_BIN_DIR)")
    return str(Path(folder) / name)


def run(name: str, *args: str, status: int = 0) -> bytes:
    """Runs a built program and returns its standard output; it must end with `status`."""
    done = subprocess.run([program(name), *args], capture_output=True, check=False)
    assert done.returncode == status, done.stderr.decode(errors="replace")
    return done.stdout


def write_wave(path: Path, samples: np.ndarray, rate: int) -> Path:
    """A WAVE file of the samples: 16-bit PCM through the wave module, float as format tag 3."""
    frames = samples.reshape(len(samples), -1)
    channels = frames.shape[1]
    if samples.dtype == np.int16:
        with wave.open(str(path), "wb") as w:
            w.setnchannels(channels)
            w.setsampwidth(2)
            w.setframerate(rate)
            w.writeframes(frames.astype("<i2").tobytes())
        return path
    data = frames.astype("<f8").tobytes()
    fmt = struct.pack("<HHIIHH", 3, channels, rate, rate * channels * 8, channels * 8, 64)
    riff = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt
    riff += b"data" + struct.pack("<I", len(data)) + data
    path.write_bytes(b"RIFF" + struct.pack("<I", len(riff)) + riff)
    return path


def signal(instants: int, channels: int, seed: int = 1) -> np.ndarray:
    """Tones and noise, different in each channel, int16 of shape (instants, channels)."""
    rng = np.random.default_rng(seed)
    t = np.arange(instants)[:, None] / 16000.0
    tones = np.sin(2 * np.pi * t * (440.0 * np.arange(1, channels + 1))) * 12000
    return (tones + rng.normal(0, 2000, (instants, channels))).astype(np.int16)


def runs(mask: np.ndarray) -> "tuple[np.ndarray, np.ndarray]":
    """The starts and lengths of the runs of True in a bool array."""
    edges = np.diff(mask.astype(np.int8), prepend=0, append=0)
    starts = np.flatnonzero(edges == 1)
    return starts, np.flatnonzero(edges == -1) - starts
