# The C library (vantrel/vantrel.h, libvantrel.so.1) through ctypes: its structs, its
# functions with their argument types, and a Python class per handle.
#
#   numpy array ─► pointer into its buffer ─► vantrel_encoder_encode(_float/_double) ─► bytes
#   bytes ─► pointer into the object ─► vantrel_decoder_decode (in a loop) ─► int16 arrays
#
# Every call's status is checked here: a negative one becomes VantrelError carrying the
# library's text (vantrel_strerror) and the code. The library refuses a call without changing
# the handle, so an object stays usable after an error.
#
# Finding the library: $VANTREL_LIBRARY when set (the tests point it into the build tree),
# else the path the install wrote into _library.py (relative to this folder), else the
# loader's search for libvantrel.so.1.
import ctypes
import os
from ctypes import POINTER, byref, c_char_p, c_double, c_int, c_int16, c_int32, c_int64
from ctypes import c_size_t, c_uint8, c_uint32, c_void_p
from typing import Any, Dict, Optional

import numpy as np

SONAME = "libvantrel.so.1"


class VantrelError(ValueError):
    """The codec refused something; the message is the C library's text, `status` its code.
    After a change of stream, `samples` holds the samples decoded before it (else None).
    A ValueError, so that code catching bad values catches it too."""

    def __init__(self, message: str, status: int = 0,
                 samples: Optional[np.ndarray] = None) -> None:
        super().__init__(message)
        self.status = status
        self.samples = samples


VantrelError.__module__ = "vantrel"  # as users import it

def _load() -> ctypes.CDLL:
    override = os.environ.get("VANTREL_LIBRARY")
    if override:
        return ctypes.CDLL(override)
    candidates = []
    try:
        from ._library import LIBRARY
        candidates.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), LIBRARY))
    except ImportError:
        pass
    candidates.append(SONAME)
    failures = []
    for path in candidates:
        try:
            return ctypes.CDLL(path)
        except OSError as error:
            failures.append(str(error))
    raise ImportError("vantrel: the C library cannot be loaded (" + "; ".join(failures) +
                      "); install vantrel or set VANTREL_LIBRARY to libvantrel.so.1")


class Config(ctypes.Structure):
    _fields_ = [("struct_size", c_uint32), ("sampling_frequency", c_int32),
                ("channels", c_int32), ("channel_mode", c_int32), ("subbands", c_int32),
                ("blocks", c_int32), ("allocation", c_int32), ("bitpool", c_int32),
                ("bit_rate", c_int32)]


class ConvertConfig(ctypes.Structure):
    _fields_ = [("struct_size", c_uint32), ("from_rate", c_int32), ("to_rate", c_int32),
                ("channels", c_int32), ("to_channels", c_int32), ("threads", c_int32)]


class DecoderConfig(ctypes.Structure):
    _fields_ = [("struct_size", c_uint32), ("flags", c_uint32)]


class StreamInfo(ctypes.Structure):
    _fields_ = [("struct_size", c_uint32), ("kind", c_int32), ("sampling_frequency", c_int32),
                ("channels", c_int32), ("frames", c_int64), ("damaged", c_int64),
                ("lost", c_int64), ("skipped_bytes", c_int64), ("bytes", c_int64),
                ("samples", c_int64), ("ended", c_int32), ("changed", c_int32),
                ("change_offset", c_int64), ("change_frequency", c_int32),
                ("change_channels", c_int32)]


_VALUES = 8
_values = c_int32 * _VALUES


class StreamReport(ctypes.Structure):
    _fields_ = [("struct_size", c_uint32), ("kind", c_int32), ("frames", c_int64),
                ("damaged", c_int64), ("lost", c_int64), ("skipped_bytes", c_int64),
                ("bytes", c_int64), ("seconds", c_double), ("bit_rate", c_double),
                ("frequency_count", c_int32), ("frequencies", _values),
                ("channel_mode_count", c_int32), ("channel_modes", _values),
                ("subband_count", c_int32), ("subbands", _values),
                ("block_count", c_int32), ("blocks", _values),
                ("allocation_count", c_int32), ("allocations", _values),
                ("bitpool_min", c_int32), ("bitpool_max", c_int32), ("reserved0", c_int32),
                ("bitpool_frames", c_int64 * 256)]


_lib = _load()
_size = POINTER(c_size_t)
_bytes = POINTER(c_uint8)
_SIGNATURES = {
    "vantrel_strerror": (c_char_p, [c_int]),
    "vantrel_version": (c_char_p, []),
    "vantrel_config_default": (c_int, [POINTER(Config), c_int32, c_int32]),
    "vantrel_config_check": (c_int, [POINTER(Config), POINTER(c_int32)]),
    "vantrel_config_bit_rate_range": (c_int, [POINTER(Config), POINTER(c_int32),
                                              POINTER(c_int32)]),
    "vantrel_encoder_open": (c_int, [POINTER(Config), POINTER(c_void_p)]),
    "vantrel_encoder_open_msbc": (c_int, [c_uint32, POINTER(c_void_p)]),
    "vantrel_encoder_close": (c_int, [c_void_p]),
    "vantrel_encoder_frame_length": (c_int, [c_void_p, _size]),
    "vantrel_encoder_frame_samples": (c_int, [c_void_p, _size]),
    "vantrel_encoder_get_config": (c_int, [c_void_p, POINTER(Config)]),
    "vantrel_encoder_delay": (c_int, [c_void_p, _size]),
    "vantrel_encoder_output_size": (c_int, [c_void_p, c_size_t, _size]),
    "vantrel_encoder_encode": (c_int, [c_void_p, c_void_p, c_size_t, c_void_p, c_size_t,
                                       _size]),
    "vantrel_encoder_encode_float": (c_int, [c_void_p, c_void_p, c_size_t, c_void_p, c_size_t,
                                             _size]),
    "vantrel_encoder_encode_double": (c_int, [c_void_p, c_void_p, c_size_t, c_void_p,
                                              c_size_t, _size]),
    "vantrel_encoder_pending": (c_int, [c_void_p, _size]),
    "vantrel_convert_config_default": (c_int, [POINTER(ConvertConfig), c_int32, c_int32,
                                               c_int32]),
    "vantrel_converter_open": (c_int, [POINTER(ConvertConfig), POINTER(c_void_p)]),
    "vantrel_converter_close": (c_int, [c_void_p]),
    "vantrel_converter_length": (c_int, [c_void_p, c_int64, POINTER(c_int64)]),
    "vantrel_converter_finish": (c_int, [c_void_p]),
    "vantrel_converter_convert": (c_int, [c_void_p, c_void_p, c_size_t, _size, c_void_p,
                                          c_size_t, _size]),
    "vantrel_converter_convert_float": (c_int, [c_void_p, c_void_p, c_size_t, _size, c_void_p,
                                                c_size_t, _size]),
    "vantrel_converter_convert_double": (c_int, [c_void_p, c_void_p, c_size_t, _size,
                                                 c_void_p, c_size_t, _size]),
    "vantrel_decoder_open": (c_int, [c_void_p, POINTER(c_void_p)]),
    "vantrel_decoder_close": (c_int, [c_void_p]),
    "vantrel_decoder_decode": (c_int, [c_void_p, c_void_p, c_size_t, c_void_p, c_size_t,
                                       _size, _size]),
    "vantrel_decoder_finish": (c_int, [c_void_p]),
    "vantrel_decoder_conceal": (c_int, [c_void_p, c_void_p, c_size_t, _size]),
    "vantrel_decoder_decode_frames": (c_int, [c_void_p, c_void_p, c_size_t, c_size_t, c_void_p,
                                              c_size_t, c_void_p, c_size_t, _size, _size]),
    "vantrel_decoder_get_info": (c_int, [c_void_p, POINTER(StreamInfo)]),
    "vantrel_scan": (c_int, [c_void_p, c_size_t, POINTER(StreamReport)]),
}
for _name, (_restype, _argtypes) in _SIGNATURES.items():
    _function = getattr(_lib, _name)
    _function.restype, _function.argtypes = _restype, _argtypes

ERROR_BAD_BITPOOL, ERROR_BAD_BIT_RATE = -9, -10
ERROR_NEED_MORE, ERROR_NO_FRAMES, ERROR_STREAM_CHANGED = -14, -15, -16
BITPOOL_FROM_RATE = -1
BIT_RATE_DEFAULT = 0
MSBC_H2 = 1
DECODER_SILENCE = 1
MAX_FRAME_VALUES = 256  # 128 instants of 2 channels: any frame
KIND_NAMES = {0: "none", 1: "SBC", 2: "mSBC", 3: "H2-framed mSBC"}
MODE_NAMES = {0: "MONO", 1: "DUAL_CHANNEL", 2: "STEREO", 3: "JOINT_STEREO"}
ALLOCATION_NAMES = {0: "LOUDNESS", 1: "SNR"}


def strerror(status: int) -> str:
    return _lib.vantrel_strerror(status).decode()


def check(status: int, context: str = "") -> int:
    if status < 0:
        raise VantrelError(strerror(status) + (f" ({context})" if context else ""), status)
    return status


def version() -> str:
    return _lib.vantrel_version().decode()


def _pointer(data: Any) -> Any:
    """The address of a bytes-like object's first byte (None when empty), without a copy."""
    if isinstance(data, bytes):
        return ctypes.cast(c_char_p(data), c_void_p).value if data else None
    view = memoryview(data).cast("B")
    if view.nbytes == 0:
        return None
    if view.readonly:  # a read-only view over bytes-like memory: numpy reads it in place
        return np.frombuffer(view, np.uint8).ctypes.data
    return ctypes.addressof(c_uint8.from_buffer(view))


class Encoder:
    """An open vantrel_encoder."""

    def __init__(self, rate: int, channels: int, mode: int, subbands: int, blocks: int,
                 allocation: int, bitrate: int, bitpool: Optional[int]) -> None:
        self._handle = c_void_p()
        config = Config()
        check(_lib.vantrel_config_default(byref(config), rate, channels))
        config.channel_mode, config.subbands, config.blocks = mode, subbands, blocks
        config.allocation, config.bit_rate = allocation, bitrate
        config.bitpool = BITPOOL_FROM_RATE if bitpool is None else bitpool
        status = _lib.vantrel_encoder_open(byref(config), byref(self._handle))
        if status < 0:
            raise VantrelError(_refusal(status, config, bitpool is None), status)
        self._channels = channels

    @classmethod
    def msbc(cls, h2: bool) -> "Encoder":
        encoder = cls.__new__(cls)
        encoder._handle = c_void_p()
        check(_lib.vantrel_encoder_open_msbc(MSBC_H2 if h2 else 0, byref(encoder._handle)))
        encoder._channels = 1
        return encoder

    def __del__(self, close: Any = _lib.vantrel_encoder_close) -> None:  # bound now: safe at exit
        handle = getattr(self, "_handle", None)
        if handle:
            close(handle)

    def _size_of(self, function: Any) -> int:
        value = c_size_t()
        check(function(self._handle, byref(value)))
        return value.value

    @property
    def frame_length(self) -> int:
        return self._size_of(_lib.vantrel_encoder_frame_length)

    @property
    def frame_samples(self) -> int:
        return self._size_of(_lib.vantrel_encoder_frame_samples)

    @property
    def delay(self) -> int:
        return self._size_of(_lib.vantrel_encoder_delay)

    @property
    def pending(self) -> int:
        return self._size_of(_lib.vantrel_encoder_pending)

    @property
    def bitpool(self) -> int:
        config = Config(struct_size=ctypes.sizeof(Config))
        check(_lib.vantrel_encoder_get_config(self._handle, byref(config)))
        return config.bitpool

    def encode(self, frames: np.ndarray) -> bytes:
        """Encodes a C-contiguous (instants, channels) array of int16, float32 or float64."""
        function = {np.dtype("=i2"): _lib.vantrel_encoder_encode,
                    np.dtype("=f4"): _lib.vantrel_encoder_encode_float,
                    np.dtype("=f8"): _lib.vantrel_encoder_encode_double}[frames.dtype]
        count = frames.size
        size = c_size_t()
        check(_lib.vantrel_encoder_output_size(self._handle, count, byref(size)))
        out = bytearray(size.value)
        written = c_size_t()
        target = ctypes.addressof(c_uint8.from_buffer(out)) if out else None
        check(function(self._handle, frames.ctypes.data if count else None, count, target,
                       len(out), byref(written)))
        return bytes(out[:written.value]) if written.value != len(out) else bytes(out)


_CONVERT = {np.dtype("=i2"): "vantrel_converter_convert",
            np.dtype("=f4"): "vantrel_converter_convert_float",
            np.dtype("=f8"): "vantrel_converter_convert_double"}


class Converter:
    """An open vantrel_converter: the program's mix and resampler, whole arrays at a time."""

    def __init__(self, from_rate: int, to_rate: int, channels: int, to_channels: int,
                 threads: int = 1) -> None:
        self._handle = c_void_p()
        config = ConvertConfig()
        check(_lib.vantrel_convert_config_default(byref(config), from_rate, to_rate, channels))
        config.to_channels, config.threads = to_channels, threads
        status = _lib.vantrel_converter_open(byref(config), byref(self._handle))
        if status < 0:
            raise VantrelError(f"{strerror(status)} (from {from_rate} Hz with {channels} "
                               f"channel(s) to {to_rate} Hz with {to_channels})", status)
        self.to_channels = to_channels

    def __del__(self, close: Any = _lib.vantrel_converter_close) -> None:
        handle = getattr(self, "_handle", None)
        if handle:
            close(handle)

    def length(self, instants: int) -> int:
        """Output instants, tail included, of `instants` input instants."""
        out = c_int64()
        check(_lib.vantrel_converter_length(self._handle, instants, byref(out)))
        return out.value

    def convert(self, frames: np.ndarray, finish: bool) -> np.ndarray:
        """Converts a C-contiguous (instants, channels) array of int16, float32 or float64 into
        an array of the same dtype; with `finish`, the resampler's tail too (and no more input
        may follow)."""
        function = getattr(_lib, _CONVERT[frames.dtype])
        step = frames.dtype.itemsize
        expected = self.length(len(frames)) if finish else len(frames) * 2 + 4096
        out = np.empty((max(expected, 1), self.to_channels), frames.dtype)
        done, at, left = 0, frames.ctypes.data, frames.size
        used, written = c_size_t(), c_size_t()

        def pump(address: Optional[int], count: int) -> None:
            nonlocal done, out
            while True:
                if done == out.size:  # more than foreseen: room for it
                    out = np.concatenate([out, np.empty_like(out)])
                check(function(self._handle, address, count, byref(used),
                               out.ctypes.data + done * step, out.size - done, byref(written)))
                done += written.value
                count -= used.value
                address = address + used.value * step if count else None
                if count == 0 and written.value == 0:
                    return

        pump(at if left else None, left)
        if finish:
            check(_lib.vantrel_converter_finish(self._handle))
            pump(None, 0)
        return out.reshape(-1)[:done].reshape(-1, self.to_channels)


def _refusal(status: int, config: Config, from_rate: bool) -> str:
    """The library's text, with the values it refused and, for a bit rate, the ones that work."""
    text = strerror(status)
    mode = MODE_NAMES.get(config.channel_mode, "the default mode")
    shape = (f"{config.sampling_frequency} Hz, {config.channels} channel(s), {mode}, "
             f"{config.subbands} subbands, {config.blocks} blocks")
    if status not in (ERROR_BAD_BITPOOL, ERROR_BAD_BIT_RATE):
        return f"{text} ({shape})"
    if not from_rate:
        return f"{text}: bitpool {config.bitpool} ({shape})"
    lowest, highest = c_int32(), c_int32()
    works = _lib.vantrel_config_bit_rate_range(byref(config), byref(lowest), byref(highest))
    hint = (f"; bit rates from {lowest.value} to {highest.value} bps give a valid bitpool"
            if works >= 0 else "")
    return f"{text}: a bit rate of {config.bit_rate} bps ({shape}){hint}"


class Decoder:
    """An open vantrel_decoder following one stream."""

    SCRATCH = 1 << 16  # sample values per call into the library

    def __init__(self, silence: bool = False) -> None:
        self._handle = c_void_p()
        config = DecoderConfig(struct_size=ctypes.sizeof(DecoderConfig),
                               flags=DECODER_SILENCE if silence else 0)
        self._silence = silence
        check(_lib.vantrel_decoder_open(byref(config), byref(self._handle)))
        self._scratch = np.empty(self.SCRATCH, np.int16)
        self._finished = False

    def __del__(self, close: Any = _lib.vantrel_decoder_close) -> None:  # bound now: safe at exit
        handle = getattr(self, "_handle", None)
        if handle:
            close(handle)

    def info(self) -> StreamInfo:
        info = StreamInfo(struct_size=ctypes.sizeof(StreamInfo))
        check(_lib.vantrel_decoder_get_info(self._handle, byref(info)))
        return info

    @property
    def rate(self) -> Optional[int]:
        return self.info().sampling_frequency or None

    @property
    def channels(self) -> Optional[int]:
        return self.info().channels or None

    def decode(self, data: Any) -> np.ndarray:
        return self._run(_pointer(data), memoryview(data).nbytes)

    def finish(self) -> np.ndarray:
        if not self._finished:
            check(_lib.vantrel_decoder_finish(self._handle))
            self._finished = True
        return self._run(None, 0)

    def conceal(self, frames: int) -> np.ndarray:
        """`frames` lost frames, each of the last frame's shape, concealed."""
        pieces = []
        frame = np.empty(MAX_FRAME_VALUES, np.int16)
        written = c_size_t()
        for _ in range(frames):
            status = _lib.vantrel_decoder_conceal(self._handle, frame.ctypes.data,
                                                  MAX_FRAME_VALUES, byref(written))
            if status == ERROR_NEED_MORE:
                raise VantrelError("no frame decoded yet: a lost frame has no shape", status)
            check(status)
            pieces.append(frame[:written.value].copy())
        channels = self.info().channels or 1
        samples = np.concatenate(pieces) if pieces else np.empty(0, np.int16)
        return samples.reshape(-1, channels)

    def decode_frames(self, stream: bytes, offset: int, stride: int, count: int,
                      lost: Optional[np.ndarray], out: np.ndarray) -> None:
        """Frame by frame, in one call: the `count` frames at stream[offset + i * stride:],
        those with lost[i] concealed, into `out` (C-contiguous int16, filled from its start)."""
        done, written = c_size_t(), c_size_t()
        mask = None if lost is None else np.ascontiguousarray(lost, np.uint8)
        check(_lib.vantrel_decoder_decode_frames(
            self._handle, _pointer(stream) + offset, len(stream) - offset, stride,
            None if mask is None else mask.ctypes.data, count, out.ctypes.data, out.size,
            byref(done), byref(written)), f"frame {done.value}")

    def _run(self, address: Optional[int], size: int) -> np.ndarray:
        """Feeds the `size` bytes at `address` and collects the samples they complete."""
        pieces = []
        used, written = c_size_t(), c_size_t()
        scratch = self._scratch.ctypes.data
        status = 0
        while True:
            status = _lib.vantrel_decoder_decode(self._handle, address, size, scratch,
                                                 self.SCRATCH, byref(used), byref(written))
            if status < 0:
                break
            if written.value:
                pieces.append(self._scratch[:written.value].copy())
            elif used.value == 0 and size:  # takes and gives nothing: stopped (never spin)
                status = ERROR_STREAM_CHANGED if self.info().changed else status
                break
            size -= used.value
            address = address + used.value if size and address is not None else None
            if size == 0 and written.value == 0:
                break
        channels = self.info().channels
        samples = (np.concatenate(pieces) if pieces else np.empty(0, np.int16))
        samples = samples.reshape(-1, channels) if channels else samples.reshape(0, 1)
        if status < 0 and status != ERROR_NO_FRAMES:
            raise VantrelError(self._change_text(status), status, samples)
        if status == ERROR_NO_FRAMES:
            raise VantrelError(strerror(status), status)
        return samples

    def _change_text(self, status: int) -> str:
        info = self.info()
        if status != ERROR_STREAM_CHANGED:
            return strerror(status)
        return (f"{strerror(status)}: from {info.sampling_frequency} Hz with {info.channels} "
                f"channel(s) to {info.change_frequency} Hz with {info.change_channels} at byte "
                f"{info.change_offset}; the samples before it are in the error's .samples")

    def damage_summary(self) -> str:
        """The program's line about damage, or "" for a clean stream."""
        i = self.info()
        if i.damaged == 0 and i.lost == 0 and i.skipped_bytes == 0:
            return ""
        filled = "replaced by silence" if self._silence else "concealed"
        return (f"{i.frames} frames decoded; {i.damaged} damaged and {i.lost} lost {filled}; "
                f"{i.skipped_bytes} bytes skipped")


def stream_report(data: Any) -> Dict[str, Any]:
    report = StreamReport(struct_size=ctypes.sizeof(StreamReport))
    check(_lib.vantrel_scan(_pointer(data), memoryview(data).nbytes, byref(report)))

    def seen(count: int, values: Any, names: Optional[Dict[int, str]] = None) -> tuple:
        return tuple(names.get(v, str(v)) if names else v for v in values[:count])

    return {
        "kind": KIND_NAMES.get(report.kind, "none"),
        "frames": report.frames,
        "duration": report.seconds,
        "sampling_frequency": seen(report.frequency_count, report.frequencies),
        "channel_mode": seen(report.channel_mode_count, report.channel_modes, MODE_NAMES),
        "subbands": seen(report.subband_count, report.subbands),
        "blocks": seen(report.block_count, report.blocks),
        "allocation": seen(report.allocation_count, report.allocations, ALLOCATION_NAMES),
        "bitpool": {b: n for b, n in enumerate(report.bitpool_frames) if n > 0},
        "bit_rate": report.bit_rate,
        "damaged_frames": report.damaged,
        "lost_frames": report.lost,
        "skipped_bytes": report.skipped_bytes,
    }
