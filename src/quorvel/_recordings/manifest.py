"""The record a batch keeps in its output folder: one JSON line per
recording in ``quorvel-manifest.jsonl``, appended as each finishes, and a
summary line when the run ends; what a later run reads back to skip what is
done.

A line is one write, on disk before the next: a crash loses at most the line
it cuts short, which a reader skips. A line holds a row of the run's table
(its fields by name, and its status), what the input files and outputs were
when the run had them, and the settings that made the output.
"""

from __future__ import annotations

import json
import os
from dataclasses import asdict, dataclass
from typing import Any, Iterable, Mapping, Optional

from quorvel._recordings import options

NAME = "quorvel-manifest.jsonl"


@dataclass(frozen=True)
class Stamp:
    """What a file was when a run had it; a later run compares."""

    path: str
    size: int
    mtime_ns: int

    @classmethod
    def of(cls, path: str) -> Optional["Stamp"]:
        """``path`` now, None when it is not there."""
        try:
            info = os.stat(path)
        except OSError:
            return None
        return cls(path, info.st_size, info.st_mtime_ns)


def stamps(paths: Iterable[str]) -> list[Stamp]:
    """The files of ``paths`` that are there, as they are now."""
    return [stamp for stamp in map(Stamp.of, paths) if stamp is not None]


def line(row: Any, status: str, inputs: list[Stamp], outputs: list[Stamp], settings: Mapping[str, Any]) -> dict[str, Any]:
    """The manifest's line for ``row`` (a dataclass: the table's row)."""
    return {**asdict(row), "status": status, "inputs": [asdict(s) for s in inputs],
            "outputs": [asdict(s) for s in outputs], "settings": options.as_json(settings)}


def done(entry: Mapping[str, Any], output: str, inputs: list[Stamp], settings: Mapping[str, Any]) -> bool:
    """Whether ``entry``, an earlier line, made ``output`` from the inputs as
    they are now, under ``settings``, and every output it wrote is still as
    it was."""
    return (entry.get("status") in ("levelled", "skipped") and entry.get("output") == output
            and entry.get("settings") == options.as_json(settings) and entry.get("inputs") == [asdict(s) for s in inputs]
            and bool(entry.get("outputs"))
            and all(Stamp.of(s.get("path", "")) == Stamp(**s) for s in entry["outputs"]))


def read(outdir: str) -> dict[str, dict[str, Any]]:
    """The last line about each input in ``outdir``'s manifest (none without
    one); lines cut short or not of this shape are skipped."""
    found: dict[str, dict[str, Any]] = {}
    try:
        with open(os.path.join(outdir, NAME), "rb") as file:
            for text in file:
                try:
                    entry = json.loads(text)
                except ValueError:
                    continue
                if isinstance(entry, dict) and isinstance(entry.get("input"), str):
                    found[entry["input"]] = entry
    except FileNotFoundError:
        pass
    return found


class Manifest:
    """``outdir``'s manifest, opened to append this run's lines."""

    def __init__(self, outdir: str) -> None:
        self.path = os.path.join(outdir, NAME)
        self._fd = os.open(self.path, os.O_RDWR | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o666)
        try:
            size = os.fstat(self._fd).st_size
            if size and os.pread(self._fd, 1, size - 1) != b"\n":
                self._append(b"\n")  # a line a crash cut short ends here, not inside the next
        except OSError as exc:
            os.close(self._fd)
            raise OSError(exc.errno, exc.strerror, self.path) from None

    def write(self, entries: list[dict[str, Any]]) -> None:
        """``entries`` as lines, on disk when this returns."""
        if entries:
            self._append("".join(json.dumps(entry) + "\n" for entry in entries).encode())

    def _append(self, data: bytes) -> None:
        size = os.fstat(self._fd).st_size
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(self._fd, view):]
            os.fsync(self._fd)
        except OSError as exc:
            try:
                os.ftruncate(self._fd, size)  # no line half written for the next to run into
            except OSError:
                pass
            raise OSError(exc.errno, exc.strerror, self.path) from None

    def close(self) -> None:
        os.close(self._fd)
