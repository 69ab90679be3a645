"""LV2 audio plugins on numpy arrays, with the host of the kelvo command line.

A :class:`Plugin` is one LV2 plugin with its control values; a :class:`Chain`
applies plugins in order. Both process float arrays shaped (channels, frames),
or 1-D for mono, and return a new float32 array with what ``kelvo`` would
write for the same input as a float WAV file::

    import numpy as np
    import kelvo

    amp = kelvo.Plugin("http://lv2plug.in/plugins/eg-amp", gain=-6)
    out = amp(np.ones(48000, np.float32), 48000)

:func:`plugins` lists the installed plugins with kelvo's verdict on each, as
``kelvo-info --json`` does.
"""

from __future__ import annotations

import abc
import json
import numbers
from collections.abc import Iterable, Iterator, MutableMapping
from typing import Any, NamedTuple

import numpy as np

from . import _kelvo

__all__ = ["Chain", "Controls", "Plugin", "plugins", "__version__"]

__version__: str = _kelvo.__version__

# The LV2 interface counts the frames of one run in 32 bits.
_MAX_BLOCK_SIZE = 2**32 - 1


def plugins() -> list[dict[str, Any]]:
    """Return every installed plugin with kelvo's verdict on it.

    Each entry is a dict with the keys ``uri``, ``name``, ``audio_inputs``,
    ``audio_outputs``, ``runnable`` and ``reason`` (why kelvo cannot run the
    plugin, in the command line's words, or None), as ``kelvo-info --json``
    lists them. Plugins are found in the folders of ``LV2_PATH``, or in
    lilv's default folders when it is unset.
    """
    return json.loads(_kelvo.list_json())["plugins"]


class _Request(NamedTuple):
    """What the engine is asked to run for one plugin."""

    uri: str
    preset: str | None
    controls: dict[str, float]


def _engine() -> Any:
    """Return the binding of kelvo's chain engine.

    Everything in this module that needs the engine goes through here:
    checking a plugin's preset and control values (``check``), reading a
    control's value (``control_value``), and making the instances that run
    arrays (``open``, from the requests, the sample rate, the channel count,
    the block size and the latency and clipping choices). It raises and warns
    with the command line's texts.
    """
    raise NotImplementedError(
        "kelvo's processing engine is not part of this build yet"
    )


def _as_channels(audio: Any) -> np.ndarray:
    """Return `audio` as a C-contiguous float32 array (channels, frames).

    A 1-D array is one channel. float64 is converted; other dtypes raise
    TypeError, since integer samples have no agreed full scale. Other shapes
    raise ValueError.
    """
    array = np.asarray(audio)
    if array.dtype not in (np.float32, np.float64):
        raise TypeError(
            "audio must be an array of float32 or float64 samples, "
            f"not {array.dtype}"
        )
    if array.ndim == 1:
        array = array[np.newaxis, :]
    elif array.ndim != 2:
        raise ValueError(
            "audio must be 1-D (mono) or 2-D shaped (channels, frames), "
            f"not {array.ndim}-D"
        )
    if array.shape[0] == 0:
        raise ValueError("audio has no channels")
    return np.ascontiguousarray(array, dtype=np.float32)


def _number(name: str, value: Any) -> float:
    """Return `value` as a float, or raise TypeError naming the argument."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(
            f"{name} must be a number, not {type(value).__name__}"
        )
    return float(value)


def _sample_rate(value: Any) -> float:
    """Return `value` as a sample rate in Hz: a finite number above 0."""
    rate = _number("sample_rate", value)
    if not 0 < rate < float("inf"):
        raise ValueError(
            f"sample_rate must be a finite number above 0, not {value}"
        )
    return rate


def _block_size(value: Any) -> int:
    """Return `value` as a block size: frames a plugin can run at once."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(
            f"block_size must be an integer, not {type(value).__name__}"
        )
    if not 0 < value <= _MAX_BLOCK_SIZE:
        raise ValueError(
            f"block_size must be from 1 to {_MAX_BLOCK_SIZE}, not {value}"
        )
    return int(value)


def _tail(value: Any) -> float:
    """Return `value` as a tail in seconds: a finite number, 0 or more."""
    seconds = _number("tail", value)
    if not 0 <= seconds < float("inf"):
        raise ValueError(
            f"tail must be a finite number of seconds, 0 or more, not {value}"
        )
    return seconds


class Controls(MutableMapping[str, float]):
    """The control inputs of one :class:`Plugin`, by port symbol.

    Reading gives the value the plugin runs with: the one set here, else the
    preset's, else the port's start value. Setting checks the port and the
    value as ``-c symbol:value`` does on the command line, and warns the same
    way about a value out of range; deleting forgets the value set here. The
    keys are the symbols of the plugin's control inputs, in port order.
    """

    def __init__(self, plugin: Plugin) -> None:
        self._plugin = plugin
        self._symbols = [
            port["symbol"]
            for port in plugin.ports
            if port["type"] == "control" and port["direction"] == "input"
        ]
        self._values: dict[str, float] = {}

    def __getitem__(self, symbol: str) -> float:
        if symbol in self._values:
            return self._values[symbol]
        if symbol not in self._symbols:
            raise KeyError(symbol)
        return _engine().control_value(self._plugin._request(), symbol)

    def __setitem__(self, symbol: str, value: float) -> None:
        values = {**self._values, symbol: value}
        _engine().check(self._plugin._request(values))
        self._values[symbol] = float(value)

    def __delitem__(self, symbol: str) -> None:
        if symbol not in self._symbols:
            raise KeyError(symbol)
        self._values.pop(symbol, None)

    def __iter__(self) -> Iterator[str]:
        return iter(self._symbols)

    def __len__(self) -> int:
        return len(self._symbols)

    def __repr__(self) -> str:
        return f"<kelvo.Controls of {self._plugin.uri}: {len(self)} inputs>"


class _Effect(abc.ABC):
    """What :class:`Plugin` and :class:`Chain` share: processing arrays
    through the engine, in one call or in chunks.

    One object processes one stream at a time: use one object per thread.
    Separate objects run at once on separate threads, since the GIL is
    released while plugins run.
    """

    def __init__(self) -> None:
        self._stream: Any = None  # the running instances, between chunks
        self._settings: tuple[Any, ...] = ()
        self._output_channels = 0

    @abc.abstractmethod
    def _requests(self) -> list[_Request]:
        """Return the requests of the plugins to run, in order."""

    def process(
        self,
        audio: Any,
        sample_rate: float,
        *,
        block_size: int = 512,
        tail: float = 0.0,
        latency_compensation: bool = True,
        reset: bool = True,
        clip: bool = True,
    ) -> np.ndarray:
        """Run `audio` through the plugins and return the output.

        Args:
            audio: float32 or float64 samples shaped (channels, frames), or
                1-D for mono; float64 is converted to float32.
            sample_rate: the rate of `audio` in Hz.
            block_size: the frames the plugins run at once, as ``-n`` sets.
            tail: seconds of silence to run after the input, for reverbs and
                echoes; the output is cut where it falls below -96 dBFS, as
                with ``--tail``. With ``reset=False``, give it to
                :meth:`flush` instead.
            latency_compensation: drop the frames the plugins report as
                latency from the start and run them on silence at the end,
                so that the output lines up with the input; False keeps the
                delay, as ``--with-latency`` does.
            reset: start from fresh instances and return the whole output.
                With False, the instances keep their state from the previous
                call, which returns the next frames of the output, and
                :meth:`flush` returns the rest.
            clip: limit the output to full scale (-1 to 1), as a float WAV
                file of the command line is; NaN samples become 0 either way.

        Returns:
            A new C-contiguous float32 array (output channels, frames).

        Raises:
            TypeError: `audio` is not float samples, or an argument is not
                of its type.
            ValueError: a shape or value the plugins cannot take.
            RuntimeError: a plugin that cannot be driven.
        """
        samples = _as_channels(audio)
        rate = _sample_rate(sample_rate)
        block = _block_size(block_size)
        seconds = _tail(tail)
        if not reset and seconds:
            raise ValueError(
                "the tail follows the last chunk: give it to flush() "
                "when reset=False"
            )
        settings = (
            rate,
            samples.shape[0],
            block,
            bool(latency_compensation),
            bool(clip),
        )
        if reset or self._stream is None or settings != self._settings:
            self._stream = _engine().open(self._requests(), *settings)
            self._settings = settings
        out = self._stream.run(samples, last=reset, tail=seconds)
        if reset:
            self._stream = None
        self._output_channels = out.shape[0]
        return out

    __call__ = process

    def flush(self, tail: float = 0.0) -> np.ndarray:
        """Return the rest of the output after calls with ``reset=False``.

        That is what the plugins still hold (their latency, run on silence)
        and, with `tail`, what they make of `tail` seconds of silence, cut
        where the output falls below -96 dBFS. The chunks and this rest
        together equal one call with ``reset=True``, sample for sample. The
        next call starts afresh. With no chunk in progress, the result has
        no frames.
        """
        seconds = _tail(tail)
        if self._stream is None:
            return np.zeros((self._output_channels, 0), np.float32)
        silence = np.zeros((self._settings[1], 0), np.float32)
        out = self._stream.run(silence, last=True, tail=seconds)
        self._stream = None
        return out


class Plugin(_Effect):
    """One installed LV2 plugin with its preset and control values.

    Args:
        uri: the plugin's URI, as :func:`plugins` lists it.
        preset: a preset's label or URI, as ``-p`` takes it.
        **controls: values of control inputs by port symbol, as
            ``-c symbol:value`` sets them.

    Raises:
        LookupError: no installed plugin has this URI, or the plugin has no
            such preset.
        KeyError: the plugin has no port of a given symbol.
        ValueError: a value for a port that takes none.
        RuntimeError: kelvo cannot drive the plugin; the text tells why.

    A value outside a port's range is kept, with a warning through
    :mod:`warnings` in the command line's words. Instances are made at the
    first call of :meth:`process`, at its rate and channel count, and made
    anew when either changes or ``reset=True`` asks for it.
    """

    def __init__(
        self, uri: str, preset: str | None = None, **controls: float
    ) -> None:
        super().__init__()
        self._description: dict[str, Any] = json.loads(
            _kelvo.description_json(uri)
        )
        if not self._description["runnable"]:
            raise RuntimeError(self._description["reason"])
        self._preset = preset
        self._controls = Controls(self)
        if preset is not None or controls:
            _engine().check(self._request(controls))
            self._controls._values.update(
                (symbol, float(value)) for symbol, value in controls.items()
            )

    def _request(self, controls: dict[str, float] | None = None) -> _Request:
        values = self._controls._values if controls is None else controls
        return _Request(self.uri, self._preset, dict(values))

    def _requests(self) -> list[_Request]:
        return [self._request()]

    @property
    def uri(self) -> str:
        """The plugin's URI."""
        return self._description["uri"]

    @property
    def name(self) -> str:
        """The plugin's name, or "" when it declares none."""
        return self._description["name"]

    @property
    def ports(self) -> list[dict[str, Any]]:
        """The plugin's ports in index order, as ``kelvo-info URI --json``
        tells them.

        Each is a dict with ``index``, ``symbol``, ``name``, ``type``
        ("audio", "control", "CV", "atom" or "other"), ``direction``
        ("input", "output" or None), ``optional``, ``default``, ``minimum``,
        ``maximum`` (None when not given), ``sample_rate`` (True when the
        bounds are fractions of the rate), ``reports_latency`` and ``unit``.
        """
        return self._description["ports"]

    @property
    def presets(self) -> list[dict[str, str]]:
        """The plugin's presets in label order: dicts with ``label``, ``uri``
        and the ``command`` line that applies the preset."""
        return self._description["presets"]

    @property
    def preset(self) -> str | None:
        """The preset given when the plugin was made, or None."""
        return self._preset

    @property
    def controls(self) -> Controls:
        """The control inputs by symbol: see :class:`Controls`."""
        return self._controls

    def __repr__(self) -> str:
        return f"kelvo.Plugin({self.uri!r})"


class Chain(_Effect):
    """Plugins applied in order, in one pass, by the command line's rules.

    Each plugin takes the previous one's output channels. Between plugins,
    samples stay floats beyond full scale, and samples that are not finite
    become 0. The chain's latency is the sum of its plugins' latencies.

    Args:
        plugins: the plugins, in order. Their presets and control values are
            read when the chain makes its instances: at every call with
            ``reset=True``.

    Raises:
        TypeError: an item is not a :class:`Plugin`.
        ValueError: no plugins.
    """

    def __init__(self, plugins: Iterable[Plugin]) -> None:
        super().__init__()
        self._plugins = list(plugins)
        for plugin in self._plugins:
            if not isinstance(plugin, Plugin):
                raise TypeError(
                    "a Chain holds kelvo.Plugin objects, "
                    f"not {type(plugin).__name__}"
                )
        if not self._plugins:
            raise ValueError("a Chain needs at least one plugin")

    def _requests(self) -> list[_Request]:
        return [plugin._request() for plugin in self._plugins]

    @property
    def plugins(self) -> list[Plugin]:
        """The plugins, in the order they are applied."""
        return list(self._plugins)

    def __len__(self) -> int:
        return len(self._plugins)

    def __iter__(self) -> Iterator[Plugin]:
        return iter(self._plugins)

    def __getitem__(self, index: int) -> Plugin:
        return self._plugins[index]

    def __repr__(self) -> str:
        return f"kelvo.Chain({self._plugins!r})"
