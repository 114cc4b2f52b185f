# Samples on their way in: numpy arrays checked, then handed to the C library where they lie.
#
#   int16, float32 or float64, native byte order, C-contiguous ─► a pointer into the array
#   anything else (strided, byte-swapped, float16, longdouble)  ─► one copy, np.ascontiguousarray
#                                                                 (other floats as float64)
#
# The library converts float samples itself, as the program converts float files (× 32768,
# truncated toward zero, limited to −32768..32767, NaN as 0), so floats are never copied to
# int16 here: the samples are copied at most once, and only when their layout asks for it.
import numpy as np


def frames_of(samples: object) -> np.ndarray:
    """A 2-D view (instants, channels) of a 1-D or 2-D array, after checking type and shape."""
    if not isinstance(samples, np.ndarray):
        raise TypeError("samples must be a numpy array of int16 or float, "
                        f"not {type(samples).__name__}")
    if samples.dtype != np.int16 and not np.issubdtype(samples.dtype, np.floating):
        raise TypeError("samples must be int16, or float in [-1, 1]; "
                        f"convert {samples.dtype} first (for example x.astype(np.int16))")
    if samples.ndim == 1:
        return samples.reshape(-1, 1)
    if samples.ndim != 2:
        raise ValueError(f"samples must have the shape (n,) or (n, channels), not {samples.shape}")
    if samples.shape[1] not in (1, 2):
        raise ValueError(f"samples must have 1 or 2 channels (columns), not {samples.shape[1]} "
                         f"(shape {samples.shape})")
    return samples


def in_place(frames: np.ndarray) -> np.ndarray:
    """The frames as the library takes them: the array itself, or its one copy."""
    if frames.dtype == np.int16:
        return np.ascontiguousarray(frames, dtype="=i2")
    return np.ascontiguousarray(frames, dtype="=f4" if frames.dtype == np.float32 else "=f8")
