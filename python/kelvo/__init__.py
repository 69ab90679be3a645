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

import json
import numbers
from collections.abc import Iterable, Iterator, MutableMapping
from typing import Any

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


# What the engine is given for a plugin: URI, preset, control values by symbol.
_Order = tuple[str, str | None, list[tuple[str, float]]]


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
    preset's, else the port's start value (its default, else its minimum,
    else its maximum, else 0). Setting checks the port and the value as
    ``-c symbol:value`` does on the command line, and warns the same way
    about a value out of range; deleting forgets the value set here. A value
    set between calls with ``reset=False`` reaches the running instances at
    the next call. The keys are the symbols of the plugin's control and CV
    inputs, in port order.
    """

    def __init__(self, plugin: Plugin, values: dict[str, float]) -> None:
        self._plugin = plugin
        self._symbols = [
            port["symbol"]
            for port in plugin.ports
            if port["type"] in ("control", "CV")
            and port["direction"] == "input"
        ]
        self._values = values  # set by the user, in the order first set

    def __getitem__(self, symbol: str) -> float:
        if symbol not in self._symbols:
            raise KeyError(symbol)
        return self._plugin._engine.control_value(0, symbol)

    def __setitem__(self, symbol: str, value: float) -> None:
        number = _number(symbol, value)
        self._plugin._engine.set_control(0, symbol, number)
        self._values[symbol] = number

    def __delitem__(self, symbol: str) -> None:
        if symbol not in self._symbols:
            raise KeyError(symbol)
        self._plugin._engine.set_control(0, symbol, None)
        self._values.pop(symbol, None)

    def __iter__(self) -> Iterator[str]:
        return iter(self._symbols)

    def __len__(self) -> int:
        return len(self._symbols)

    def __repr__(self) -> str:
        return f"<kelvo.Controls of {self._plugin.uri}: {dict(self)}>"


class _Effect:
    """What :class:`Plugin` and :class:`Chain` share: processing arrays
    through the engine, in one call or in chunks.

    One object processes one stream at a time: use one object per thread.
    Separate objects run at once on separate threads, since the GIL is
    released while plugins run.
    """

    _engine: Any  # the binding of kelvo's chain engine: _kelvo.Engine

    def _sync(self) -> None:
        """Bring the engine up to date before a call; nothing to do here."""

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
            ValueError: a shape or value the plugins cannot take, such as a
                channel count they have no layout for, or with
                ``reset=False`` a chunk after a short one when a plugin
                requires fixed blocks.
            RuntimeError: a plugin that cannot be driven, or this object
                processing in another thread.
            MemoryError: the blocks or the tail do not fit in memory.

        Warnings of the run (values out of range, clipping, NaN, the
        plugins' own messages) go through :mod:`warnings` with the command
        line's texts.
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
        self._sync()
        return self._engine.process(
            samples,
            rate,
            block,
            seconds,
            bool(latency_compensation),
            bool(reset),
            bool(clip),
        )

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
        return self._engine.flush(_tail(tail))


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
        self._description: dict[str, Any] = json.loads(
            _kelvo.description_json(uri)
        )
        if not self._description["runnable"]:
            raise RuntimeError(self._description["reason"])
        self._preset = preset
        values = {
            symbol: _number(symbol, value)
            for symbol, value in controls.items()
        }
        self._engine = _kelvo.Engine([(uri, preset, list(values.items()))])
        # Set once more, for the warnings about values out of range.
        for symbol, value in values.items():
            self._engine.set_control(0, symbol, value)
        self._controls = Controls(self, values)

    def _order(self) -> _Order:
        """Return what the engine is given for this plugin as it is now."""
        return (self.uri, self._preset, list(self._controls._values.items()))

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
        plugins: the plugins, in order. A control value set on one of them
            later reaches the chain at its next call, as it reaches the
            plugin's own.

    Raises:
        TypeError: an item is not a :class:`Plugin`.
        ValueError: no plugins.
    """

    def __init__(self, plugins: Iterable[Plugin]) -> None:
        self._plugins = list(plugins)
        for plugin in self._plugins:
            if not isinstance(plugin, Plugin):
                raise TypeError(
                    "a Chain holds kelvo.Plugin objects, "
                    f"not {type(plugin).__name__}"
                )
        if not self._plugins:
            raise ValueError("a Chain needs at least one plugin")
        orders = [plugin._order() for plugin in self._plugins]
        self._engine = _kelvo.Engine(orders)
        self._given = [dict(values) for _, _, values in orders]

    def _sync(self) -> None:
        """Give the engine the control values set on the plugins since the
        last call; the plugins have warned about them already."""
        for i, plugin in enumerate(self._plugins):
            values = plugin._controls._values
            given = self._given[i]
            if values == given:
                continue
            for symbol in given.keys() - values.keys():
                self._engine.set_control(i, symbol, None, warn=False)
            for symbol, value in values.items():
                if given.get(symbol) != value:
                    self._engine.set_control(i, symbol, value, warn=False)
            self._given[i] = dict(values)

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
