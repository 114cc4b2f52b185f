# round_trip over a link that loses frames: the mask has the model's rate and runs and lies on
# the damage, silence is silence, seeds fix the result, a batch is the loop of its items, and
# the streaming loop of LossModel's help hears what round_trip hears.
import doctest

import numpy as np
import pytest

import vantrel
from conftest import runs, signal

REACH = 80  # instants after a gap that the synthesis history still carries (10 blocks of 8)


@pytest.mark.parametrize("options, per_frame", [({"msbc": True}, 120),
                                                ({"msbc": True, "h2": True}, 120),
                                                ({"mode": "joint"}, 128)])
@pytest.mark.parametrize("conceal", ["silence", "auto"])
def test_the_mask_has_the_models_rate_and_runs_and_lies_on_the_damage(options, per_frame,
                                                                      conceal):
    x = signal(16000 * 40, 2 if "mode" in options else 1, seed=8)
    rate = 16000 if "msbc" in options else 32000
    clean = vantrel.round_trip(x, rate, **options)
    heard, dropped = vantrel.round_trip(x, rate, loss=0.1, burst=3.0, seed=5, conceal=conceal,
                                        return_mask=True, **options)
    starts, lengths = runs(dropped)
    assert abs(dropped.mean() - 0.1) < 0.015 and np.all(lengths[1:-1] % per_frame == 0)
    assert abs(lengths[1:-1].mean() / per_frame - 3.0) < 0.3
    differs = np.any((heard != clean).reshape(len(x), -1), axis=1)
    reached = np.convolve(dropped, np.ones(REACH + 1))[:len(x)] > 0  # a run and its reach
    assert not np.any(differs & ~reached)
    head = 4 if conceal == "silence" else per_frame  # each run heard from its start
    assert all(differs[start:start + head].any() for start in starts)
    assert (not heard[dropped].any()) if conceal == "silence" else all(
        heard[start + 10:start + per_frame].any() for start in starts[1:])


def test_a_resampled_link_maps_its_mask_to_the_callers_rate():
    x = signal(8000 * 6, 1, seed=3)[:, 0]
    kw = dict(msbc=True, loss=0.2, burst=2.0, seed=77, return_mask=True)
    _, at_8k = vantrel.round_trip(x, 8000, **kw)                 # coded at 16 kHz
    _, at_16k = vantrel.round_trip(np.zeros(2 * len(x), np.int16), 16000, **kw)
    assert at_8k.any() and np.array_equal(at_8k, at_16k.reshape(-1, 2).any(axis=1))


def test_seeds_fix_the_result_and_a_batch_is_the_loop_of_its_items():
    batch = np.stack([signal(9000, 1, seed=s)[:, 0] for s in range(3)])
    kw = dict(msbc=True, loss=0.3, burst=2.0, conceal="silence", return_mask=True)
    heard, dropped = vantrel.round_trip(batch, 16000, seed=9, workers=2, **kw)
    for k, x in enumerate(batch):
        single, mask = vantrel.round_trip(x, 16000, seed=vantrel.LossModel.item_seed(9, k), **kw)
        assert np.array_equal(heard[k], single) and np.array_equal(dropped[k], mask)
    assert not np.array_equal(dropped[0], dropped[1])
    items, masks = vantrel.round_trip(list(batch[:2]), 16000, seed=9, **kw)
    assert all(np.array_equal(a, b) for a, b in zip(items + masks, [*heard[:2], *dropped[:2]]))
    # Pinned: derived by the module's own generator, never by hash(), on every machine.
    assert [vantrel.LossModel.item_seed(9, k) % 10**6 for k in range(3)] == ITEM_SEEDS
    # loss=0 is the lossless link: the program's frames decoded, the delay taken out.
    samples = vantrel.decode(vantrel.encode(batch[0], 16000, msbc=True))[0][73:, 0]
    assert np.array_equal(vantrel.round_trip(batch[0], 16000, msbc=True, pad_end=False, seed=9),
                          np.concatenate([samples, np.zeros(len(batch[0]) - len(samples),
                                                            np.int16)]))


ITEM_SEEDS = [982893, 240243, 75821]


def test_the_streaming_loop_in_the_help_runs_as_written_and_hears_what_round_trip_does():
    example = doctest.DocTestFinder(recurse=False).find(vantrel.LossModel, "LossModel")[0]
    runner = doctest.DocTestRunner()
    runner.run(example, clear_globs=False)
    assert runner.summarize(verbose=False) == (0, len(example.examples))
    heard, x = example.globs["heard"][:, 0], example.globs["x"]
    trip = vantrel.round_trip(x, 16000, msbc=True, loss=0.1, burst=2, seed=7)
    assert np.array_equal(heard[73:], trip[:-73])
