"""Tests of the module kelvo against the project's LV2 test bundle.

CTest runs them with LV2_PATH naming only the test bundle, KELVO_PATH the
built kelvo and KELVO_INFO_PATH the built kelvo-info.
"""

import json
import os
import struct
import subprocess
import threading
import warnings

import numpy as np
import pytest

import kelvo

AMP = "http://kelvo.test/plugins/amp"
CONTROLS = "http://kelvo.test/plugins/controls"
DECAY = "http://kelvo.test/plugins/decay"
DELAY = "http://kelvo.test/plugins/delay"
STATE = "http://kelvo.test/plugins/default_state"
EG_AMP = "http://lv2plug.in/plugins/eg-amp"
RATE = 48000
# Two channels of noise, with samples beyond full scale for the output check,
# whose warning the tests but one leave aside.
NOISE = (
    np.random.default_rng(20).uniform(-1.2, 1.2, (2, 5000)).astype(np.float32)
)
pytestmark = pytest.mark.filterwarnings(
    "ignore:out of range value detected in audio output"
)
ODD = "http://kelvo.test/plugins/odd'\"\\\t\u00e9\u20ac"


def kelvo_info_json(*args):
    """What the built kelvo-info prints with --json, as Python objects."""
    result = subprocess.run(
        [os.environ["KELVO_INFO_PATH"], "--json", *args],
        capture_output=True,
        check=True,
    )
    return json.loads(result.stdout)


def run_kelvo(tmp_path, args):
    """Run the built kelvo on NOISE in a float WAV file with the arguments
    `args`; return its float WAV output's samples, or None after an error,
    and its standard error's lines."""
    source, result = tmp_path / "in.wav", tmp_path / "out.wav"
    data = np.ascontiguousarray(NOISE.T, "<f4").tobytes()
    fmt = struct.pack("<HHIIHH", 3, 2, RATE, RATE * 8, 8, 32)
    chunks = b"fmt \x10\0\0\0" + fmt + b"data" + struct.pack("<I", len(data))
    riff = struct.pack("<I", 4 + len(chunks) + len(data))
    source.write_bytes(b"RIFF" + riff + b"WAVE" + chunks + data)
    run = subprocess.run(
        ["kelvo", "-i", source, "-o", result, "--bits", "float", *args],
        executable=os.environ["KELVO_PATH"],
        capture_output=True,
        text=True,
        check=False,
    )
    if run.returncode:
        return None, run.stderr.splitlines()
    raw, at = result.read_bytes(), 12
    while raw[at : at + 4] != b"data":  # past fmt, fact, PEAK
        at += 8 + struct.unpack_from("<I", raw, at + 4)[0]
    size = struct.unpack_from("<I", raw, at + 4)[0]
    samples = np.frombuffer(raw, "<f4", size // 4, at + 8)
    return samples.reshape(-1, 2).T, run.stderr.splitlines()


def test_plugins_lists_what_kelvo_info_lists():
    assert kelvo.plugins() == kelvo_info_json()["plugins"]


@pytest.mark.parametrize("uri", [AMP, CONTROLS, ODD])
def test_plugin_tells_what_kelvo_info_tells(uri):
    plugin = kelvo.Plugin(uri)
    expected = kelvo_info_json(uri)
    told = {
        "uri": plugin.uri,
        "name": plugin.name,
        "ports": plugin.ports,
        "presets": plugin.presets,
    }
    assert told == {key: expected[key] for key in told}


@pytest.mark.parametrize(
    "make, error, text",
    [
        (
            lambda: kelvo.Plugin("http://kelvo.test/plugins/none"),
            LookupError,
            "plugin 'http://kelvo.test/plugins/none' not found",
        ),
        (lambda: kelvo.Plugin("amp"), LookupError, "plugin 'amp' not found"),
        (
            lambda: kelvo.Plugin("http://kelvo.test/plugins/needs_feature"),
            RuntimeError,
            "the plugin requires features that this program does not "
            "support, sorry",
        ),
        (
            lambda: kelvo.Plugin("http://kelvo.test/plugins/event_port"),
            RuntimeError,
            "port 'midi' has a port type this program does not understand",
        ),
        (
            lambda: kelvo.Chain([]),
            ValueError,
            "a Chain needs at least one plugin",
        ),
        (
            lambda: kelvo.Chain([AMP]),
            TypeError,
            "a Chain holds kelvo.Plugin objects, not str",
        ),
    ],
)
def test_refusals_carry_their_texts(make, error, text):
    with pytest.raises(error) as caught:
        make()
    assert str(caught.value) == text


def test_controls_are_the_control_inputs_by_symbol():
    controls = kelvo.Plugin(CONTROLS).controls
    assert list(controls) == [
        "with_default",
        "min_only",
        "max_only",
        "bare",
        "rate_bound",
        "optional_knob",
        "both_bounds",
    ]
    assert len(controls) == 7
    for symbol in ("in", "out", "missing"):
        with pytest.raises(KeyError):
            controls[symbol]
        with pytest.raises(KeyError):
            del controls[symbol]


@pytest.mark.parametrize(
    "audio, expected",
    [
        (np.array([0.5, -0.25]), [[0.5, -0.25]]),
        (np.array([[1, 2], [3, 4]], np.float32, order="F"), [[1, 2], [3, 4]]),
        (np.arange(6.0).reshape(2, 3)[:, ::2], [[0, 2], [3, 5]]),
        ([[0.125], [-1.0]], [[0.125], [-1.0]]),
        (np.zeros((2, 0), np.float32), np.zeros((2, 0))),
    ],
)
def test_audio_becomes_contiguous_float32_channels(audio, expected):
    channels = kelvo._as_channels(audio)
    assert channels.dtype == np.float32
    assert channels.flags.c_contiguous
    np.testing.assert_array_equal(channels, np.asarray(expected, np.float32))


@pytest.mark.parametrize(
    "audio, arguments, error",
    [
        (np.zeros(4, np.int16), {}, TypeError),
        (np.zeros(4, np.complex64), {}, TypeError),
        (np.zeros((1, 2, 4), np.float32), {}, ValueError),
        (np.float32(0.5), {}, ValueError),
        (np.zeros((0, 4), np.float32), {}, ValueError),
        (np.zeros(4, np.float32), {"sample_rate": 0}, ValueError),
        (np.zeros(4, np.float32), {"sample_rate": float("nan")}, ValueError),
        (np.zeros(4, np.float32), {"sample_rate": "48000"}, TypeError),
        (np.zeros(4, np.float32), {"block_size": 0}, ValueError),
        (np.zeros(4, np.float32), {"block_size": 2**32}, ValueError),
        (np.zeros(4, np.float32), {"block_size": 512.0}, TypeError),
        (np.zeros(4, np.float32), {"tail": -1}, ValueError),
        (np.zeros(4, np.float32), {"tail": float("inf")}, ValueError),
        (np.zeros(4, np.float32), {"tail": 1, "reset": False}, ValueError),
    ],
)
def test_bad_arguments_are_refused_before_any_processing(
    audio, arguments, error
):
    call = {"sample_rate": 48000, **arguments}
    with pytest.raises(error):
        kelvo.Plugin(AMP).process(audio, **call)


@pytest.mark.parametrize(
    "args, make, options",
    [
        ([EG_AMP, "-c", "gain:-6"], lambda: kelvo.Plugin(EG_AMP, gain=-6), {}),
        (
            ["-n", "100", DELAY, "-c", "latency:300"],
            lambda: kelvo.Plugin(DELAY, latency=300),
            {"block_size": 100},
        ),
        (
            ["--with-latency", DELAY, "-c", "latency:300"],
            lambda: kelvo.Plugin(DELAY, latency=300),
            {"latency_compensation": False},
        ),
        (
            [AMP, "-c", "gain:0.5", DELAY, "-c", "latency:37"],
            lambda: kelvo.Chain(
                [kelvo.Plugin(AMP, gain=0.5), kelvo.Plugin(DELAY, latency=37)]
            ),
            {},
        ),
        (
            ["--tail", "0.5", DECAY, "-c", "time:500"],
            lambda: kelvo.Plugin(DECAY, time=500),
            {"tail": 0.5},
        ),
        (
            [STATE, "-p", "Quarter"],
            lambda: kelvo.Plugin(STATE, preset="Quarter"),
            {},
        ),
    ],
)
def test_process_gives_what_the_command_line_writes(
    tmp_path, monkeypatch, args, make, options
):
    if EG_AMP in args:
        monkeypatch.delenv("LV2_PATH")  # the installed plugins
    expected, _ = run_kelvo(tmp_path, args)
    effect = make()
    # The second call makes its instances anew, and must not differ.
    for _ in range(2):
        np.testing.assert_array_equal(effect(NOISE, RATE, **options), expected)


@pytest.mark.parametrize(
    "make, chunk, tail",
    [
        (lambda: kelvo.Plugin(DELAY, latency=300), 700, 0.0),
        (lambda: kelvo.Plugin(DECAY, time=500), 333, 0.5),
        (
            lambda: kelvo.Chain(
                [kelvo.Plugin(DELAY, latency=1300), kelvo.Plugin(DECAY)]
            ),
            512,
            0.25,
        ),
    ],
)
def test_chunks_and_flush_equal_one_call(make, chunk, tail):
    effect = make()
    whole = effect(NOISE, RATE, tail=tail)
    parts = [
        effect(NOISE[:, i : i + chunk], RATE, reset=False)
        for i in range(0, NOISE.shape[1], chunk)
    ]
    if chunk == 700:  # the first call less the latency, then their lengths
        assert [p.shape[1] for p in parts] == [400] + [700] * 6 + [100]
    rest = effect.flush(tail=tail)
    np.testing.assert_array_equal(np.concatenate(parts + [rest], 1), whole)


def test_controls_read_and_reach_the_running_instances():
    controls = kelvo.Plugin(CONTROLS).controls
    assert list(controls.values()) == [440, 0.5, 7, 0, 0.25, 3, -1]
    amp = kelvo.Plugin(AMP, preset="Half", gain=2)
    ones = np.ones(4, np.float32)
    for effect in (amp, kelvo.Chain([amp])):
        amp.controls["gain"] = 0.25
        assert effect(ones, RATE, reset=False).tolist() == [[0.25] * 4]
        del amp.controls["gain"]  # back to the preset's
        assert amp.controls["gain"] == 0.5
        assert effect(ones, RATE, reset=False).tolist() == [[0.5] * 4]
        effect.flush()


@pytest.mark.parametrize(
    "args, make, error",
    [
        ([AMP, "-c", "loud:2"], lambda: kelvo.Plugin(AMP, loud=2), KeyError),
        (
            [AMP, "-c", "out:2"],
            lambda: kelvo.Plugin(AMP).controls.update(out=2),
            ValueError,
        ),
        ([AMP, "-p", "X"], lambda: kelvo.Plugin(AMP, preset="X"), LookupError),
        (
            [AMP, "-c", "gain:9"],
            lambda: kelvo.Plugin(AMP, gain=9)(NOISE, RATE),
            None,
        ),
        (
            [AMP, DELAY, "-c", "latency:1e9"],
            lambda: kelvo.Chain(
                [kelvo.Plugin(AMP), kelvo.Plugin(DELAY, latency=1e9)]
            )(NOISE, RATE),
            None,
        ),
    ],
)
def test_errors_and_warnings_are_the_command_lines(
    tmp_path, args, make, error
):
    _, lines = run_kelvo(tmp_path, args)
    raised = None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            make()
        except (LookupError, ValueError) as problem:
            raised = problem
    said = {f"kelvo: warning: {w.message}" for w in caught}
    if raised:
        said.add(f"kelvo: error: {raised.args[0]}")
    assert type(raised) is (error or type(None))
    assert said == set(lines)


def test_two_threads_give_what_one_gives():
    effects = [kelvo.Plugin(DECAY), kelvo.Plugin(DELAY, latency=7)]
    inputs = [NOISE, NOISE[::-1].copy()]
    alone = [e(x, RATE, block_size=64) for e, x in zip(effects, inputs)]
    results = [None, None]

    def work(k):
        for _ in range(20):
            results[k] = effects[k](inputs[k], RATE, block_size=64)

    threads = [threading.Thread(target=work, args=(k,)) for k in (0, 1)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for result, expected in zip(results, alone):
        np.testing.assert_array_equal(result, expected)


def test_many_calls_do_not_grow_the_memory():
    amp, short = kelvo.Plugin(AMP, gain=0.5), np.ones((2, 64), np.float32)

    def resident_pages():
        with open("/proc/self/statm", encoding="ascii") as statm:
            return int(statm.read().split()[1])

    for _ in range(1000):
        amp(short, RATE)
    before = resident_pages()
    for _ in range(10_000):
        amp(short, RATE)
    assert resident_pages() - before < 256  # 1 MiB of 4 KiB pages
