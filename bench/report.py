"""Tables of bench/compare: the timings with their ratios and peak memory, or the counts.

  report.py timings HYPERFINE_JSON MEMORY_TSV SECONDS
  report.py counts COUNTS_TSV STARTUP_JSON WORLD_LOAD_TXT

Command names are "KIND SECONDS ROW", as bench/compare gives them.
"""

import json
import re
import sys

KINDS = {
    "mono16": ("mono 16-bit WAV", 1),
    "float": ("stereo float WAV", 2),
    "flac24": ("stereo 24-bit FLAC", 2),
}
COPIES = ["copy-512", "copy-65536", "copy-virtual-512"]
KELVO = ["kelvo-n512", "kelvo-n64", "kelvo-n4096", "kelvo-normalize", "kelvo-loudness"]
LABELS = {
    "copy-512": "bare copy, 512-frame calls",
    "copy-65536": "bare copy, 65536-frame calls",
    "copy-virtual-512": "bare copy, virtual I/O, 512",
    "kelvo-n512": "kelvo -n 512",
    "kelvo-n64": "kelvo -n 64",
    "kelvo-n4096": "kelvo -n 4096",
    "kelvo-normalize": "kelvo --normalize",
    "kelvo-loudness": "kelvo --loudness -16",
}
RATE = 48000


def tuple_key(name):
    kind, length, row = name.split()
    return (kind, int(length), row)


def results(path):
    """Every command's record of a hyperfine export, by (kind, seconds, row)."""
    with open(path) as f:
        return {tuple_key(r["command"]): r for r in json.load(f)["results"]}


def medians(path):
    """Median wall-clock seconds of every command of a hyperfine export."""
    return {key: r["median"] for key, r in results(path).items()}


def read_tsv(path):
    with open(path) as f:
        return [line.rstrip("\n").split("\t") for line in f if line.strip()]


def fmt(value, pattern):
    return "-" if value is None else format(value, pattern)


def ratio(a, b):
    return a / b if b else None


def timings(json_path, memory_path, seconds):
    time = medians(json_path)
    # Processor time is what the run itself costs, however busy the machine is.
    cpu = {key: r["user"] + r["system"] for key, r in results(json_path).items()}
    memory = {tuple_key(name): int(kib) for name, kib in read_tsv(memory_path)}
    header = (f"{'row':<30} {'median ms':>10} {'x copy':>7} {'x copy, start-up off':>21} "
              f"{'x own -n 512':>13} {'peak MiB':>9} {'cpu ms':>8}")
    for kind, (title, channels) in KINDS.items():
        best = min(COPIES, key=lambda row: time[(kind, seconds, row)])
        copy_time = time[(kind, seconds, best)]
        copy_startup = time[(kind, 1, best)]
        print(f"\n{title}, {seconds} s ({seconds * RATE * channels} samples); "
              f"fastest copy: {LABELS[best]}")
        print(header)
        for row in COPIES + KELVO:
            t = time[(kind, seconds, row)]
            off = own = None
            if row == "kelvo-n512":
                off = ratio(t - time[(kind, 1, row)], copy_time - copy_startup)
            if row in ("kelvo-normalize", "kelvo-loudness"):
                own = ratio(t, time[(kind, seconds, "kelvo-n512")])
            mib = memory[(kind, seconds, row)] / 1024
            print(f"{LABELS[row]:<30} {t * 1000:>10.1f} {ratio(t, copy_time):>7.2f} "
                  f"{fmt(off, '.2f'):>21} {fmt(own, '.2f'):>13} {mib:>9.1f} "
                  f"{cpu[(kind, seconds, row)] * 1000:>8.1f}")
        normalize = time[(kind, seconds, "kelvo-normalize")]
        loudness = time[(kind, seconds, "kelvo-loudness")]
        print(f"--loudness -16 / --normalize: {ratio(loudness, normalize):.2f} "
              f"(cpu {ratio(cpu[(kind, seconds, 'kelvo-loudness')], cpu[(kind, seconds, 'kelvo-normalize')]):.2f})")
        if (kind, seconds, "kelvo-amp-amp") in time:
            one = (kind, seconds, "kelvo-amp")
            two = (kind, seconds, "kelvo-amp-amp")
            print(f"eg-amp, then eg-amp / eg-amp alone: {ratio(time[two], time[one]):.2f} "
                  f"(cpu {ratio(cpu[two], cpu[one]):.2f}; {time[one] * 1000:.1f} and "
                  f"{time[two] * 1000:.1f} ms)")
        k1 = time[(kind, 1, "kelvo-n512")]
        print(f"start-up, 1 s input: kelvo -n 512 {k1 * 1000:.1f} ms "
              f"(peak {memory[(kind, 1, 'kelvo-n512')] / 1024:.1f} MiB), "
              f"{LABELS[best]} {copy_startup * 1000:.1f} ms, "
              f"difference {(k1 - copy_startup) * 1000:.1f} ms")


def world_load_ms(line):
    match = re.search(r"median ([0-9.]+) ms", line)
    return float(match.group(1)) if match else None


def counts(counts_path, startup_json, worlds_path):
    ir = {}
    channels = {}
    for name, chans, total in read_tsv(counts_path):
        ir[tuple_key(name)] = int(total)
        channels[tuple_key(name)[0]] = int(chans)
    rows = COPIES + ["kelvo-n512"]
    print("\nUser-space instructions per sample, (Ir(20 s) - Ir(1 s)) / "
          "(samples(20 s) - samples(1 s)), callgrind:")
    print(f"{'input':<20}" + "".join(f"{r:>18}" for r in rows) + f"{'kelvo - copy':>14}")
    for kind, (title, _) in KINDS.items():
        samples = (20 - 1) * RATE * channels[kind]
        per = {r: (ir[(kind, 20, r)] - ir[(kind, 1, r)]) / samples for r in rows}
        least = min(per[r] for r in COPIES)
        print(f"{title:<20}" + "".join(f"{per[r]:>18.2f}" for r in rows) +
              f"{per['kelvo-n512'] - least:>14.2f}")
    print("(kelvo - copy is against the copy with the fewest instructions.)")

    time = medians(startup_json)
    worlds = dict(read_tsv(worlds_path))
    bundle_ms = world_load_ms(worlds.get("test bundle alone", ""))
    print("\nStart-up, wall-clock medians of a 1-second input, LV2_PATH unset:")
    print(f"{'input':<20} {'kelvo ms':>9} {'copy ms':>8} {'difference':>11} "
          f"{'less world load':>16}")
    for kind, (title, _) in KINDS.items():
        k = time[(kind, 1, "kelvo-n512")] * 1000
        c = min(time[(kind, 1, r)] for r in COPIES) * 1000
        left = None if bundle_ms is None else k - c - bundle_ms
        print(f"{title:<20} {k:>9.2f} {c:>8.2f} {k - c:>11.2f} {fmt(left, '.2f'):>16}")
    print("\nlilv_world_load_all, in-process, a new world each load:")
    for where, line in worlds.items():
        print(f"  {where}: {line}")


def main(argv):
    if len(argv) == 5 and argv[1] == "timings":
        timings(argv[2], argv[3], int(argv[4]))
    elif len(argv) == 5 and argv[1] == "counts":
        counts(argv[2], argv[3], argv[4])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
