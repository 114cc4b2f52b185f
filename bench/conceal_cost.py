#!/usr/bin/python3
"""What concealing lost frames costs vantrel-decode: time and instructions, side by side.

    bench/conceal_cost.py [--build DIR] [--rounds N] [--copies K] [--no-callgrind]

The corpus of bench/conceal_quality.py (66 s of espeak-ng speech through `vantrel -m -H`, the
tonal and the drum pieces through `vantrel -j -r 328000`), each stream repeated K times (5) so
that a decode takes long enough to time, then damaged with 20 % of its frames lost at random
(their CRC byte inverted: the decoder finds each lost frame and conceals it).

Time: the clean and the damaged stream of each material are decoded in turn, N rounds (15), by
`vantrel-decode -t raw -o /dev/null`; the figure is the median of the process's CPU time (user
+ system, from the kernel's accounting of the child), so that other work on a shared machine
weighs less than in wall time. The ratio (the aim: <= 1.5) is the median of each round's
damaged / clean, so that a slow drift of the machine's load cancels out.

Instructions (valgrind --tool=callgrind, one copy of each stream): the whole decode, clean and
damaged, and the instructions spent inside the concealment (conceal_lost_frame and
conceal_rejoin, what they call included) per concealed instant and channel, for random 20 % and
for isolated losses (the case the cost comment in sbc/decode/conceal.cpp counts).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

import numpy as np

sys.dont_write_bytecode = True  # no __pycache__ left in bench/
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import conceal_quality as quality  # noqa: E402  (the corpus, the damage)

MATERIALS = [  # name, maker, encoder options, instants per frame, channels
    ("speech", "speech", ["-m", "-H"], 120, 1),
    ("tonal music", "tonal", ["-j", "-r", "328000"], 128, 2),
    ("drums, vibrato", "drums", ["-j", "-r", "328000"], 128, 2),
]


def corpus(build, tmp, maker, options):
    """The clean stream of one material, its frames' starts and CRC offset."""
    if maker == "speech":
        x, rate = quality.speech(tmp)
    else:
        x, rate = (quality.tonal if maker == "tonal" else quality.drums)()
    wav, sbc = os.path.join(tmp, f"{maker}.wav"), os.path.join(tmp, f"{maker}.sbc")
    quality.write_wav(wav, x, rate)
    quality.run([os.path.join(build, "cli", "vantrel"), *options, "-o", sbc, wav],
                stderr=subprocess.DEVNULL)
    stream = open(sbc, "rb").read()
    starts, crc = quality.frame_starts(stream, "-H" in options)
    return stream, starts, crc


def cpu_seconds(command):
    """CPU time (user + system) of one run of `command`."""
    quiet = [(os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0)]
    pid = os.posix_spawn(command[0], command, os.environ, file_actions=quiet)
    _, status, usage = os.wait4(pid, 0)
    if status != 0:
        raise RuntimeError(f"{command} failed")
    return usage.ru_utime + usage.ru_stime


def callgrind(command, functions=()):
    toggles = [f"--toggle-collect={f}" for f in functions]
    out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                          *toggles, *command], stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True, check=True).stderr
    return int(re.search(r"Collected : (\d+)", out).group(1))


CONCEALMENT = ("sbc::conceal_lost_frame*", "sbc::conceal_rejoin*")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", help="a build tree with cli/vantrel and cli/vantrel-decode")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--copies", type=int, default=5)
    parser.add_argument("--no-callgrind", action="store_true")
    args = parser.parse_args()
    build = args.build or quality.bench_build()
    decode = os.path.join(build, "cli", "vantrel-decode")
    use_callgrind = not args.no_callgrind and shutil.which("valgrind")
    tmp = tempfile.mkdtemp(prefix="vantrel-conceal-cost-")
    print(f"{args.copies} copies of each stream, 20 % of frames lost at random, {args.rounds} "
          "rounds in turn; CPU time (user + system), medians")
    print("| material | clean | 20 % lost | ratio | instructions clean / 20 % lost | "
          "in concealment per concealed instant and channel: random 20 %, isolated |")
    print("|---|---|---|---|---|---|")
    try:
        for name, maker, options, n, channels in MATERIALS:
            stream, starts, crc = corpus(build, tmp, maker, options)
            paths = {}
            for label, loss in (("clean", None), ("random20", "random20"),
                                ("isolated", "isolated")):
                lost = (quality.pattern(loss, len(starts), 102 if loss == "random20" else 103)
                        if loss else np.zeros(len(starts), bool))
                damaged = quality.damage(stream, starts, crc, lost)
                one = os.path.join(tmp, f"{maker}_{label}.sbc")
                open(one, "wb").write(damaged)
                many = os.path.join(tmp, f"{maker}_{label}_x.sbc")
                open(many, "wb").write(damaged * args.copies)
                paths[label] = (one, many, int(lost.sum()))
            times = {"clean": [], "random20": []}
            for _ in range(args.rounds):
                for label in times:
                    times[label].append(cpu_seconds([decode, "-t", "raw", "-o", "/dev/null",
                                                     paths[label][1]]))
            clean, lossy = (float(np.median(times[k])) for k in ("clean", "random20"))
            ratio = float(np.median(np.array(times["random20"]) / np.array(times["clean"])))
            figures = "| (no valgrind) | |"
            if use_callgrind:
                run = lambda label, f=(): callgrind(  # noqa: E731
                    [decode, "-t", "raw", "-o", "/dev/null", paths[label][0]], f)
                per = [run(label, CONCEALMENT) / (paths[label][2] * n * channels)
                       for label in ("random20", "isolated")]
                figures = (f"| {run('clean') / 1e6:.1f} M / {run('random20') / 1e6:.1f} M | "
                           f"{per[0]:.0f}, {per[1]:.0f} |")
            print(f"| {name} | {clean * 1000:.1f} ms | {lossy * 1000:.1f} ms | "
                  f"{ratio:.2f} {figures}")
    finally:
        shutil.rmtree(tmp)
    return 0


if __name__ == "__main__":
    sys.exit(main())
