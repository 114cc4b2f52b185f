# Samples on their way in and out: what the caller gives, taken apart into signals that the C
# library reads where they lie, and room for the results in the caller's own layout.
#
#   one signal   (n,)  (n, channels)  (channels, n) with channels_first    ─► [ (n, channels) ]
#   a batch      (batch, n) of mono signals
#                (batch, n, channels), (batch, channels, n) with channels_first
#                a list of signals of any lengths                           ─► [ (n, channels), ... ]
#
#   int16 (either byte order), float32, float64 ─► read where they lie when native and
#   C-contiguous; else one copy (np.ascontiguousarray; other floats as float64)
#
# The library converts float samples itself, as the program converts float files (× 32768,
# truncated toward zero, limited to −32768..32767, NaN as 0), so floats are never copied to
# int16 here. A batch is copied at most once on the way in (an item at a time, where its layout
# asks for it) and written once into the result, whose views `views` hands to the workers.
from typing import Any, List, NamedTuple, Sequence

import numpy as np


class Layout(NamedTuple):
    """How the caller laid its samples out, so that the results take the same form."""
    kind: str              # "single", "rows" (batch, n), "stack" (batch, ., .), "list"
    channels_first: bool   # each signal (channels, n)
    shape: tuple           # of the array given (for a list: each item's number of dimensions)
    dtype: np.dtype        # of the array given (of the first item, for a list)

    @property
    def batch(self) -> bool:
        return self.kind != "single"


def _check_dtype(samples: np.ndarray) -> None:
    kind, size = samples.dtype.kind, samples.dtype.itemsize
    if kind == "f" or (kind == "i" and size == 2):
        return
    if kind in "iu" and size >= 4:
        raise TypeError(f"samples must be int16, or float in [-1, 1], not {samples.dtype}: for "
                        "32-bit PCM give (x >> 16).astype(np.int16) (its top 16 bits) or floats "
                        "(x / 2**31); x.astype(np.int16) would wrap it into noise")
    raise TypeError(f"samples must be int16, or float in [-1, 1], not {samples.dtype}")


def as_array(samples: Any) -> np.ndarray:
    """An ndarray of the samples: arrays as they are, anything else through numpy.asarray
    (lists, CPU tensors and other objects with __array__). A list of Python integers is
    16-bit PCM."""
    if isinstance(samples, np.ndarray):
        return samples
    if samples is None or isinstance(samples, (str, bytes, bytearray, memoryview)):
        raise TypeError("samples must be a numpy array (or a list or tensor of numbers) of "
                        f"int16 or float, not {type(samples).__name__}")
    try:
        array = np.asarray(samples)
    except (ValueError, TypeError) as error:
        raise TypeError(f"samples cannot be read as an array: {error}") from None
    if array.dtype.kind in "iu" and isinstance(samples, (list, tuple)):
        if array.size and (array.min() < -32768 or array.max() > 32767):
            raise ValueError("integer samples must lie in -32768..32767 (16-bit PCM)")
        array = array.astype(np.int16)
    return array


def frames_of(samples: np.ndarray, channels_first: bool = False) -> np.ndarray:
    """A 2-D view (instants, channels) of one signal, after checking type and shape."""
    _check_dtype(samples)
    if samples.ndim == 1:
        return samples.reshape(-1, 1)
    if samples.ndim != 2:
        raise ValueError("a signal must have the shape (n,) or (n, channels) (with "
                         f"channels_first, (channels, n)), not {samples.shape}")
    frames = samples.T if channels_first else samples
    if frames.shape[1] not in (1, 2):
        axis = "rows" if channels_first else "columns"
        raise ValueError(f"samples must have 1 or 2 channels ({axis}), not {frames.shape[1]} "
                         f"(shape {samples.shape})")
    return frames


def _is_signal_list(samples: Any) -> bool:
    return isinstance(samples, (list, tuple)) and len(samples) > 0 and all(
        isinstance(item, np.ndarray) or hasattr(item, "__array__") for item in samples)


def split(samples: Any, channels_first: bool = False) -> "tuple[List[np.ndarray], Layout]":
    """The signals in `samples`, each a 2-D (instants, channels) view, and their layout.

    A 2-D array is one signal when it has 1 or 2 channels ((n, 1 or 2), or with channels_first
    (1 or 2, n)), else a batch of mono signals (batch, n); a 3-D array is a batch of signals
    (n, channels), or with channels_first (channels, n); a list or tuple of arrays (or tensors)
    is a batch of signals of any lengths."""
    if _is_signal_list(samples):
        arrays = [as_array(item) for item in samples]
        items = [frames_of(array, channels_first) for array in arrays]
        return items, Layout("list", channels_first, tuple(a.ndim for a in arrays),
                             items[0].dtype)
    array = as_array(samples)
    _check_dtype(array)
    layout = Layout("single", channels_first, array.shape, array.dtype)
    if array.ndim == 2 and array.shape[0 if channels_first else 1] not in (1, 2):
        return [row.reshape(-1, 1) for row in array], layout._replace(kind="rows")
    if array.ndim == 3:
        return [frames_of(item, channels_first) for item in array], layout._replace(kind="stack")
    return [frames_of(array, channels_first)], layout


def views(out: Any, layout: Layout) -> List[np.ndarray]:
    """The items of a result laid out as `layout` (from `allocate`), as writable 2-D views."""
    if layout.kind == "list":
        return [frames_of(item, layout.channels_first) for item in out]
    if layout.kind == "rows":
        return [row.reshape(-1, 1) for row in out]
    if layout.kind == "stack":
        return [item.T if layout.channels_first else item for item in out]
    return [out.reshape(-1, 1) if out.ndim == 1 else out.T if layout.channels_first else out]


def allocate(layout: Layout, items: Sequence[np.ndarray], lengths: Sequence[int]) -> Any:
    """Room for results of `lengths` instants per item in the caller's layout and in the dtype
    results take (`result_dtype`): one array for an array, a list of arrays for a list."""
    dtype = result_dtype(layout.dtype)
    if layout.kind == "list":
        return [np.empty((n,) if ndim == 1 else (item.shape[1], n) if layout.channels_first
                         else (n, item.shape[1]), dtype)
                for item, n, ndim in zip(items, lengths, layout.shape)]
    shape = list(layout.shape)
    if shape:
        time_axis = {"single": 1 if layout.channels_first and len(shape) == 2 else 0,
                     "rows": 1, "stack": 2 if layout.channels_first else 1}[layout.kind]
        shape[time_axis] = lengths[0] if lengths else 0
    return np.empty(shape, dtype)


def in_place(frames: np.ndarray) -> np.ndarray:
    """The frames as the library takes them: the array itself, or its one copy."""
    if frames.dtype.kind == "i":
        return np.ascontiguousarray(frames, dtype="=i2")
    return np.ascontiguousarray(frames, dtype="=f4" if frames.dtype == np.float32 else "=f8")


def result_dtype(dtype: np.dtype) -> np.dtype:
    """The dtype of results for samples of `dtype`: the same, in the machine's byte order."""
    return np.dtype(np.int16) if dtype.kind == "i" else dtype.newbyteorder("=")
