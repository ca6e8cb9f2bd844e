"""What the host's json.loads decodes, noted while json.loads stays the host's own function
(the module reads some answers itself only while it is)."""

from __future__ import annotations

import contextlib
import json
from collections.abc import Iterator


class CountingDecoder(json.JSONDecoder):
    """The decoder behind json.loads, noting every text it decodes in `texts`."""

    def __init__(self) -> None:
        super().__init__()
        self.texts: list[str] = []

    def decode(self, s, *args, **kwargs):
        self.texts.append(s)
        return super().decode(s, *args, **kwargs)


@contextlib.contextmanager
def noting_host_decodings() -> Iterator[CountingDecoder]:
    """A CountingDecoder behind json.loads for the block."""
    saved = json._default_decoder
    counting = CountingDecoder()
    json._default_decoder = counting
    try:
        yield counting
    finally:
        json._default_decoder = saved
