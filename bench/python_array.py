"""Times kelvo.Plugin.process on a stereo float WAV file held as an array.

Run by bench/python_array, which builds the module and the input. Prints the
medians of the command line's "Processing time" (the plugin's runs, from
--timing), of the copies an array path cannot avoid (the input read once
into the plugin's blocks, the output written once into a new array), and of
process() itself, wall and processor time, with the ratio of process() to
the command line's time plus the copies.
"""

import argparse
import statistics
import struct
import subprocess
import time

import numpy as np

import kelvo

URI = "http://lv2plug.in/plugins/eg-amp"


def read_float_wav(path: str) -> tuple[np.ndarray, int]:
    """Return a float WAV file's samples (channels, frames), and its rate."""
    with open(path, "rb") as wav:
        raw = wav.read()
    at, channels, rate = 12, 0, 0
    while at < len(raw):
        tag, size = raw[at : at + 4], struct.unpack_from("<I", raw, at + 4)[0]
        if tag == b"fmt ":
            channels, rate = struct.unpack_from("<HI", raw, at + 10)
        elif tag == b"data":
            data = np.frombuffer(raw, "<f4", size // 4, at + 8)
            return np.ascontiguousarray(data.reshape(-1, channels).T), rate
        at += 8 + size + size % 2
    raise ValueError(f"{path} has no data chunk")


def processing_seconds(kelvo_path: str, source: str, output: str) -> float:
    """Return the "Processing time" kelvo --timing reports for one run."""
    run = subprocess.run(
        [kelvo_path, "--timing", "-i", source, "-o", output, URI],
        capture_output=True,
        text=True,
        check=True,
    )
    for line in run.stdout.splitlines():
        if line.startswith("Processing time:"):
            return float(line.split(":")[1].split()[0])
    raise RuntimeError(f"no processing time in {run.stdout!r}")


def timed(action, runs: int) -> tuple[float, float]:
    """Return the median wall and processor seconds of `runs` calls of
    `action`, after one call that is not timed."""
    action()
    wall, cpu = [], []
    for _ in range(runs):
        start_wall, start_cpu = time.perf_counter(), time.process_time()
        action()
        wall.append(time.perf_counter() - start_wall)
        cpu.append(time.process_time() - start_cpu)
    return statistics.median(wall), statistics.median(cpu)


def main() -> None:
    """Measure, and print the table."""
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--kelvo", required=True)
    parser.add_argument("--input", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    processing = statistics.median(
        processing_seconds(args.kelvo, args.input, args.output)
        for _ in range(args.runs + 1)
    )
    audio, rate = read_float_wav(args.input)
    plugin = kelvo.Plugin(URI)
    spare = np.empty_like(audio)
    copies, _ = timed(
        lambda: (np.copyto(spare, audio), audio.copy()), args.runs
    )
    wall, cpu = timed(lambda: plugin.process(audio, rate), args.runs)
    assert np.array_equal(plugin.process(audio, rate), np.clip(audio, -1, 1))

    limit = 1.1 * processing + copies
    print(f"{audio.shape[0]} channels, {audio.shape[1]} frames at {rate} Hz, "
          f"through {URI}; medians of {args.runs} runs")
    print(f"kelvo --timing, Processing time   {processing * 1e3:9.1f} ms")
    print(f"array copies (in once, out new)   {copies * 1e3:9.1f} ms")
    print(f"process(), wall                   {wall * 1e3:9.1f} ms")
    print(f"process(), processor              {cpu * 1e3:9.1f} ms")
    print(f"1.1 x Processing time + copies    {limit * 1e3:9.1f} ms")
    print(f"process() wall / that             {wall / limit:9.2f}")


if __name__ == "__main__":
    main()
