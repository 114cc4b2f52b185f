"""The SBC codec of Bluetooth A2DP and of hands-free wideband speech (mSBC), on numpy arrays.

The bytes are those of the ``vantrel`` program, the samples those of ``vantrel-decode`` and the
report that of ``vantrel-info``: the module calls the same codec, in libvantrel, through ctypes.

    samples --encode/Encoder--> bytes of SBC frames --decode/Decoder--> (int16 (n, channels), rate)
                                                     --info--> dict of the stream's parameters
    samples --round_trip--> what a link carrying them delivers, aligned to them; with loss=,
                            a link that loses frames (concealed, or silence) and their mask
    samples --resample--> the same at another rate (the resampler of vantrel -F)
    LossModel: which frames a link loses (Gilbert-Elliott)

Samples are int16 (either byte order) or float with full scale ±1.0 (converted as the program
converts float files: × 32768, truncated toward zero, limited to the 16-bit range, NaN as 0),
numpy arrays or anything numpy.asarray takes (lists, CPU tensors). One signal is (n,) or
(n, channels) with one or two channels, or (channels, n) with channels_first=True. Only whole
frames are encoded: samples left over after the last whole frame are dropped, as by the
program (pad_end=True, or Encoder.flush(), pads them with silence instead).

Batches: encode, decode, round_trip and resample also take several signals at once, run on
`workers` threads (None: one per core), each giving exactly what a single call gives:
    (batch, n)                    mono signals (a 2-D array with more than 2 columns)
    (batch, n, channels)          or, with channels_first=True, (batch, channels, n)
    a list of signals             of any lengths; the result is a list
round_trip and resample return arrays of the batch's layout and dtype; encode returns a list of
bytes and decode, given a list of streams, a list of (samples, rate).

Rates: the encoder takes 16000, 32000, 44100 and 48000 Hz; resample= converts other rates (or
these) first, with the program's resampler (vantrel -F), and msbc=True takes any rate and
stereo, converting to 16000 Hz mono as vantrel -m does.

Channel modes are named "mono", "dual", "stereo" and "joint", or by the program's names MONO,
DUAL_CHANNEL, STEREO and JOINT_STEREO, in any case. None (the default) is MONO for one channel
and DUAL_CHANNEL for two, and one channel is always coded MONO, as by the program. Allocation
is "snr" (the default) or "loudness" (the program's -p). Without a bitrate, the program's
default of 375000 bit/s is used, or the highest bitpool a frame allows where it cannot carry
that rate (16000 Hz mono), as the program without -r.

Errors: TypeError and ValueError for arrays and options Python can judge; VantrelError (a
ValueError), with the C library's text, for what the codec refuses (a sampling frequency, a
bitpool out of range) and for a stream with no frame at all. Damage in a stream that still has
frames is a StreamDamageWarning. A refused call leaves an Encoder or Decoder as it was.

Threads: an Encoder or Decoder is used by one thread at a time; distinct ones may work on
distinct threads at once, and the codec runs without holding the interpreter's lock.
"""

import os as _os
import warnings as _warnings
from concurrent.futures import ThreadPoolExecutor as _Pool
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import numpy as _np

from . import _capi
from ._capi import VantrelError
from ._loss import LossModel
from ._samples import allocate as _allocate, as_array as _as_array, in_place as _in_place
from ._samples import split as _split, views as _views

__version__ = "1.5"

__all__ = ["encode", "decode", "info", "round_trip", "resample", "Encoder", "Decoder",
           "LossModel", "VantrelError", "StreamDamageWarning", "capture_streams",
           "decode_capture", "version", "__version__"]

BytesLike = Union[bytes, bytearray, memoryview]

_MODES = {"mono": 0, "dual": 1, "dual_channel": 1, "stereo": 2, "joint": 3, "joint_stereo": 3}
_ALLOCATIONS = {"loudness": 0, "snr": 1}
_SBC_RATES = (16000, 32000, 44100, 48000)
_MSBC_RATE = 16000
_H2_HEADER = 2  # bytes of an H2 unit before its mSBC frame


def __dir__() -> List[str]:
    return sorted(__all__)


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
    if isinstance(value, bool) or not isinstance(value, (int, _np.integer)):
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}")
    if not -2**31 <= int(value) < 2**31:
        raise ValueError(f"{what} {value} is out of range")
    return int(value)


def _cores() -> int:
    try:
        return max(1, len(_os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return _os.cpu_count() or 1


def _map(work: Callable[[Any], Any], items: Sequence[Any], workers: Optional[int]) -> List[Any]:
    """work(item) for every item, on `workers` threads (None: one per core), in order."""
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or
                                workers < 1):
        raise ValueError(f"workers must be a positive integer or None, not {workers!r}")
    count = min(len(items), _cores() if workers is None else workers)
    if count <= 1:
        return [work(item) for item in items]
    with _Pool(max_workers=count) as pool:
        return list(pool.map(work, items))


def _threads_per_item(items: Sequence[Any], workers: Optional[int]) -> int:
    """Threads a converter may take for a stereo item: 2 unless the items share the cores."""
    alone = len(items) == 1 or workers == 1
    return 2 if alone and (workers is None or workers >= 2) and _cores() >= 2 else 1


class Encoder:
    """An encoder for one stream, fed samples in chunks of any size.

    Encoder(rate, channels, *, mode=None, subbands=8, blocks=16, allocation="snr",
            bitrate=None, bitpool=None, msbc=False, h2=False, resample=None)

    rate: the samples' rate in Hz; 16000, 32000, 44100 or 48000 unless they are converted.
    channels: 1 or 2. bitrate: bit/s the bitpool is derived from as the program derives it
    (refused when a frame cannot carry it); None: the program's default without -r. bitpool:
    a number sets it directly. resample: the rate to encode at, the samples resampled there
    first as by vantrel -F. msbc: mSBC frames (16000 Hz mono; every other parameter fixed, so
    leave them at their defaults), from samples at any rate, mono or stereo, converted as by
    vantrel -m; h2: with msbc, each frame in its 60-byte H2 unit. Raises VantrelError for what
    the codec refuses and ValueError for names and combinations it cannot take.

    The bytes of all encode() calls together equal encode() of all the samples at once (with
    resampling: followed by flush(pad=False), which lets out the resampler's tail)."""

    def __init__(self, rate: int, channels: int, *, mode: Optional[str] = None,
                 subbands: int = 8, blocks: int = 16, allocation: str = "snr",
                 bitrate: Optional[int] = None, bitpool: Optional[int] = None,
                 msbc: bool = False, h2: bool = False, resample: Optional[int] = None,
                 _threads: int = 2) -> None:
        rate, subbands, blocks = (_int32(rate, "rate"), _int32(subbands, "subbands"),
                                  _int32(blocks, "blocks"))
        bitrate = _capi.BIT_RATE_DEFAULT if bitrate is None else _int32(bitrate, "bitrate")
        bitpool = None if bitpool is None else _int32(bitpool, "bitpool")
        resample = None if resample is None else _int32(resample, "resample")
        if channels not in (1, 2):
            raise ValueError(f"channels must be 1 or 2, not {channels!r}")
        mode_code = None if mode is None else _code(mode, _MODES, "mode")
        allocation_code = _code(allocation, _ALLOCATIONS, "allocation")
        if h2 and not msbc:
            raise ValueError("h2 needs msbc=True: H2 units carry mSBC frames")
        if msbc:
            fixed = {"subbands": subbands != 8, "blocks": blocks != 16,
                     "allocation": allocation_code != 1,
                     "bitrate": bitrate != _capi.BIT_RATE_DEFAULT, "bitpool": bitpool is not None,
                     "mode": mode_code not in (None, 0),
                     "resample": resample not in (None, _MSBC_RATE)}
            named = [name for name, changed in fixed.items() if changed]
            if named:
                raise ValueError("msbc fixes every parameter (16000 Hz mono); leave " +
                                 ", ".join(named) + " at the default")
            coded_rate, coded_channels = _MSBC_RATE, 1
        else:
            coded_rate, coded_channels = (rate if resample is None else resample), channels
            if coded_rate not in _SBC_RATES and resample is None:
                raise VantrelError(f"{_capi.strerror(-3)}: {rate} Hz; give resample=44100 or "
                                   "resample=48000 to resample it first (as vantrel -F)", -3)
        self._converter: Optional[_capi.Converter] = None
        self._conversion = None
        if (coded_rate, coded_channels) != (rate, channels):
            self._conversion = (rate, coded_rate, channels, coded_channels, _threads)
            self._converter = _capi.Converter(*self._conversion)
        if msbc:
            self._handle = _capi.Encoder.msbc(h2)
        else:
            mode_code = -1 if mode_code is None else mode_code  # -1: the program's default
            self._handle = _capi.Encoder(coded_rate, coded_channels, mode_code, subbands, blocks,
                                         allocation_code, bitrate, bitpool)
        self.rate = rate
        self.channels = channels
        self.coded_rate = coded_rate
        self.coded_channels = coded_channels

    @property
    def frame_length(self) -> int:
        """Bytes per frame (or H2 unit)."""
        return self._handle.frame_length

    @property
    def frame_samples(self) -> int:
        """Sample instants per frame, at the coded rate."""
        return self._handle.frame_samples

    @property
    def delay(self) -> int:
        """Instants (at the coded rate) by which encoding and decoding delay the signal (73 with
        8 subbands, 37 with 4): decoded instant i + delay stands for coded instant i."""
        return self._handle.delay

    @property
    def bitpool(self) -> int:
        """The bitpool the frames carry."""
        return self._handle.bitpool

    def _coded(self, samples: Any, channels_first: bool, finish: bool) -> _np.ndarray:
        """The samples as the encoder takes them: converted when the encoder converts."""
        items, layout = _split(samples, channels_first)
        if layout.batch:
            raise ValueError(f"an Encoder takes one signal at a time, not a batch of "
                             f"{len(items)}; use vantrel.encode for batches")
        frames = items[0]
        if frames.shape[1] != self.channels:
            raise ValueError(f"this encoder takes {self.channels} channel(s); the samples have "
                             f"{frames.shape[1]}")
        frames = _in_place(frames)
        if self._converter is None:
            return frames
        if frames.dtype == _np.float32:  # doubles until the encoder truncates, as the program
            frames = frames.astype(_np.float64)
        return self._converter.convert(frames, finish)

    def encode(self, samples: Any, *, channels_first: bool = False) -> bytes:
        """The frames completed by these samples. Samples short of a whole frame wait for the
        next call (or flush)."""
        return self._handle.encode(self._coded(samples, channels_first, False))

    def flush(self, *, pad: bool = True) -> bytes:
        """Ends what was given so far: the resampler's tail (when the encoder converts) and,
        with pad, the last partial frame padded with silence; their frames. The encoder goes
        on afterwards as a new stream of samples (the frames keep their numbering)."""
        out = b""
        if self._converter is not None:
            empty = _np.zeros((0, self.channels), _np.int16)
            out += self._handle.encode(self._converter.convert(empty, True))
            self._converter = _capi.Converter(*self._conversion)
        pending = self._handle.pending
        if pad and pending:
            silence = _np.zeros((self.frame_samples - pending, self.coded_channels), _np.int16)
            out += self._handle.encode(silence)
        return out


def _encode_item(frames: _np.ndarray, rate: int, options: Dict[str, Any], pad_end: bool,
                 threads: int) -> bytes:
    encoder = Encoder(rate, frames.shape[1], _threads=threads, **options)
    stream = encoder.encode(frames)
    return stream + encoder.flush(pad=pad_end) if encoder._converter or pad_end else stream


def encode(samples: Any, rate: int, *, mode: Optional[str] = None, subbands: int = 8,
           blocks: int = 16, allocation: str = "snr", bitrate: Optional[int] = None,
           bitpool: Optional[int] = None, msbc: bool = False, h2: bool = False,
           resample: Optional[int] = None, pad_end: bool = False,
           channels_first: bool = False, workers: Optional[int] = None
           ) -> Union[bytes, List[bytes]]:
    """SBC frames of the samples, back to back: the bytes `vantrel` writes for a file of them.

    encode(x, 44100) equals `vantrel file.wav`; mode="joint" is -j, mode="stereo" -s,
    blocks -l, subbands -n, allocation="loudness" -p, bitrate -r, msbc -m, h2 -H, resample -F.
    bitpool sets the bitpool directly instead of deriving it from bitrate. pad_end=True pads
    the last partial frame with silence instead of dropping it. A batch gives a list of bytes.
    See Encoder for the refusals."""
    options = dict(mode=mode, subbands=subbands, blocks=blocks, allocation=allocation,
                   bitrate=bitrate, bitpool=bitpool, msbc=msbc, h2=h2, resample=resample)
    items, layout = _split(samples, channels_first)
    threads = _threads_per_item(items, workers)
    if not layout.batch:
        return _encode_item(items[0], rate, options, pad_end, threads)
    Encoder(rate, items[0].shape[1], **options)  # refuses bad options once, before any work
    return _map(lambda frames: _encode_item(frames, rate, options, pad_end, threads), items,
                workers)


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
    (n, channels): (0, channels) when no frame is complete yet, and (0, 1) before the first
    frame, when the channels are not known yet (so the pieces always concatenate for mono).
    finish() ends the stream and returns the rest. Damaged frames and lost H2 units are
    concealed over their length (the waveform carried through the gap), or become silence with
    conceal="silence", as in vantrel-decode; finish() reports them as a StreamDamageWarning, and
    raises VantrelError when the stream held no frame. conceal(frames) fills frames the caller
    knows to be lost. When the stream changes its frequency or channel count, the call that
    finds it raises VantrelError, whose `samples` are that call's samples before the change.
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

    def decode(self, data: BytesLike) -> _np.ndarray:
        """Takes the next bytes of the stream; returns the samples of the frames they complete."""
        return self._handle.decode(_as_bytes(data))

    def conceal(self, frames: int = 1) -> _np.ndarray:
        """Samples for `frames` lost frames that the stream itself cannot show (a link's own
        sequence numbers or timestamps found the gap), each of the last frame's shape, placed
        after the samples returned so far: concealed (silence with conceal="silence").
        int16 of shape (n, channels); VantrelError before the first frame."""
        frames = _int32(frames, "frames")
        if frames < 0:
            raise ValueError(f"frames must be 0 or more, not {frames}")
        return self._handle.conceal(frames)

    def finish(self) -> _np.ndarray:
        """Ends the stream: the samples still held back, a warning for damage."""
        samples = self._handle.finish()
        summary = self._handle.damage_summary()
        if summary:
            _warnings.warn(StreamDamageWarning(summary), stacklevel=2)
        return samples


def _decode_one(data: BytesLike, conceal: str = "auto") -> Tuple[_np.ndarray, int, List[Any]]:
    """The samples of a whole stream, its rate, and the warnings to give."""
    decoder = Decoder(conceal=conceal)
    head = decoder.decode(data)
    with _warnings.catch_warnings(record=True) as caught:
        _warnings.simplefilter("always")
        try:
            tail = decoder.finish()
        except VantrelError as error:
            if error.samples is not None and head.size:
                error.samples = _np.concatenate([head, error.samples])
            raise
    samples = tail if head.size == 0 else head if tail.size == 0 else _np.concatenate([head, tail])
    return samples, int(decoder.rate or 0), [w.message for w in caught]


def decode(data: Union[BytesLike, Sequence[BytesLike]], conceal: str = "auto", *,
           channels_first: bool = False, workers: Optional[int] = None) -> Any:
    """The samples of a stream and its sampling frequency: (int16 (n, channels), rate), or
    with channels_first=True (channels, n). A list of streams gives a list of such pairs.

    As vantrel-decode: damage is concealed ("auto") or becomes silence ("silence"), with a
    StreamDamageWarning; a stream without a frame raises VantrelError, and so does a change of
    frequency or channel count, with the samples before it as the error's `samples`."""
    _concealment(conceal)  # refuses an unknown mode before any work
    batch = isinstance(data, (list, tuple))
    streams = [_as_bytes(d) for d in data] if batch else [_as_bytes(data)]
    results = _map(lambda stream: _decode_one(stream, conceal), streams, workers)
    out = []
    for samples, rate, caught in results:
        for message in caught:
            _warnings.warn(message, stacklevel=2)
        out.append((samples.T if channels_first else samples, rate))
    return out if batch else out[0]


def info(data: BytesLike) -> Dict[str, Any]:
    """What vantrel-info reports about a stream, as a dict:

    kind ("SBC", "mSBC", "H2-framed mSBC" or "none"), frames (good frames), duration (seconds,
    damaged and lost frames included), sampling_frequency, channel_mode, subbands, blocks,
    allocation (tuples of the values seen, in the order they first appear; channel modes and
    allocations by the program's names), bitpool ({bitpool: good frames}), bit_rate (bit/s of
    the good frames, H2 framing not counted), damaged_frames, lost_frames, skipped_bytes.
    A stream without frames is reported, not refused."""
    return _capi.stream_report(_as_bytes(data))


def _converted(frames: _np.ndarray, converter: Optional[_capi.Converter]) -> _np.ndarray:
    return frames if converter is None else converter.convert(_in_place(frames), True)


def _fit(frames: _np.ndarray, instants: int) -> _np.ndarray:
    """`frames` cut or padded with silence to `instants`."""
    if len(frames) >= instants:
        return frames[:instants]
    return _np.concatenate([frames, _np.zeros((instants - len(frames), frames.shape[1]),
                                              frames.dtype)])


def resample(samples: Any, from_rate: int, to_rate: int, *, channels_first: bool = False,
             workers: Optional[int] = None) -> Any:
    """The samples at another rate, with the resampler of vantrel -F (libsoxr, linear phase,
    very high quality, its delay taken out): n instants become round(n × to_rate / from_rate).

    int16 comes back int16, truncated toward zero and limited to the 16-bit range (the samples
    the encoder gets from -F); float comes back float of its dtype, full scale ±1.0, unlimited.
    Batches as in encode; the result has the input's layout."""
    from_rate, to_rate = _int32(from_rate, "from_rate"), _int32(to_rate, "to_rate")
    items, layout = _split(samples, channels_first)
    threads = _threads_per_item(items, workers)
    first = _capi.Converter(from_rate, to_rate, items[0].shape[1], items[0].shape[1])
    out = _allocate(layout, items, [first.length(len(frames)) for frames in items])
    targets = _views(out, layout)

    def work(index: int) -> None:
        frames = items[index]
        converter = _capi.Converter(from_rate, to_rate, frames.shape[1], frames.shape[1],
                                    threads)
        targets[index][...] = converter.convert(_in_place(frames), True)

    _map(work, range(len(items)), workers)
    return out


class _Link:
    """A simulated link, the same for every item of a batch: the samples converted to the rate
    and channels it codes (when they differ), encoded, decoded as the far end hears them (the
    frames it loses concealed or silent), the codec's delay removed and the result converted
    back."""

    def __init__(self, rate: int, options: Dict[str, Any], coded_rate: Optional[int],
                 pad_end: bool, threads: int, losses: Optional[Tuple[float, float]],
                 silence: bool) -> None:
        self.rate, self.options, self.pad_end, self.threads = rate, options, pad_end, threads
        self.losses, self.silence = losses, silence
        if options.get("msbc"):
            coded_rate = _MSBC_RATE
        elif coded_rate is None:
            coded_rate = rate if rate in _SBC_RATES else next(
                (r for r in _SBC_RATES if r >= rate), _SBC_RATES[-1])
        self.coded_rate = coded_rate

    def encoder(self, channels: int) -> Encoder:
        """The link's encoder for samples already at its rate and channels."""
        return Encoder(self.coded_rate, channels, **self.options)

    def hear(self, stream: bytes, encoder: _capi.Encoder, channels: int,
             lost: Optional[_np.ndarray]) -> _np.ndarray:
        """What the far end plays for `stream` (whole frames of encoder.frame_length bytes, frame
        i at stream[i * frame_length:]): its frames decoded in order in one call into the
        library, those with lost[i] concealed (or silent) instead, int16 (instants, channels).
        Frames lost before the first that arrives are silence: nothing came to conceal from."""
        stride, per_frame = encoder.frame_length, encoder.frame_samples
        count = len(stream) // stride
        heard = _np.zeros((count * per_frame, channels), _np.int16)
        first = 0 if lost is None else int(_np.argmin(lost)) if not lost.all() else count
        if first < count:
            decoder = _capi.Decoder(silence=self.silence)
            offset = first * stride + (_H2_HEADER if self.options.get("h2") else 0)
            decoder.decode_frames(stream, offset, stride, count - first,
                                  None if lost is None else lost[first:],
                                  heard[first * per_frame:])
        return heard

    def run(self, frames: _np.ndarray, target: _np.ndarray, seed: int,
            dropped: Optional[_np.ndarray]) -> None:
        """One signal (instants, channels) over the link, written into `target` (its shape);
        the link's losses drawn with `seed`, the instants they stand for set in `dropped`."""
        channels = frames.shape[1]
        coded_channels = 1 if self.options.get("msbc") else channels
        to_link = back = None
        if (self.coded_rate, coded_channels) != (self.rate, channels):
            to_link = _capi.Converter(self.rate, self.coded_rate, channels, coded_channels,
                                      self.threads)
            back = _capi.Converter(self.coded_rate, self.rate, coded_channels, coded_channels,
                                   self.threads)
        is_float = frames.dtype.kind == "f"
        sent = _in_place(frames)
        sent = _converted(sent.astype(_np.float64) if is_float else sent, to_link)
        encoder = self.encoder(coded_channels)._handle
        delay, per_frame = encoder.delay, encoder.frame_samples
        tail = -(-(len(sent) + delay) // per_frame) * per_frame - len(sent)
        stream = encoder.encode(sent)
        if self.pad_end:
            stream += encoder.encode(_np.zeros((tail, coded_channels), _np.int16))
        lost = None
        if self.losses is not None:
            lost = LossModel(*self.losses, seed=seed).mask(len(stream) // encoder.frame_length)
        heard = _fit(self.hear(stream, encoder, coded_channels, lost)[delay:], len(sent))
        if is_float:
            heard = heard / 32768.0
        heard = _fit(_converted(heard, back), len(frames))
        target[...] = heard if heard.shape[1] == target.shape[1] else _np.repeat(
            heard, target.shape[1], axis=1)
        if dropped is not None and lost is not None:
            _mark_dropped(dropped, lost, per_frame, delay, self.rate / self.coded_rate)


def _mark_dropped(dropped: _np.ndarray, lost: _np.ndarray, per_frame: int, delay: int,
                  scale: float) -> None:
    """Sets the instants of `dropped` that lost frames stand for: frame i gives the decoder's
    instants [i N, (i + 1) N), the link's instants [i N - delay, (i + 1) N - delay) once the
    delay is removed, and those times at the caller's rate (`scale` = its rate / the link's),
    widened to whole instants."""
    edges = _np.diff(lost.astype(_np.int8), prepend=0, append=0)
    starts = _np.flatnonzero(edges == 1) * per_frame - delay
    ends = _np.flatnonzero(edges == -1) * per_frame - delay
    starts = _np.clip(_np.floor(starts * scale), 0, len(dropped)).astype(_np.int64)
    ends = _np.clip(_np.ceil(ends * scale), 0, len(dropped)).astype(_np.int64)
    change = _np.zeros(len(dropped) + 1, _np.int32)
    _np.add.at(change, starts, 1)
    _np.add.at(change, ends, -1)
    dropped[...] = _np.cumsum(change[:-1]) > 0


def round_trip(samples: Any, rate: int, *, pad_end: bool = True, resample: Optional[int] = None,
               channels_first: bool = False, workers: Optional[int] = None, loss: float = 0.0,
               burst: float = 1.0, seed: Optional[int] = None, conceal: str = "auto",
               return_mask: bool = False, **options: Any) -> Any:
    """The samples as a link carrying them delivers them: encoded with `options` (those of
    encode), decoded, the codec's delay (73 instants with 8 subbands, 37 with 4) removed.

    The result has the input's layout, length and dtype: int16 for int16 input, float samples
    divided by 32768 for float input (a batch gives a batch, a list a list). pad_end=True (the
    default) pads the input with silence so that its last samples come back too; with False
    only what whole frames carry comes back, as from the program, and the rest is silence.

    Rates SBC lacks: the samples are resampled to the lowest SBC rate at or above theirs
    (48000 Hz above it), or to `resample`, coded there, and resampled back, with the resampler
    of vantrel -F; with msbc=True they go at 16000 Hz mono (a stereo input hears the mono link
    in both channels).

    A lossy link: loss > 0 loses frames (H2 units with h2=True) at the rate `loss` in runs of
    mean length `burst`, as drawn by vantrel.LossModel(loss, burst, seed) (a Gilbert-Elliott
    model: see its help) over the stream's frames in order. The far end conceals each lost
    frame, continuing the waveform through the gap as vantrel-decode does (conceal="auto"), or
    plays silence in its place (conceal="silence"); frames lost before the first that arrives
    are silence either way. loss=0 gives exactly the lossless result. The same seed gives the
    same result on every machine; seed=None draws one. Item k of a batch loses frames as a
    single call with seed=vantrel.LossModel.item_seed(seed, k) does, and gives its result.

    return_mask=True returns (result, dropped): `dropped` is True at the instants of the result
    that lost frames stand for (frame i of N instants: instants i N - delay to (i + 1) N - delay,
    at the caller's rate when resampled, widened to whole instants), bool of shape (n,) per
    item: (batch, n) for an array batch, a list for a list. Next to the mask the result may
    still differ from the lossless one: after a gap over the synthesis filter's reach (10
    blocks: 80 instants with 8 subbands, 5 ms in mSBC), and on both sides over the
    resampler's reach (a few milliseconds) when the link resamples."""
    _concealment(conceal)  # refuses an unknown mode before any work
    model = LossModel(loss, burst, seed)  # refuses a bad model at once; draws a seed for None
    losses = (model.loss, model.burst) if model.loss > 0 else None
    items, layout = _split(samples, channels_first)
    link = _Link(_int32(rate, "rate"), options, resample, pad_end,
                 _threads_per_item(items, workers), losses, conceal == "silence")
    link.encoder(1 if options.get("msbc") else items[0].shape[1])  # refuses bad options at once
    out = _allocate(layout, items, [len(frames) for frames in items])
    targets = _views(out, layout)
    seeds = ([LossModel.item_seed(model.seed, index) for index in range(len(items))]
             if layout.batch else [model.seed])
    masks: Any = None
    if return_mask:
        masks = ([_np.zeros(len(frames), bool) for frames in items] if layout.kind == "list"
                 else _np.zeros((len(items), len(items[0])) if layout.batch else len(items[0]),
                                bool))
    marks = None if masks is None else masks if layout.batch else [masks]
    _map(lambda index: link.run(items[index], targets[index], seeds[index],
                                None if marks is None else marks[index]),
         range(len(items)), workers)
    return (out, masks) if return_mask else out


from ._capture import capture_streams, decode_capture  # noqa: E402  (uses StreamDamageWarning)
