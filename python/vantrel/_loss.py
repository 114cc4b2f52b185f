# Lost frames on a simulated link: a Gilbert-Elliott channel with a good and a bad state.
#
#            p                      good: the frame arrives
#    good ───────► bad              bad:  the frame is lost
#     ▲  ◄───────  │
#     └─ 1-p   r   └─ 1-r           one step per frame, one uniform draw u per step:
#                                   good → bad when u < p, bad → good when u < r
#
# Losses come in runs whose lengths are geometric with mean 1 / r, and the long-run share of
# lost frames is p / (p + r); so for a loss rate L and a mean run length B:
#     r = 1 / B,    p = L / (B (1 - L))         (p ≤ 1 needs B ≥ L / (1 - L))
# B = 1 gives isolated losses (every run one frame long).
#
# The draws come from a counter-based generator of its own (SplitMix64 of seed + step), compared
# with integer thresholds: the same seed gives the same mask on every machine, numpy version and
# platform, whether asked for at once or piece by piece. The item k of a batch run with seed s
# gets the seed SplitMix64(s xor tag, k) (item_seed), so its losses are its own and the same
# in a batch as alone.
import os
from typing import Iterator, Optional

import numpy as np

_GOLDEN = np.uint64(0x9E3779B97F4A7C15)
_MIX1 = np.uint64(0xBF58476D1CE4E5B9)
_MIX2 = np.uint64(0x94D049BB133111EB)
_U64 = 1 << 64
_BATCH_TAG = 0x62617463685F6964  # sets the seeds of a batch's items apart from the batch's own


def _draws(seed: int, start: int, count: int) -> np.ndarray:
    """SplitMix64 outputs number start .. start + count - 1 of `seed`, as uint64."""
    with np.errstate(over="ignore"):
        steps = np.arange(start + 1, start + count + 1, dtype=np.uint64)
        z = np.uint64(seed) + steps * _GOLDEN
        z = (z ^ (z >> np.uint64(30))) * _MIX1
        z = (z ^ (z >> np.uint64(27))) * _MIX2
        return z ^ (z >> np.uint64(31))


def _threshold(probability: float) -> np.uint64:
    """The integer t with u < t exactly when a uniform u / 2^64 < probability."""
    return np.uint64(min(int(probability * _U64), _U64 - 1))


class LossModel:
    """Which frames a link loses: a Gilbert-Elliott model of bursty loss.

    LossModel(loss=0.1, burst=1.0, seed=None)

    loss: the long-run share of frames lost, 0 <= loss < 1. burst: the mean length of a run of
    consecutive lost frames, >= 1 (1: every loss alone). The model has a good state (frames
    arrive) and a bad one (frames are lost); from good it turns bad with probability
    p = loss / (burst (1 - loss)) per frame, from bad it turns good with probability
    r = 1 / burst, so runs of loss have geometric lengths of mean `burst` and the share of lost
    frames tends to `loss`. A loss rate needs burst >= loss / (1 - loss) (p at most 1).

    seed: an integer for a reproducible mask (the same seed gives the same mask on every
    machine); None draws one, kept in .seed. The model starts in the good state, and its state
    runs on from call to call: mask(100) and then mask(50) give the same as mask(150).

    A live link in a streaming loop: frames leave an Encoder as the samples come, the model
    decides each one's fate, and a Decoder plays those that arrive and conceals the others in
    their place (conceal() before the first frame has no shape to fill: play silence). The
    result is what round_trip(x, 16000, msbc=True, loss=0.1, burst=2, seed=7) gives, 73
    instants (the codec's delay) earlier. With h2=True the decoder finds lost H2 units from
    their sequence numbers: leave them out rather than concealing them (runs of 4 or more look
    shorter by a multiple of 4).

    >>> import numpy as np, vantrel
    >>> x = (np.sin(np.arange(48000) / 9) * 8000).astype(np.int16)   # 3 s at 16 kHz
    >>> encoder, decoder = vantrel.Encoder(16000, 1, msbc=True), vantrel.Decoder()
    >>> model = vantrel.LossModel(0.1, burst=2, seed=7)
    >>> size, heard = encoder.frame_length, []
    >>> for chunk in np.array_split(x, 30):                  # as a capture delivers them
    ...     frames = encoder.encode(chunk)
    ...     for frame in (frames[at:at + size] for at in range(0, len(frames), size)):
    ...         if not next(model):                          # it arrives
    ...             heard.append(decoder.decode(frame))
    ...         elif decoder.rate:                           # lost: concealed in its place
    ...             heard.append(decoder.conceal())
    ...         else:                                        # lost before any frame came
    ...             heard.append(np.zeros((encoder.frame_samples, 1), np.int16))
    >>> heard = np.concatenate(heard + [decoder.decode(encoder.flush()), decoder.finish()])
    >>> heard.shape                                          # 400 frames of 120 instants
    (48000, 1)
    """

    def __init__(self, loss: float = 0.1, burst: float = 1.0, seed: Optional[int] = None) -> None:
        loss, burst = float(loss), float(burst)
        if not 0.0 <= loss < 1.0:
            raise ValueError(f"loss must lie in [0, 1), not {loss}")
        if not burst >= 1.0:
            raise ValueError(f"burst (the mean run of lost frames) must be at least 1, not {burst}")
        enter = loss / (burst * (1.0 - loss))
        if enter > 1.0 + 1e-12:  # (rounding may put the least burst just above 1)
            raise ValueError(f"a loss rate of {loss} needs runs of mean length at least "
                             f"{loss / (1.0 - loss):.6g}, not {burst}")
        if seed is None:
            seed = int.from_bytes(os.urandom(8), "little")
        if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)):
            raise TypeError(f"seed must be an integer or None, not {type(seed).__name__}")
        self.loss, self.burst, self.seed = loss, burst, int(seed) % _U64
        self._enter, self._leave = _threshold(min(enter, 1.0)), _threshold(1.0 / burst)
        self._step = 0          # frames decided so far
        self._bad = False       # the state after the last frame

    def mask(self, frames: int) -> np.ndarray:
        """Whether each of the next `frames` frames is lost: a bool array of that length."""
        frames = int(frames)
        if frames < 0:
            raise ValueError(f"frames must be 0 or more, not {frames}")
        u = _draws(self.seed, self._step, frames)
        # Frame t is lost when the state before it is good and u < p, or bad and u >= r. Where
        # both tests agree, the frame's fate does not depend on the state before it (a reset);
        # where only the first holds, the fate is the opposite of the state before (a flip);
        # otherwise it is that state. So a frame's fate is the last reset's, flipped once per
        # flip since then: no loop over the frames.
        from_good, from_bad = u < self._enter, u >= self._leave
        steps = np.arange(frames)
        reset = np.maximum.accumulate(np.where(from_good == from_bad, steps, -1))
        flips = np.cumsum(from_good & ~from_bad)
        since = flips - np.where(reset >= 0, flips[np.maximum(reset, 0)], 0)
        start = np.where(reset >= 0, from_good[np.maximum(reset, 0)], self._bad)
        lost = start ^ (since % 2 == 1)
        self._step += frames
        self._bad = bool(lost[-1]) if frames else self._bad
        return lost

    @staticmethod
    def item_seed(seed: int, index: int) -> int:
        """The seed of item `index` (0, 1, ...) of a batch run with `seed`: a SplitMix64 output
        of the two, so that items lose frames independently and a batch equals the loop of
        single calls with these seeds."""
        if index < 0:
            raise ValueError(f"index must be 0 or more, not {index}")
        return int(_draws((int(seed) ^ _BATCH_TAG) % _U64, int(index), 1)[0])

    def __iter__(self) -> Iterator[bool]:
        return self

    def __next__(self) -> bool:
        """Whether the next frame is lost."""
        return bool(self.mask(1)[0])

    def __repr__(self) -> str:
        return f"LossModel(loss={self.loss!r}, burst={self.burst!r}, seed={self.seed!r})"
