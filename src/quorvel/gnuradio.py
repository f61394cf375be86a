# mypy: allow-subclassing-any
"""GNU Radio blocks built on quorvel.

``agc_cc`` is the AGC of :mod:`quorvel.agc` as a ``gr.sync_block``: one
complex64 input, one complex64 output, one sample out per sample in. Its
output is defined to the bit by the stream alone: it equals one
``AGC.steps`` call over the whole stream on every sample of every complete
chunk, whatever lengths GNU Radio's scheduler hands to ``work()``.

Only this module imports GNU Radio, when it is imported itself; ``import
quorvel`` and every other module work without it. GNU Radio comes with your
system (``apt-get install gnuradio`` on Debian or Ubuntu), so install
quorvel where that Python sees it: see "Using quorvel in GNU Radio" in the
README.

Examples
--------
>>> import numpy as np
>>> from gnuradio import blocks, gr
>>> from quorvel.gnuradio import agc_cc
>>> x = np.full(4096, 4 + 0j, np.complex64)          # 12 dB above ref_db
>>> tb = gr.top_block()
>>> agc, sink = agc_cc(ref_db=0.0), blocks.vector_sink_c()
>>> tb.connect(blocks.vector_source_c(x), agc, sink)
>>> tb.run()
>>> len(sink.data()), round(agc.gain_db(), 1)
(4096, -12.0)
"""

from __future__ import annotations

import importlib
import inspect
from typing import Any, Sequence

import numpy as np

from quorvel._recordings import options
from quorvel._recordings.ring import ring_records
from quorvel.agc import AGC
from quorvel.telemetry import Telemetry

__all__ = ["agc_cc", "telemetry_capacity", "GAIN_TAG", "TELEMETRY_SPAN"]


def _import(name: str) -> Any:
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        raise ImportError(
            f"quorvel.gnuradio needs GNU Radio's Python package ({name}), which this Python cannot import: "
            "install GNU Radio (apt-get install gnuradio) and quorvel where the same Python sees both "
            "(README: Using quorvel in GNU Radio)") from exc


gr = _import("gnuradio.gr")
pmt = _import("pmt")
_sync_block: Any = gr.sync_block

#: Key of the stream tags that carry the loop's gain command in dB.
GAIN_TAG = "gain_db"

#: Stream length, in samples, whose records a ring made by ``agc_cc``
#: holds: a reader that drains it at least this often loses nothing.
TELEMETRY_SPAN = 1 << 23

# Records: 64 MiB of shared memory. The block cannot choose when its ring is
# read, so the ring spans TELEMETRY_SPAN samples at decim 4 and more; below
# that, thin the records with telemetry_decim.
_MAX_RING = 1 << 22
# The block's AGC options that may be given by position, as they always could.
_POSITIONAL = 4


def telemetry_capacity(decim: int = 8, telemetry_decim: int = 1, span: int = TELEMETRY_SPAN) -> int:
    """Ring size, in records, for the telemetry of ``span`` samples of an AGC.

    An AGC emits two records (gain and level) per loop update, one update per
    ``decim`` samples, of which telemetry keeps one in ``telemetry_decim``.
    The result is a power of two between 4,096 and 4,194,304 records.

    Examples
    --------
    >>> from quorvel.gnuradio import telemetry_capacity
    >>> telemetry_capacity(8)                   # 2**23 samples, decim 8
    2097152
    >>> telemetry_capacity(8, telemetry_decim=64)
    32768
    """
    return ring_records(span, decim, _MAX_RING, keep_every=telemetry_decim)


class agc_cc(_sync_block):
    """Automatic gain control block: complex64 in, complex64 out, one sample
    out per sample in.

    Each ``work()`` call is one ``AGC.stream`` call, whose chunk grid runs on
    across calls: the output equals one ``AGC.steps`` call over the whole
    stream on every sample of every complete chunk of ``decim`` samples,
    whatever the scheduler does. The block adds no latency: the samples of a
    chunk that is not complete yet leave at once, ramped as in a full chunk,
    and the loop updates when the call that completes the chunk runs.

    Parameters
    ----------
    {AGC options}
    telemetry : Telemetry, bool or None
        A :class:`quorvel.telemetry.Telemetry` to attach the AGC to, or True
        to make one of ``telemetry_capacity(decim, telemetry_decim)`` records
        (enough for ``TELEMETRY_SPAN`` samples). Read it from one other
        thread while the flowgraph runs: the records come in stream order,
        and with none dropped the k-th gain record (from 0) is the update
        that ends sample ``(k * telemetry_decim + 1) * decim``.
    prefix : str
        Probe names: ``<prefix>.gain_db`` and ``<prefix>.level_db``.
    telemetry_decim : int
        Keep one telemetry update in this many.
    tag_every : int
        0 (the default) adds no tags. Otherwise a ``work()`` call that
        completes a chunk at least ``tag_every`` samples after the last tag
        tags the last sample of the last chunk it completed with key
        ``"gain_db"`` and the gain command (dB, a PMT double) that chunk's
        update set: at most one tag per call, so tags lie at least
        ``tag_every`` samples apart; where they fall depends on the
        scheduler, the value at each tagged sample does not.

    Notes
    -----
    The first four parameters may be given by position. The block checks
    none of the AGC's values, as ``AGC`` does not (``decim`` 0 acts as 1),
    and has a callback ``set_<name>`` for each (``set_ref_db``,
    ``set_decim``...), which changes it on the running loop from the next
    ``work()`` call.

    The gain is exposed three ways: :meth:`gain_db` for a live reading (a
    Function Probe in GNU Radio Companion), stream tags that travel with
    the samples to any downstream block, and telemetry for every update.
    Changing ``decim`` on the running AGC (through :attr:`agc`) moves the
    chunk grid; the tags' positions assume it fixed.

    Examples
    --------
    >>> import numpy as np
    >>> from gnuradio import blocks, gr
    >>> from quorvel.gnuradio import agc_cc
    >>> tb = gr.top_block()
    >>> agc, sink = agc_cc(tag_every=1024), blocks.vector_sink_c()
    >>> tb.connect(blocks.vector_source_c(np.full(4096, 0.5 + 0j, np.complex64)), agc, sink)
    >>> tb.run()
    >>> tags = sink.tags()
    >>> str(tags[0].key), tags[0].offset % 8
    ('gain_db', 7)
    """

    @options.with_options(positional=_POSITIONAL, checked=False)
    def __init__(self, settings: options.Settings, *, telemetry: Telemetry | bool | None = None, prefix: str = "agc",
                 telemetry_decim: int = 1, tag_every: int = 0) -> None:
        if int(tag_every) < 0:
            raise ValueError(f"tag_every must be 0 or more, got {tag_every}")
        gr.sync_block.__init__(self, name="quorvel_agc_cc", in_sig=[np.complex64], out_sig=[np.complex64])
        self._agc = options.build(AGC, settings)
        self._telemetry: Telemetry | None = None
        if telemetry is True:
            telemetry = Telemetry(telemetry_capacity(self._agc.decim, telemetry_decim))
        if isinstance(telemetry, Telemetry):
            telemetry.attach(self._agc, prefix=prefix, decim=telemetry_decim)
            self._telemetry = telemetry
        elif telemetry not in (None, False):
            raise TypeError(f"telemetry must be a Telemetry, True or None, not {type(telemetry).__name__}")
        self._tag_every = int(tag_every)
        self._tag_key = pmt.intern(GAIN_TAG)
        self._tag_source = pmt.intern(self.alias())
        self._last_tag = 0  # stream offset just past the last tagged chunk

    def work(self, input_items: Sequence[Any], output_items: Sequence[Any]) -> int:
        out = output_items[0]
        self._agc.stream(input_items[0], out=out)
        if self._tag_every:
            self._tag_gain(len(out))
        return len(out)

    def _tag_gain(self, n: int) -> None:
        end = self.nitems_written(0) + n
        done = end - end % max(self._agc.decim, 1)  # end of the last chunk completed so far
        if done > end - n and done - self._last_tag >= self._tag_every:
            self.add_item_tag(0, done - 1, self._tag_key, pmt.from_double(self._agc.gain_db), self._tag_source)
            self._last_tag = done

    def gain_db(self) -> float:
        """The loop's gain command in dB after the last completed chunk."""
        return self._agc.gain_db

    @property
    def agc(self) -> AGC:
        """The block's :class:`quorvel.agc.AGC` (for ``get_state`` and the like)."""
        return self._agc

    @property
    def telemetry(self) -> Telemetry | None:
        """The Telemetry the AGC is attached to, or None."""
        return self._telemetry


def _callback(option: options.Option) -> Any:
    def set_option(self: agc_cc, value: Any) -> None:
        setattr(self.agc, option.name, value)

    set_option.__name__ = f"set_{option.name}"
    set_option.__qualname__ = f"agc_cc.set_{option.name}"
    set_option.__doc__ = f"Change ``{option.name}``, {option.help}, from the next ``work()`` call."
    return set_option


for _option in options.OPTIONS:
    setattr(agc_cc, f"set_{_option.name}", _callback(_option))
_call = inspect.signature(agc_cc.__init__)
_call = _call.replace(parameters=[p.replace(annotation=p.empty) for p in list(_call.parameters.values())[1:]],
                      return_annotation=_call.empty)
# The call heads the docstring, as help() and the API reference show it.
agc_cc.__doc__ = f"agc_cc{_call}\n\n    " + options.document(agc_cc.__doc__ or "", checked=False)
