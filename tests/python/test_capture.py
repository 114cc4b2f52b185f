# vantrel.capture_streams and vantrel.decode_capture against vantrel-info and vantrel-decode, on
# the standard test capture (tests/support/make_capture).
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

import vantrel
from conftest import run


@pytest.fixture(scope="module")
def capture(tmp_path_factory) -> Path:
    tool = os.environ.get("VANTREL_MAKE_CAPTURE")
    if not tool or not Path(tool).exists():
        pytest.skip("make_capture not built (set VANTREL_MAKE_CAPTURE)")
    path = tmp_path_factory.mktemp("capture") / "link.pcap"
    subprocess.run([tool, "pcap", str(path)], check=True)
    return path


def test_the_streams_are_those_vantrel_info_lists(capture: Path) -> None:
    streams = vantrel.capture_streams(capture.read_bytes())
    lines = [line for line in run("vantrel-info", str(capture)).decode().splitlines()
             if line.startswith("stream ")]
    assert len(streams) == len(lines) == 6
    for s, line in zip(streams, lines):
        assert line.startswith(f"stream {s['index']}: {s['kind']}, {s['direction']}, ")
        assert f"frames {s['frames']}, " in line and f"packets {s['packets']}, " in line
    first = streams[0]
    assert first["configuration"] == {"sampling_frequency": (44100,),
                                      "channel_mode": ("JOINT_STEREO",), "blocks": (16,),
                                      "subbands": (8,), "allocation": ("SNR",),
                                      "bitpool": (2, 53)}
    assert streams[1]["configuration"] is None  # found by the packets' shape
    assert [s["kind"] for s in streams[2:]] == ["mSBC"] * 4


def test_a_decoded_stream_is_what_vantrel_decode_writes(capture: Path) -> None:
    data = capture.read_bytes()
    for number in range(6):
        samples, rate = vantrel.decode_capture(data, stream=number)
        raw = run("vantrel-decode", "-s", str(number), "-t", "raw", str(capture))
        assert samples.dtype == np.int16 and rate == (44100 if number < 2 else 16000)
        assert samples.tobytes() == raw


def test_what_is_no_capture_or_no_stream_is_refused(capture: Path) -> None:
    with pytest.raises(vantrel.VantrelError, match="no capture"):
        vantrel.capture_streams(b"\x9c\xbf\x35\x00" * 10)
    with pytest.raises(vantrel.VantrelError, match="no such audio stream"):
        vantrel.decode_capture(capture.read_bytes(), stream=6)
    with pytest.raises(TypeError):
        vantrel.capture_streams("link.pcap")
