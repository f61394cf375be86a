"""quorvel's AGC as native GNU Radio blocks.

``agc_cc`` levels one complex stream, ``agc_bank_cc`` several at once (one
channel per input and output); both give, bit for bit, the output of
``quorvel.agc.AGC.stream`` (and of ``AGCBank.stream`` channel by channel),
however GNU Radio's scheduler cuts the stream.
"""

from .quorvel_python import agc_bank_cc, agc_cc

__all__ = ["agc_cc", "agc_bank_cc"]
