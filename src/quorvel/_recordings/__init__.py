"""Private machinery under the public modules.

Shared by every face (the command, :mod:`quorvel.iqfile`,
:mod:`quorvel.batch`, :mod:`quorvel.gnuradio`): ``errors`` (the error
classes and the one-line wording of a failure), ``options`` (the AGC's
options: names, defaults, checks, help), ``ring`` (telemetry ring sizing).

One recording, bottom up: ``checks`` (paths, formats and the run's own
settings), ``source`` (what is read, in whole blocks), ``sigmf`` (SigMF in
and out), ``inputs`` (the one dispatcher above both), ``outputs`` (atomic
destinations, kept apart from the inputs), ``probes`` (the probe archive),
``channels`` (the AGC of every channel, and its saved state).

Many recordings: ``manifest`` (the batch's record, and what a rerun
skips), ``cluster`` (Dask, and what can go wrong with it).

Nothing here imports a public module above it.
"""
