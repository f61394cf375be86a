"""quorvel: bit-exact fixed-point kernels, a log-domain AGC and periodic
table interpolation for NumPy.

The modules, each imported on demand:

- ``quorvel.arith``: Q15, Q8 and int64 kernels and the accumulators
  ``AccQ15`` and ``AccQ8`` (native);
- ``quorvel.agc``: the automatic gain control ``AGC`` and
  ``settling_samples`` (native);
- ``quorvel.util``: the shared numeric primitives (native);
- ``quorvel.interp``: periodic table interpolation, ``InterpolatedTable``
  (native);
- ``quorvel.telemetry``: ``Telemetry``, probes and a lock-free ring to watch
  an AGC from the inside;
- ``quorvel.iqfile``: ``level_file``, which levels an IQ recording (raw,
  a stream or SigMF) through the AGC, as the command does;
- ``quorvel.formats``: the sample formats of recordings (``cf32``, ``ci16``,
  ``ci8``, ``cu8``) and their conversions, defined to the bit;
- ``quorvel.batch``: ``level_files``, many recordings at once on a Dask
  cluster;
- ``quorvel.gnuradio``: ``agc_cc``, the AGC as a GNU Radio block (needs
  GNU Radio; nothing else imports it);
- ``quorvel.cli`` and ``quorvel.demo``: the ``quorvel`` command and its AGC
  demonstration (``python -m quorvel``).

``quorvel.show_config()`` (or ``python -m quorvel --info``) prints what a
report of a problem needs: the versions in use, the instruction set each
native core chose and the optional components found.
"""

__version__ = "0.2.0"  # the package's one version: the build reads it from here

from quorvel._config import show_config as show_config  # noqa: E402  (a leaf: loads nothing else)
