# The vantrel module against the programs: the same bytes, the same samples, the same report;
# chunked streams equal to one call; round_trip aligned; bad input refused with handles still usable.
import tracemalloc
import warnings

import numpy as np
import pytest

import vantrel
from conftest import run, signal, write_wave

# (rate, channels, module options, the program's options)
SAME_AS_PROGRAM = [
    (44100, 1, {}, []),
    (44100, 2, {}, []),
    (44100, 2, {"mode": "stereo"}, ["-s"]),
    (48000, 2, {"mode": "JOINT_STEREO", "blocks": 12}, ["-j", "-l", "12"]),
    (32000, 2, {"mode": "joint", "allocation": "loudness", "subbands": 4, "blocks": 8,
                "bitrate": 200000}, ["-j", "-p", "-n", "4", "-l", "8", "-r", "200000"]),
    (16000, 1, {"allocation": "LOUDNESS", "blocks": 4, "bitrate": 64000},
     ["-p", "-l", "4", "-r", "64000"]),
    (44100, 2, {"mode": "dual", "bitpool": 26}, ["-r", "320000"]),
    (44100, 2, {"mode": "stereo", "bitpool": 53}, ["-s", "-r", "328000"]),
    (16000, 1, {"msbc": True}, ["-m"]),
    (16000, 1, {"msbc": True, "h2": True}, ["-m", "-H"]),
]


@pytest.mark.parametrize("rate, channels, options, args", SAME_AS_PROGRAM)
def test_encode_gives_the_programs_bytes(tmp_path, rate, channels, options, args):
    x = signal(5000 + 77, channels)
    samples = x[:, 0] if channels == 1 else x  # mono as shape (n,)
    wav = write_wave(tmp_path / "in.wav", x, rate)
    expected = run("vantrel", "-T", "1", *args, str(wav))
    assert len(expected) > 0
    assert vantrel.encode(samples, rate, **options) == expected


def test_float_samples_convert_as_the_program_converts_float_files(tmp_path):
    x = np.random.default_rng(3).uniform(-1.2, 1.2, (4000, 2))
    x[5, 0], x[6, 1], x[7, 0] = np.nan, 1.0, -1.0
    expected = run("vantrel", "-T", "1", "-j", str(write_wave(tmp_path / "f.wav", x, 32000)))
    assert vantrel.encode(x, 32000, mode="joint") == expected
    assert vantrel.encode(x.astype(np.float32), 32000, mode="joint") == expected


def damaged(stream: bytes) -> bytes:
    b = bytearray(stream)
    b[300] ^= 0x55            # a CRC failure
    return b"\x00junk" + bytes(b[:1000]) + bytes(b[1100:-7])  # skipped bytes, cuts


@pytest.mark.parametrize("rate, channels, options, change, hurt", [
    (44100, 2, {"mode": "joint"}, {"bitpool": 30}, False),  # a second bitpool in the report
    (16000, 1, {"msbc": True, "h2": True}, {}, False),
    (48000, 1, {"subbands": 4}, {}, True),
    (16000, 1, {"msbc": True, "h2": True}, {}, True),
])
def test_decode_and_info_give_the_programs_samples_and_report(tmp_path, rate, channels,
                                                               options, change, hurt):
    stream = vantrel.encode(signal(9000, channels), rate, **options)
    stream += vantrel.encode(signal(3000, channels), rate, **options, **change) if change else b""
    stream = damaged(stream) if hurt else stream
    (tmp_path / "s.sbc").write_bytes(stream)
    expected = np.frombuffer(run("vantrel-decode", "-t", "raw", str(tmp_path / "s.sbc")), "<i2")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        samples, got_rate = vantrel.decode(stream)
    assert got_rate == rate and samples.dtype == np.int16 and samples.shape[1] == channels
    assert np.array_equal(samples.reshape(-1), expected)
    assert [w.category for w in caught] == ([vantrel.StreamDamageWarning] if hurt else [])
    report = run("vantrel-info", str(tmp_path / "s.sbc")).decode()
    assert info_lines(vantrel.info(stream)) == report


@pytest.mark.parametrize("conceal", ["auto", "silence"])
def test_losses_are_concealed_or_silenced_as_the_program_does(tmp_path, conceal):
    stream = damaged(vantrel.encode(signal(9000, 1), 16000, msbc=True, h2=True))
    (tmp_path / "s.sbc").write_bytes(stream)
    expected = run("vantrel-decode", "-c", conceal, "-t", "raw", str(tmp_path / "s.sbc"))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        samples, _ = vantrel.decode(stream, conceal=conceal)
    assert np.array_equal(samples.reshape(-1), np.frombuffer(expected, "<i2"))
    filled = "replaced by silence" if conceal == "silence" else "concealed"
    assert filled in str(caught[0].message)
    # The caller's own losses: one frame's samples each, of the last frame's shape.
    decoder = vantrel.Decoder(conceal=conceal)
    with pytest.raises(vantrel.VantrelError, match="no frame"):
        decoder.conceal()
    decoder.decode(vantrel.encode(signal(4000, 2), 44100, mode="joint"))
    gap = decoder.conceal(frames=3)
    assert gap.shape == (3 * 128, 2) and gap.dtype == np.int16
    assert (np.count_nonzero(gap) == 0) == (conceal == "silence")
    with pytest.raises(ValueError):
        vantrel.Decoder(conceal="zeros")


def info_lines(d: dict) -> str:
    """The dict written out as vantrel-info writes its report."""
    pools = d["bitpool"]
    lines = [f"kind: {d['kind']}", f"frames: {d['frames']}", f"duration: {d['duration']:.3f} s",
             "sampling frequency: " + ", ".join(f"{f} Hz" for f in d["sampling_frequency"]),
             "channel mode: " + ", ".join(d["channel_mode"]),
             "subbands: " + ", ".join(map(str, d["subbands"])),
             "blocks: " + ", ".join(map(str, d["blocks"])),
             "allocation: " + ", ".join(d["allocation"]),
             "bitpool: " + ("-".join(map(str, sorted({min(pools), max(pools)}))) if pools else "")]
    if len(pools) > 1:
        lines += [f"bitpool {b}: {n} frames" for b, n in sorted(pools.items())]
    lines += [f"bit rate: {d['bit_rate'] / 1000:.3f} kbit/s",
              f"damaged frames: {d['damaged_frames']}", f"lost frames: {d['lost_frames']}",
              f"skipped bytes: {d['skipped_bytes']}"]
    return "\n".join(lines) + "\n"


def test_a_change_of_stream_raises_with_the_samples_before_it(tmp_path):
    stream = vantrel.encode(signal(4410, 2), 44100) + vantrel.encode(signal(4800, 1), 48000)
    (tmp_path / "c.sbc").write_bytes(stream)
    expected = run("vantrel-decode", "-t", "raw", str(tmp_path / "c.sbc"), status=1)
    with pytest.raises(vantrel.VantrelError, match="48000 Hz") as caught:
        vantrel.decode(stream)
    assert caught.value.samples.tobytes() == expected


def chunks(total: int, rng) -> list:
    sizes, left = [], total
    while left > 0:
        sizes.append(min(left, int(rng.choice([0, 1, 2, 127, 128, 129, 1000, 5003]))))
        left -= sizes[-1]
    return sizes


@pytest.mark.parametrize("rate, channels, options", [
    (44100, 2, {"mode": "joint"}), (48000, 1, {"subbands": 4, "blocks": 4}),
    (16000, 1, {"msbc": True, "h2": True})])
def test_chunked_encoder_and_decoder_equal_one_call(rate, channels, options):
    rng = np.random.default_rng(channels)
    x = signal(12345, channels)
    whole = vantrel.encode(x, rate, **options)
    encoder = vantrel.Encoder(rate, channels, **options)
    parts, at = [], 0
    for n in chunks(len(x), rng):
        parts.append(encoder.encode(x[at:at + n]))
        at += n
    assert b"".join(parts) == whole

    samples, _ = vantrel.decode(whole)
    decoder = vantrel.Decoder()
    pieces, at = [], 0
    for i, n in enumerate(chunks(len(whole), rng)):  # every kind of bytes-like piece
        pieces.append(decoder.decode([bytes, bytearray, memoryview][i % 3](whole[at:at + n])))
        at += n
    pieces.append(decoder.finish())
    assert np.array_equal(np.concatenate([p for p in pieces if p.size]), samples)
    assert decoder.rate == rate and decoder.channels == channels


@pytest.mark.parametrize("rate, options", [
    (44100, {}), (32000, {"subbands": 4, "blocks": 8}), (16000, {"msbc": True})])
def test_round_trip_is_aligned_to_the_input(rate, options):
    x = signal(8000, 1, seed=7)[:, 0]
    y = vantrel.round_trip(x, rate, **options)
    assert y.shape == x.shape and y.dtype == np.int16
    a, b = x.astype(float), y.astype(float)
    lags = range(-80, 81)
    peak = max(lags, key=lambda k: np.dot(a[100:-100], np.roll(b, -k)[100:-100]))
    assert peak == 0
    assert np.abs(a[-500:] - b[-500:]).mean() < 0.1 * np.abs(a[-500:]).mean()  # the tail survives
    f = vantrel.round_trip(x / 32768.0, rate, **options)
    assert f.dtype == np.float64 and np.array_equal(f, y / 32768.0)


x2 = np.zeros((256, 2), np.int16)
BAD_INPUT = [
    (lambda: vantrel.encode(x2.astype(np.int32), 44100), TypeError, r"x >> 16"),
    (lambda: vantrel.encode(x2.astype(np.uint8), 44100), TypeError, "int16"),
    (lambda: vantrel.encode(np.zeros((2, 256, 3), np.int16), 44100), ValueError, "channels"),
    (lambda: vantrel.encode(np.zeros((2, 2, 2, 2), np.int16), 44100), ValueError, "shape"),
    (lambda: vantrel.encode(x2, 22050), vantrel.VantrelError, "resample=44100"),
    (lambda: vantrel.encode(x2, 44100, bitpool=200), vantrel.VantrelError, "bitpool"),
    (lambda: vantrel.encode(x2, 44100, bitrate=10_000_000), vantrel.VantrelError, "bitpool"),
    (lambda: vantrel.encode(x2, 44100, mode="surround"), ValueError, "surround"),
    (lambda: vantrel.encode(x2, 44100, allocation="loud"), ValueError, "loud"),
    (lambda: vantrel.encode(x2, 44100, subbands=6), vantrel.VantrelError, "subbands"),
    (lambda: vantrel.encode(x2, 44100, msbc=True, resample=44100), ValueError, "resample"),
    (lambda: vantrel.encode(x2[:, 0], 16000, h2=True), ValueError, "msbc"),
    (lambda: vantrel.encode(x2[:, 0], 16000, msbc=True, bitpool=26), ValueError, "msbc"),
    (lambda: vantrel.decode("text"), TypeError, "bytes"),
    (lambda: vantrel.decode(b"no frames here" * 10), vantrel.VantrelError, ""),
    (lambda: vantrel.info(np.zeros(4)), TypeError, "bytes"),
    (lambda: vantrel.encode(x2, 44100.0), TypeError, "rate"),
    (lambda: vantrel.encode(x2, 44100, bitrate=2**32), ValueError, "bitrate"),
]


@pytest.mark.parametrize("call, error, words", BAD_INPUT)
def test_bad_input_is_refused_clearly(call, error, words):
    with pytest.raises(error, match=words):
        call()


def test_handles_stay_usable_after_a_refusal():
    x = signal(3000, 2)
    encoder = vantrel.Encoder(44100, 2, mode="joint")
    for bad in (x.astype(np.int64), x[:, :1], x.reshape(2, -1, 2), [[1, 2, 3]]):
        with pytest.raises((TypeError, ValueError)):
            encoder.encode(bad)
    assert encoder.encode(x) == vantrel.encode(x, 44100, mode="joint")
    decoder = vantrel.Decoder()
    with pytest.raises(TypeError):
        decoder.decode(1234)
    stream = vantrel.encode(x, 44100)
    assert np.array_equal(np.concatenate([decoder.decode(stream), decoder.finish()]),
                          vantrel.decode(stream)[0])


@pytest.mark.parametrize("dtype, step, copies", [
    (np.int16, 1, 0), (np.float32, 1, 0), (np.float64, 1, 0), ("<i2", 2, 1), (">f8", 1, 1)])
def test_the_samples_are_copied_at_most_once(dtype, step, copies):
    x = signal(1 << 20, 2)
    x = (x if np.dtype(dtype).kind == "i" else x / 32768.0).astype(dtype)[::step]
    tracemalloc.start()
    try:
        out = vantrel.encode(x, 44100)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 2 * len(out) + copies * x.nbytes + 65536
