# Captures of Bluetooth links (btsnoop, pcap, pcapng): their audio streams and one stream's
# samples, through the C library's vantrel_capture_* functions.
#
#   bytes ─► vantrel_capture_open ─► vantrel_capture_get_stream × n ─► list of dicts
#   bytes ─► vantrel_capture_decode (a buffer of the stream's `values`) ─► int16 (n, channels)
import ctypes
import warnings
from ctypes import POINTER, byref, c_double, c_int, c_int32, c_int64, c_size_t, c_uint32
from ctypes import c_void_p
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from . import _capi
from ._capi import VantrelError


class _Stream(ctypes.Structure):
    _fields_ = [("struct_size", c_uint32), ("index", c_int32), ("kind", c_int32),
                ("received", c_int32), ("adapter", c_int32), ("handle", c_int32),
                ("channel", c_int32), ("configured", c_int32),
                ("config_frequencies", c_int32), ("config_channel_modes", c_int32),
                ("config_blocks", c_int32), ("config_subbands", c_int32),
                ("config_allocations", c_int32), ("config_min_bitpool", c_int32),
                ("config_max_bitpool", c_int32), ("sampling_frequency", c_int32),
                ("channels", c_int32), ("start_us", c_int64), ("packets", c_int64),
                ("frames", c_int64), ("damaged", c_int64), ("lost", c_int64),
                ("truncated", c_int64), ("seconds", c_double), ("values", c_int64)]


_lib = _capi._lib
for _name, (_restype, _argtypes) in {
    "vantrel_capture_open": (c_int, [c_void_p, c_size_t, POINTER(c_void_p)]),
    "vantrel_capture_close": (c_int, [c_void_p]),
    "vantrel_capture_get_stream": (c_int, [c_void_p, c_size_t, POINTER(_Stream)]),
    "vantrel_capture_decode": (c_int, [c_void_p, c_size_t, c_size_t, c_void_p, c_size_t,
                                       POINTER(c_size_t)]),
}.items():
    _function = getattr(_lib, _name)
    _function.restype, _function.argtypes = _restype, _argtypes

_ERROR_NO_STREAM = -23
# The bits of an AVDTP SBC element, highest first, and what each stands for.
_CONFIG_VALUES = {
    "sampling_frequency": ("config_frequencies", (16000, 32000, 44100, 48000)),
    "channel_mode": ("config_channel_modes", ("MONO", "DUAL_CHANNEL", "STEREO", "JOINT_STEREO")),
    "blocks": ("config_blocks", (4, 8, 12, 16)),
    "subbands": ("config_subbands", (None, None, 4, 8)),
    "allocation": ("config_allocations", (None, None, "SNR", "LOUDNESS")),
}


def _bytes_of(data: Any) -> Tuple[Any, int]:
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"the capture must be bytes, bytearray or memoryview, "
                        f"not {type(data).__name__}")
    return _capi._pointer(data), memoryview(data).nbytes


def _configuration(s: _Stream) -> Optional[Dict[str, Any]]:
    if not s.configured:
        return None
    out: Dict[str, Any] = {}
    for key, (field, meanings) in _CONFIG_VALUES.items():
        bits = getattr(s, field)
        out[key] = tuple(m for i, m in enumerate(meanings) if bits & (8 >> i) and m is not None)
    out["bitpool"] = (s.config_min_bitpool, s.config_max_bitpool)
    return out


def _describe(s: _Stream) -> Dict[str, Any]:
    return {
        "index": s.index,
        "kind": "mSBC" if s.kind == 2 else "A2DP SBC",
        "direction": "received" if s.received else "sent",
        "adapter": s.adapter,
        "handle": s.handle,
        "channel": s.channel,
        "configuration": _configuration(s),
        "sampling_frequency": s.sampling_frequency,
        "channels": s.channels,
        "frames": s.frames,
        "duration": s.seconds,
        "start": s.start_us / 1e6,
        "packets": s.packets,
        "lost_frames": s.lost,
        "damaged_frames": s.damaged,
        "truncated_packets": s.truncated,
    }


def _streams(address: Any, size: int) -> List[_Stream]:
    handle = c_void_p()
    _capi.check(_lib.vantrel_capture_open(address, size, byref(handle)))
    try:
        streams = []
        while True:
            s = _Stream(struct_size=ctypes.sizeof(_Stream))
            status = _lib.vantrel_capture_get_stream(handle, len(streams), byref(s))
            if status == _ERROR_NO_STREAM:
                return streams
            _capi.check(status)
            streams.append(s)
    finally:
        _lib.vantrel_capture_close(handle)


def capture_streams(data: Any) -> List[Dict[str, Any]]:
    """The audio streams of a capture of a Bluetooth link, as vantrel-info lists them.

    `data` holds a btsnoop (Android's btsnoop_hci.log, btmon -w), pcap or pcapng capture. Each
    stream is a dict: index, kind ("A2DP SBC" or "mSBC"), direction ("sent" or "received"),
    adapter, handle, channel (the L2CAP channel of A2DP media; 0 for SCO), configuration (from
    the AVDTP signalling: tuples of the configured sampling_frequency, channel_mode, blocks,
    subbands, allocation, and the bitpool range; None when the capture does not hold it),
    sampling_frequency and channels (of its first frame), frames, duration (seconds, lost and
    damaged frames included), start (seconds from the capture's first record), packets,
    lost_frames, damaged_frames, truncated_packets. VantrelError when the bytes are no capture."""
    return [_describe(s) for s in _streams(*_bytes_of(data))]


def decode_capture(data: Any, stream: int = 0) -> Tuple[np.ndarray, int]:
    """The samples of one stream of a capture and its sampling frequency: (int16 (n, channels),
    rate), as vantrel-decode -s `stream` gives them: lost and damaged frames filled in by the
    decoder's concealment (and counted in a StreamDamageWarning), so the stream keeps its
    length. VantrelError when there is no such stream or it has no frame."""
    from . import StreamDamageWarning  # the package's own warning class

    if isinstance(stream, bool) or not isinstance(stream, (int, np.integer)) or stream < 0:
        raise ValueError(f"stream must be a stream number (0, 1, ...), not {stream!r}")
    address, size = _bytes_of(data)
    streams = _streams(address, size)
    if stream >= len(streams) or streams[stream].frames == 0:
        raise VantrelError(_capi.strerror(_ERROR_NO_STREAM) +
                           f" (stream {stream}; the capture has {len(streams)})", _ERROR_NO_STREAM)
    s = streams[stream]
    samples = np.empty(max(int(s.values), 1), np.int16)
    written = c_size_t()
    _capi.check(_lib.vantrel_capture_decode(address, size, stream, samples.ctypes.data,
                                            samples.size, byref(written)))
    if s.lost or s.damaged:
        warnings.warn(StreamDamageWarning(
            f"stream {stream}: {s.frames} frames decoded; {s.damaged} damaged and {s.lost} "
            "lost filled in by concealment"), stacklevel=2)
    return samples[:written.value].reshape(-1, s.channels), int(s.sampling_frequency)
