"""LV2 audio plugins on numpy arrays, with kelvo's host."""

from collections.abc import Iterable, Iterator, MutableMapping
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["Chain", "Controls", "Plugin", "plugins", "__version__"]

__version__: str

def plugins() -> list[dict[str, Any]]:
    """Return every installed plugin with kelvo's verdict on it."""

class Controls(MutableMapping[str, float]):
    """The control and CV inputs of one Plugin, by port symbol: reading
    gives the value it runs with, setting checks and takes effect at the
    next call, deleting goes back to the preset's or the start value."""

    def __getitem__(self, symbol: str) -> float: ...
    def __setitem__(self, symbol: str, value: float) -> None: ...
    def __delitem__(self, symbol: str) -> None: ...
    def __iter__(self) -> Iterator[str]: ...
    def __len__(self) -> int: ...

class _Effect:
    def process(
        self,
        audio: npt.ArrayLike,
        sample_rate: float,
        *,
        block_size: int = 512,
        tail: float = 0.0,
        latency_compensation: bool = True,
        reset: bool = True,
        clip: bool = True,
    ) -> npt.NDArray[np.float32]:
        """Run `audio` through the plugins and return the output."""
    def __call__(
        self,
        audio: npt.ArrayLike,
        sample_rate: float,
        *,
        block_size: int = 512,
        tail: float = 0.0,
        latency_compensation: bool = True,
        reset: bool = True,
        clip: bool = True,
    ) -> npt.NDArray[np.float32]:
        """Run `audio` through the plugins and return the output."""
    def flush(self, tail: float = 0.0) -> npt.NDArray[np.float32]:
        """Return the rest of the output after calls with reset=False."""

class Plugin(_Effect):
    """One installed LV2 plugin with its preset and control values."""

    def __init__(
        self, uri: str, preset: str | None = None, **controls: float
    ) -> None: ...
    @property
    def uri(self) -> str:
        """The plugin's URI."""
    @property
    def name(self) -> str:
        """The plugin's name, or "" when it declares none."""
    @property
    def ports(self) -> list[dict[str, Any]]:
        """The plugin's ports in index order, as kelvo-info tells them."""
    @property
    def presets(self) -> list[dict[str, str]]:
        """The plugin's presets in label order."""
    @property
    def preset(self) -> str | None:
        """The preset given when the plugin was made, or None."""
    @property
    def controls(self) -> Controls:
        """The control inputs by symbol."""

class Chain(_Effect):
    """Plugins applied in order, in one pass, by the command line's rules."""

    def __init__(self, plugins: Iterable[Plugin]) -> None: ...
    @property
    def plugins(self) -> list[Plugin]:
        """The plugins, in the order they are applied."""
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Plugin]: ...
    def __getitem__(self, index: int) -> Plugin: ...
