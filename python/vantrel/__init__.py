"""The SBC codec of Bluetooth A2DP and of hands-free wideband speech (mSBC), on numpy arrays.

The bytes are those of the ``vantrel`` program, the samples those of ``vantrel-decode`` and the
report that of ``vantrel-info``: the module calls the same codec, in libvantrel, through ctypes.

    samples --encode/Encoder--> bytes of SBC frames --decode/Decoder--> (int16 (n, channels), rate)
                                                     --info--> dict of the stream's parameters
    samples --round_trip--> what a link carrying them delivers, aligned to them

Samples are numpy arrays of shape (n,) or (n, channels), one or two channels, either int16 or
float with full scale ±1.0 (converted as the program converts float files: × 32768, truncated
toward zero, limited to the 16-bit range, NaN as 0). Only whole frames are encoded: samples left
over after the last whole frame are dropped, as by the program; an Encoder keeps them until the
next call completes their frame.

Channel modes are named "mono", "dual", "stereo" and "joint", or by the program's names MONO,
DUAL_CHANNEL, STEREO and JOINT_STEREO, in any case. None (the default) is MONO for one channel
and DUAL_CHANNEL for two, and one channel is always coded MONO, as by the program. Allocation
is "snr" (the default) or "loudness" (the program's -p).

Errors: TypeError and ValueError for arrays and options Python can judge; VantrelError, with the
C library's text, for what the codec refuses (a sampling frequency, a bitpool out of range) and
for a stream with no frame at all. Damage in a stream that still has frames is a
StreamDamageWarning. A refused call leaves an Encoder or Decoder as it was, ready for the next.

Threads: an Encoder or Decoder is used by one thread at a time; distinct ones may work on
distinct threads at once, and the codec runs without holding the interpreter's lock.
"""

import warnings
from typing import Any, Dict, Optional, Tuple, Union

import numpy as np

from . import _capi
from ._capi import VantrelError
from ._samples import frames_of, in_place

__all__ = ["encode", "decode", "info", "round_trip", "Encoder", "Decoder", "VantrelError",
           "StreamDamageWarning", "version"]

BytesLike = Union[bytes, bytearray, memoryview]

_MODES = {"mono": 0, "dual": 1, "dual_channel": 1, "stereo": 2, "joint": 3, "joint_stereo": 3}
_ALLOCATIONS = {"loudness": 0, "snr": 1}


class StreamDamageWarning(UserWarning):
    """A stream was decoded, but some of it was damaged, lost or skipped (concealed or silenced).

    The message counts them as vantrel-decode does, e.g. "1204 frames decoded; 2 damaged and
    1 lost replaced by silence; 37 bytes skipped"."""


def version() -> str:
    """The version of the C library in use, e.g. "1.5"."""
    return _capi.version()


def _code(value: str, names: Dict[str, int], what: str) -> int:
    if not isinstance(value, str) or value.lower() not in names:
        raise ValueError(f"{what} {value!r} is not one of " + ", ".join(repr(n) for n in names))
    return names[value.lower()]


def _int32(value: object, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}")
    if not -2**31 <= int(value) < 2**31:
        raise ValueError(f"{what} {value} is out of range")
    return int(value)


class Encoder:
    """An encoder for one stream, fed samples in chunks of any size.

    Encoder(rate, channels, *, mode=None, subbands=8, blocks=16, allocation="snr",
            bitrate=375000, bitpool=None, msbc=False, h2=False)

    rate: 16000, 32000, 44100 or 48000 Hz. channels: 1 or 2. bitpool: None derives it from
    bitrate as the program does (refused when a frame cannot carry it); a number sets it.
    msbc: mSBC frames (16000 Hz mono; every other parameter fixed, so leave them at their
    defaults); h2: with msbc, each frame in its 60-byte H2 unit. Raises VantrelError for what
    the codec refuses and ValueError for names and combinations it cannot take.

    The bytes of all encode() calls together equal encode() of all the samples at once."""

    def __init__(self, rate: int, channels: int, *, mode: Optional[str] = None,
                 subbands: int = 8, blocks: int = 16, allocation: str = "snr",
                 bitrate: int = 375000, bitpool: Optional[int] = None, msbc: bool = False,
                 h2: bool = False) -> None:
        rate, subbands, blocks = (_int32(rate, "rate"), _int32(subbands, "subbands"),
                                  _int32(blocks, "blocks"))
        bitrate = _int32(bitrate, "bitrate")
        bitpool = None if bitpool is None else _int32(bitpool, "bitpool")
        if channels not in (1, 2):
            raise ValueError(f"channels must be 1 or 2, not {channels!r}")
        mode_code = None if mode is None else _code(mode, _MODES, "mode")
        allocation_code = _code(allocation, _ALLOCATIONS, "allocation")
        if h2 and not msbc:
            raise ValueError("h2 needs msbc=True: H2 units carry mSBC frames")
        if msbc:
            fixed = {"subbands": subbands != 8, "blocks": blocks != 16,
                     "allocation": allocation_code != 1, "bitrate": bitrate != 375000,
                     "bitpool": bitpool is not None, "mode": mode_code not in (None, 0)}
            named = [name for name, changed in fixed.items() if changed]
            if named:
                raise ValueError("msbc fixes every parameter; leave " + ", ".join(named) +
                                 " at the default")
            if rate != 16000 or channels != 1:
                raise ValueError(f"msbc needs mono samples at 16000 Hz, not {rate} Hz and "
                                 f"{channels} channels; resample and mix them first")
            self._handle = _capi.Encoder.msbc(h2)
        else:
            mode_code = -1 if mode_code is None else mode_code  # -1: the program's default
            self._handle = _capi.Encoder(rate, channels, mode_code, subbands, blocks,
                                         allocation_code, bitrate, bitpool)
        self.rate = rate
        self.channels = channels

    @property
    def frame_length(self) -> int:
        """Bytes per frame (or H2 unit)."""
        return self._handle.frame_length

    @property
    def frame_samples(self) -> int:
        """Sample instants per frame."""
        return self._handle.frame_samples

    @property
    def delay(self) -> int:
        """Instants by which encoding and decoding delay the signal (73 with 8 subbands, 37
        with 4): decoded instant i + delay stands for input instant i."""
        return self._handle.delay

    @property
    def bitpool(self) -> int:
        """The bitpool the frames carry."""
        return self._handle.bitpool

    def encode(self, samples: np.ndarray) -> bytes:
        """The frames completed by these samples (int16 or float, (n,) or (n, channels)).
        Samples short of a whole frame wait for the next call."""
        frames = frames_of(samples)
        if frames.shape[1] != self.channels:
            raise ValueError(f"this encoder takes {self.channels} channel(s); the samples have "
                             f"{frames.shape[1]} (shape {samples.shape})")
        return self._handle.encode(in_place(frames))


def encode(samples: np.ndarray, rate: int, *, mode: Optional[str] = None, subbands: int = 8,
           blocks: int = 16, allocation: str = "snr", bitrate: int = 375000,
           bitpool: Optional[int] = None, msbc: bool = False, h2: bool = False) -> bytes:
    """SBC frames of the samples, back to back: the bytes `vantrel` writes for a file of them.

    encode(x, 44100) equals `vantrel file.wav`; mode="joint" is -j, mode="stereo" -s,
    blocks -l, subbands -n, allocation="loudness" -p, bitrate -r, msbc -m, h2 -H. bitpool sets
    the bitpool directly instead of deriving it from bitrate. See Encoder for the refusals."""
    frames = frames_of(samples)
    encoder = Encoder(rate, frames.shape[1], mode=mode, subbands=subbands, blocks=blocks,
                      allocation=allocation, bitrate=bitrate, bitpool=bitpool, msbc=msbc, h2=h2)
    return encoder.encode(samples)


def _as_bytes(data: object) -> BytesLike:
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"the stream must be bytes, bytearray or memoryview, "
                        f"not {type(data).__name__}")
    return data


def _concealment(conceal: object) -> bool:
    """True for silence, False for concealment; anything else is refused."""
    if conceal not in ("auto", "silence"):
        raise ValueError(f"conceal must be 'auto' or 'silence', not {conceal!r}")
    return conceal == "silence"


class Decoder:
    """A decoder for one stream (SBC, mSBC, or mSBC in H2 units), fed bytes in pieces of any size.

    decode() returns the samples of the frames completed so far, int16 of shape
    (n, channels) (shape (0, 0) until the first frame); finish() ends the stream and returns the
    rest. Damaged frames and lost H2 units are concealed over their length (the waveform carried
    through the gap), or become silence with conceal="silence", as in vantrel-decode; finish()
    reports them as a StreamDamageWarning, and raises VantrelError when the stream held no
    frame. conceal(frames) fills frames the caller knows to be lost. When the stream changes its frequency or channel count, the call that finds it
    raises VantrelError, whose `samples` are that call's samples before the change.
    The samples of all calls together equal decode() of all the bytes at once."""

    def __init__(self, *, conceal: str = "auto") -> None:
        self._handle = _capi.Decoder(silence=_concealment(conceal))

    @property
    def rate(self) -> Optional[int]:
        """The stream's sampling frequency, None before its first frame."""
        return self._handle.rate

    @property
    def channels(self) -> Optional[int]:
        """The stream's channel count, None before its first frame."""
        return self._handle.channels

    def decode(self, data: BytesLike) -> np.ndarray:
        """Takes the next bytes of the stream; returns the samples of the frames they complete."""
        return self._handle.decode(_as_bytes(data))

    def conceal(self, frames: int = 1) -> np.ndarray:
        """Samples for `frames` lost frames that the stream itself cannot show (a link's own
        sequence numbers or timestamps found the gap), each of the last frame's shape, placed
        after the samples returned so far: concealed (silence with conceal="silence").
        int16 of shape (n, channels); VantrelError before the first frame."""
        frames = _int32(frames, "frames")
        if frames < 0:
            raise ValueError(f"frames must be 0 or more, not {frames}")
        return self._handle.conceal(frames)

    def finish(self) -> np.ndarray:
        """Ends the stream: the samples still held back, a warning for damage."""
        samples = self._handle.finish()
        summary = self._handle.damage_summary()
        if summary:
            warnings.warn(StreamDamageWarning(summary), stacklevel=2)
        return samples


def decode(data: BytesLike, conceal: str = "auto") -> Tuple[np.ndarray, int]:
    """The samples of a stream and its sampling frequency: (int16 (n, channels), rate).

    As vantrel-decode: damage is concealed ("auto") or becomes silence ("silence"), with a
    StreamDamageWarning; a stream without a frame raises VantrelError, and so does a change of
    frequency or channel count, with the samples before it as the error's `samples`."""
    data = _as_bytes(data)
    decoder = Decoder(conceal=conceal)
    head = decoder.decode(data)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            tail = decoder.finish()
        except VantrelError as error:
            if error.samples is not None and head.size:
                error.samples = np.concatenate([head, error.samples])
            raise
    for w in caught:
        warnings.warn(w.message, stacklevel=2)
    samples = tail if head.size == 0 else head if tail.size == 0 else np.concatenate([head, tail])
    return samples, int(decoder.rate or 0)


def info(data: BytesLike) -> Dict[str, Any]:
    """What vantrel-info reports about a stream, as a dict:

    kind ("SBC", "mSBC", "H2-framed mSBC" or "none"), frames (good frames), duration (seconds,
    damaged and lost frames included), sampling_frequency, channel_mode, subbands, blocks,
    allocation (tuples of the values seen, in the order they first appear; channel modes and
    allocations by the program's names), bitpool ({bitpool: good frames}), bit_rate (bit/s of
    the good frames, H2 framing not counted), damaged_frames, lost_frames, skipped_bytes.
    A stream without frames is reported, not refused."""
    return _capi.stream_report(_as_bytes(data))


def round_trip(samples: np.ndarray, rate: int, **options: Any) -> np.ndarray:
    """The samples as a link carrying them delivers them: encoded with `options` (those of
    encode), decoded, the codec's delay (73 instants with 8 subbands, 37 with 4) removed.

    The result has the input's shape, and its dtype: int16 for int16 input, float samples
    divided by 32768 for float input. The input is padded with silence so that its last
    samples come back too."""
    frames = frames_of(samples)
    encoder = Encoder(rate, frames.shape[1], **options)
    delay, per_frame = encoder.delay, encoder.frame_samples
    tail = -(-(len(frames) + delay) // per_frame) * per_frame - len(frames)
    stream = encoder.encode(frames) + encoder.encode(np.zeros((tail, frames.shape[1]), np.int16))
    decoded, _ = decode(stream)
    aligned = decoded[delay:delay + len(frames)].reshape(samples.shape)
    if samples.dtype == np.int16:
        return aligned
    return np.divide(aligned, 32768.0, dtype=samples.dtype)
