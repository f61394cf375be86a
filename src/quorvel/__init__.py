"""quorvel: bit-exact fixed-point kernels, a log-domain AGC and periodic
table interpolation for NumPy.

The native modules are imported on demand: ``quorvel.arith``,
``quorvel.util`` and ``quorvel.interp``.
"""

__version__ = "0.1.0"
