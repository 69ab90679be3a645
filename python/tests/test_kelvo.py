"""Tests of the module kelvo against the project's LV2 test bundle.

CTest runs them with LV2_PATH naming only the test bundle, and KELVO_INFO_PATH
the built kelvo-info.
"""

import json
import os
import subprocess

import numpy as np
import pytest

import kelvo

AMP = "http://kelvo.test/plugins/amp"
CONTROLS = "http://kelvo.test/plugins/controls"
ODD = "http://kelvo.test/plugins/odd'\"\\\t\u00e9\u20ac"


def kelvo_info_json(*args):
    """What the built kelvo-info prints with --json, as Python objects."""
    result = subprocess.run(
        [os.environ["KELVO_INFO_PATH"], "--json", *args],
        capture_output=True,
        check=True,
    )
    return json.loads(result.stdout)


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
