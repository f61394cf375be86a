"""SigMF recordings in and out of quorvel agc, through the sigmf package."""

import io
import json
import os
import subprocess
import sys
import tarfile

import numpy as np
import pytest

from quorvel import batch, cli
from quorvel.formats import sample_format
from quorvel.iqfile import level_recording
from quorvel.telemetry import Telemetry

from helpers import one_line, quorvel, reference

import sigmf  # noqa: E402  (a test dependency: these tests must run, never skip)


def write_pair(folder, stem, metadata, data, dataset=None):
    """A recording: its metadata, and the data under the SigMF name or ``dataset``."""
    (folder / f"{stem}.sigmf-meta").write_text(json.dumps(metadata))
    (folder / (dataset or f"{stem}.sigmf-data")).write_bytes(data)
    return folder / f"{stem}.sigmf-meta"


def meta(datatype, channels=1, captures=None, **fields):
    top = {"core:datatype": datatype, "core:version": "1.2.0", "core:num_channels": channels, **fields}
    return {"global": top, "captures": captures or [{"core:sample_start": 0}], "annotations": []}


def per_channel(x, channels, decim=8):
    """Each channel levelled as a recording of its own, interleaved back."""
    columns = x.reshape(-1, channels)
    out = np.empty_like(columns)
    for c in range(channels):
        out[:, c] = reference(np.ascontiguousarray(columns[:, c]), decim)
    return out.ravel()


@pytest.fixture
def two_channels(tmp_path):
    """A non-conforming ci16 recording of 2 channels: two captures behind 4-byte headers, 6 trailing bytes."""
    rng = np.random.default_rng(5)
    codes = rng.integers(-3000, 3000, (1000, 2, 2)).astype("<i2")      # samples, channels, I/Q
    first, second = codes[:500].tobytes(), codes[500:].tobytes()
    data = b"HDR1" + first + b"HDR2" + second + b"TRAILS"
    captures = [{"core:sample_start": 0, "core:header_bytes": 4, "core:frequency": 1e8},
                {"core:sample_start": 500, "core:header_bytes": 4, "core:frequency": 2e8}]
    metadata = meta("ci16_le", 2, captures, **{"core:dataset": "rec.dat", "core:trailing_bytes": 6,
                                               "core:sample_rate": 2e6, "core:sha512": "0" * 128})
    metadata["annotations"] = [{"core:sample_start": 10, "core:sample_count": 20, "core:label": "burst"}]
    path = write_pair(tmp_path, "rec", metadata, data, dataset="rec.dat")
    return path, sample_format("ci16").decode(codes.tobytes()), metadata


def test_multi_channel_captures_and_headers(tmp_path, two_channels):
    path, x, _ = two_channels
    out = tmp_path / "out.sigmf-data"
    result = quorvel("agc", path, out, "--block", "96", text=True)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "out.sigmf-data").read_bytes() == per_channel(x, 2).tobytes()
    written = json.loads((tmp_path / "out.sigmf-meta").read_text())
    top = written["global"]
    assert top["core:datatype"] == "cf32_le" and top["core:num_channels"] == 2 and top["core:sample_rate"] == 2e6
    assert not {"core:sha512", "core:dataset", "core:trailing_bytes"} & set(top)
    assert [c for c in written["captures"]] == [{"core:sample_start": 0, "core:frequency": 1e8},
                                                {"core:sample_start": 500, "core:frequency": 2e8}]
    assert written["annotations"][0]["core:label"] == "burst"
    assert {"name": "quorvel", "version": "1.0.0", "optional": True} in top["core:extensions"]
    assert top["quorvel:agc"] == {"ref_db": 0.0, "loop_bw": 0.0025, "alpha": 0.05, "decim": 8, "acquire": False,
                                  "clip_db": 120.0, "max_gain_db": "inf", "gate_db": "-inf", "attack_db": "inf",
                                  "input_datatype": "ci16_le", "continued": False}     # JSON has no infinities
    from quorvel import __version__
    assert top["quorvel:version"] == __version__
    back = sigmf.fromfile(str(tmp_path / "out.sigmf-meta"))
    assert np.array_equal(back.read_samples(), per_channel(x, 2).reshape(-1, 2))


def test_probes_of_every_channel(tmp_path, two_channels):
    path, x, _ = two_channels
    assert cli.main(["agc", str(path), str(tmp_path / "o.sigmf-meta"), "--decim", "4",
                     "--telemetry", str(tmp_path / "p")]) == 0
    probes = np.load(tmp_path / "p.npz")
    assert probes["gain_db"].shape == probes["level_db"].shape == (250, 2)
    for c in range(2):
        _, gains, levels = reference(np.ascontiguousarray(x.reshape(-1, 2)[:, c]), 4, probes=True)
        assert np.array_equal(probes["gain_db"][:, c], gains) and np.array_equal(probes["level_db"][:, c], levels)


def test_probes_of_many_channels_keep_the_ring_small(tmp_path, monkeypatch):
    codes = np.random.default_rng(11).integers(-128, 128, 4 * 2 * (1 << 18)).astype(np.int8)
    path = write_pair(tmp_path, "wide", meta("ci8", 4), codes.tobytes())
    capacities = []
    monkeypatch.setattr("quorvel.iqfile.Telemetry", lambda n: capacities.append(n) or Telemetry(n))
    for name, extra in (("plain", []), ("watched", ["--telemetry", str(tmp_path / "p")])):
        assert cli.main(["agc", str(path), str(tmp_path / f"{name}.sigmf-meta"), "--decim", "1", *extra]) == 0
    assert capacities == [1 << 20]                                 # 16 MiB, not the 32 MiB a whole read needs
    assert (tmp_path / "plain.sigmf-data").read_bytes() == (tmp_path / "watched.sigmf-data").read_bytes()
    assert np.load(tmp_path / "p.npz")["gain_db"].shape == (1 << 18, 4)


def test_absolute_sample_indices_after_an_offset(tmp_path, two_channels):
    _, x, metadata = two_channels
    shifted = json.loads(json.dumps(metadata))
    shifted["global"]["core:offset"] = 1000
    for capture in shifted["captures"]:
        capture["core:sample_start"] += 1000
    (tmp_path / "shifted.sigmf-meta").write_text(json.dumps(shifted))
    assert level_recording(tmp_path / "shifted.sigmf-meta", tmp_path / "o.cf32").samples == 1000
    assert (tmp_path / "o.cf32").read_bytes() == per_channel(x, 2).tobytes()


def test_an_archive_and_a_pair_give_the_same_recording(tmp_path):
    codes = np.random.default_rng(9).integers(0, 256, 2 * 3000).astype(np.uint8)
    path = write_pair(tmp_path, "r", meta("cu8", **{"core:sample_rate": 1e6}), codes.tobytes())
    sigmf.fromfile(str(path)).tofile(str(tmp_path / "r.sigmf"))
    (tmp_path / "r.sigmf-meta").rename(tmp_path / "other.sigmf-meta")      # the archive stands alone
    (tmp_path / "r.sigmf-data").rename(tmp_path / "other.sigmf-data")
    assert cli.main(["agc", str(tmp_path / "r.sigmf"), str(tmp_path / "a.sigmf-meta"), "--out-format", "ci8",
                     "--out-scale", "0.5"]) == 0
    assert cli.main(["agc", str(tmp_path / "other.sigmf-data"), str(tmp_path / "b.sigmf-meta"), "--out-format",
                     "ci8", "--out-scale", "0.5"]) == 0
    expected = sample_format("ci8").encode(reference(sample_format("cu8").decode(codes.tobytes())), 0.5)
    assert (tmp_path / "a.sigmf-data").read_bytes() == (tmp_path / "b.sigmf-data").read_bytes() == bytes(expected)
    top = json.loads((tmp_path / "a.sigmf-meta").read_text())["global"]
    assert top["core:datatype"] == "ci8" and top["quorvel:agc"]["output_scale"] == 0.5


def test_many_recordings_take_an_archive_and_a_pair_named_twice(tmp_path):
    codes = np.random.default_rng(10).integers(0, 256, 2 * 3000).astype(np.uint8)
    path = write_pair(tmp_path, "p", meta("cu8"), codes.tobytes())
    sigmf.fromfile(str(path)).tofile(str(tmp_path / "a.sigmf"))
    assert cli.main(["agc", str(path), str(tmp_path / "one.sigmf-meta")]) == 0
    out = tmp_path / "out"
    summary = batch.level_files([tmp_path / "[ap].sigmf*"], out, workers=1)
    assert summary.ok and [os.path.basename(row.input) for row in summary] == ["a.sigmf", "p.sigmf-data"]
    assert sorted(os.listdir(out)) == ["a.sigmf-data", "a.sigmf-meta", "p.sigmf-data", "p.sigmf-meta", "quorvel-manifest.jsonl"]
    for stem in "ap":
        assert (out / f"{stem}.sigmf-data").read_bytes() == (tmp_path / "one.sigmf-data").read_bytes()


def test_raw_input_becomes_a_recording(tmp_path):
    x = np.full(1000, 0.25 + 0j, "<c8")
    x.tofile(tmp_path / "in.cf32")
    assert cli.main(["agc", str(tmp_path / "in.cf32"), str(tmp_path / "out.sigmf-meta"), "--ref-db", "-6"]) == 0
    back = sigmf.fromfile(str(tmp_path / "out.sigmf-meta"))
    assert back.get_global_field("core:datatype") == "cf32_le" and back.get_captures() == [{"core:sample_start": 0}]
    assert back.read_samples().tobytes() == reference(x, ref_db=-6.0).tobytes()


BAD = {
    "unknown datatype": (meta("cf64_le"), b"\0" * 64, 1, "datatype 'cf64_le' is not one quorvel reads"),
    "real samples": (meta("rf32_le"), b"\0" * 64, 1, "datatype 'rf32_le' is not one quorvel reads"),
    "size mismatch": (meta("ci16_le", 2), b"\0" * 81, 1, "81 bytes are not a whole number of 8-byte samples"),
    "captures past the end": (meta("ci8", captures=[{"core:sample_start": 0}, {"core:sample_start": 99}]),
                              b"\0" * 20, 1, "holds 20 bytes of samples, fewer than its captures describe"),
    "schema": ({"global": {"core:version": "1.2.0"}, "captures": [], "annotations": []}, b"", 1,
               "invalid SigMF metadata: 'core:datatype' is a required property (at global)"),
    "not json": ("{oops", b"", 1, "not JSON"),
    "no data file": (meta("cu8"), None, 1, "rec.sigmf-data: no such file (the samples of"),
    "metadata only": (meta("cu8", **{"core:metadata_only": True}), None, 1, "a metadata-only recording"),
}


@pytest.mark.parametrize("case", BAD)
def test_bad_recordings_fail_in_one_line_and_write_nothing(tmp_path, case):
    metadata, data, status, message = BAD[case]
    (tmp_path / "rec.sigmf-meta").write_text(metadata if isinstance(metadata, str) else json.dumps(metadata))
    if data is not None:
        (tmp_path / "rec.sigmf-data").write_bytes(data)
    for name in ("out.sigmf-meta", "out.sigmf-data"):
        (tmp_path / name).write_text("previous")
    before = sorted(os.listdir(tmp_path))
    result = quorvel("agc", tmp_path / "rec.sigmf-meta", tmp_path / "out.sigmf-meta", text=True)
    assert result.returncode == status
    assert message in one_line(result.stderr)
    assert sorted(os.listdir(tmp_path)) == before
    assert (tmp_path / "out.sigmf-meta").read_text() == (tmp_path / "out.sigmf-data").read_text() == "previous"


def test_naming_the_data_without_its_metadata(tmp_path):
    (tmp_path / "rec.sigmf-data").write_bytes(b"\0" * 8)
    result = quorvel("agc", tmp_path / "rec.sigmf-data", tmp_path / "out.cf32", text=True)
    assert result.returncode == 1 and "rec.sigmf-meta: no such file (the metadata of" in one_line(result.stderr)
    result = quorvel("agc", tmp_path / "none.sigmf-meta", tmp_path / "out.cf32", text=True)
    assert result.returncode == 2 and "none.sigmf-meta: no such file" in one_line(result.stderr)


def test_in_format_must_name_a_format_and_the_recording_s_own(tmp_path):
    path = write_pair(tmp_path, "rec", meta("cu8"), b"\x80" * 64)
    for given, message in (("cu16", "unknown sample format 'cu16'"), ("ci8", "--in-format ci8 disagrees with the "
                                                                              "datatype cu8")):
        result = quorvel("agc", path, tmp_path / "out.cf32", "--in-format", given, text=True)
        assert result.returncode == 2 and message in one_line(result.stderr)
    assert not (tmp_path / "out.cf32").exists()


def test_outputs_are_kept_apart_from_the_input_pair(tmp_path):
    path = write_pair(tmp_path, "rec", meta("cu8"), b"\x80" * 64)
    for output in ("rec.sigmf-data", "rec.sigmf-meta"):
        result = quorvel("agc", path, tmp_path / output, text=True)
        assert result.returncode == 2 and one_line(result.stderr) == "quorvel: error: OUTPUT must not be INPUT"
    result = quorvel("agc", path, tmp_path / "x.sigmf", text=True)
    assert result.returncode == 2 and "name OUTPUT .sigmf-meta or .sigmf-data" in one_line(result.stderr)
    assert (tmp_path / "rec.sigmf-data").read_bytes() == b"\x80" * 64


def test_a_failure_midway_leaves_both_files_as_they_were(tmp_path, monkeypatch):
    path = write_pair(tmp_path, "rec", meta("cu8"), b"\x80" * 20_000)
    for name in ("out.sigmf-meta", "out.sigmf-data"):
        (tmp_path / name).write_text("previous")

    def failing(self, block):
        raise OSError(5, "Input/output error", "rec.sigmf-data")
    monkeypatch.setattr("quorvel._recordings.channels.ChannelBank.level", failing)
    assert cli.main(["agc", str(path), str(tmp_path / "out.sigmf-data")]) == 1
    assert (tmp_path / "out.sigmf-meta").read_text() == (tmp_path / "out.sigmf-data").read_text() == "previous"
    assert sorted(os.listdir(tmp_path)) == ["out.sigmf-data", "out.sigmf-meta", "rec.sigmf-data", "rec.sigmf-meta"]


def test_without_the_sigmf_package_the_command_says_what_to_install(tmp_path):
    path = write_pair(tmp_path, "rec", meta("cu8"), b"\x80" * 64)
    fake = tmp_path / "fake"
    fake.mkdir()
    (fake / "sigmf.py").write_text("raise ImportError('No module named sigmf')\n")
    result = subprocess.run([sys.executable, "-m", "quorvel", "agc", str(path), str(tmp_path / "o.cf32")],
                            capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=str(fake)))
    assert result.returncode == 1
    assert one_line(result.stderr) == "quorvel: error: SigMF recordings need the sigmf package: " \
                                      "pip install 'quorvel[sigmf]'"


# -- hostile recordings ----------------------------------------------------------------------

def archive(path, members):
    """A tar archive of ``members``, (name, bytes) in order."""
    with tarfile.open(path, "w", format=tarfile.GNU_FORMAT) as tar:
        for name, data in members:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    return path


def test_an_archive_is_one_recording_of_plain_members(tmp_path):
    floats = np.full(512, 0.5 - 0.25j, "<c8")
    codes = np.arange(2 * 512, dtype=np.uint8).astype(np.int8)
    cf32, ci8 = json.dumps(meta("cf32_le")).encode(), json.dumps(meta("ci8")).encode()
    # Paired by name and folder, whatever the order and whatever else the archive holds.
    one = archive(tmp_path / "one.sigmf", [("x/rec.sigmf-data", codes.tobytes()), ("y/rec.sigmf-data", floats.tobytes()),
                                           ("y/rec.sigmf-meta", cf32), ("y/notes.txt", b"hello")])
    assert level_recording(one, tmp_path / "one.cf32").samples == 512
    assert (tmp_path / "one.cf32").read_bytes() == reference(floats).tobytes()
    two = archive(tmp_path / "two.sigmf", [("a/a.sigmf-meta", cf32), ("a/a.sigmf-data", floats.tobytes()),
                                           ("b/b.sigmf-meta", ci8), ("b/b.sigmf-data", codes.tobytes())])
    lonely = archive(tmp_path / "lonely.sigmf", [("a/a.sigmf-meta", cf32), ("b/a.sigmf-data", floats.tobytes())])
    linked = tmp_path / "linked.sigmf"
    with tarfile.open(linked, "w") as tar:
        info = tarfile.TarInfo("r/r.sigmf-meta")
        info.size = len(ci8)
        tar.addfile(info, io.BytesIO(ci8))
        info = tarfile.TarInfo("r/r.sigmf-data")
        info.type, info.linkname = tarfile.SYMTYPE, "/etc/passwd"
        tar.addfile(info)
    sparse = tmp_path / "s"
    sparse.mkdir()
    (sparse / "r.sigmf-meta").write_bytes(ci8)
    with open(sparse / "r.sigmf-data", "wb") as file:  # a hole, which GNU tar stores as one
        file.write(b"\1" * 4096)
        file.seek(1 << 16, os.SEEK_CUR)
        file.write(b"\2" * 4096)
    cut = tmp_path / "cut.sigmf"
    cut.write_bytes(archive(tmp_path / "whole.sigmf", [("r/r.sigmf-meta", ci8),
                                                      ("r/r.sigmf-data", bytes(1 << 16))]).read_bytes()[:20_000])
    cases = {two: "holds 2 recordings (a/a.sigmf-meta, b/b.sigmf-meta); quorvel reads an archive of one",
             lonely: "holds no a/a.sigmf-data member(s) for a/a.sigmf-meta",
             linked: "its member r/r.sigmf-data is not a plain file",
             cut: "its member r/r.sigmf-data claims 65536 bytes, more than the archive holds"}
    for form in ("gnu", "pax"):
        path = tmp_path / f"sparse-{form}.sigmf"
        subprocess.run(["tar", "--sparse", f"--format={form}", "-cf", path, "-C", tmp_path, "s/r.sigmf-meta",
                        "s/r.sigmf-data"], check=True)
        cases[path] = "its member s/r.sigmf-data is not a plain file"
    for path, message in cases.items():
        result = quorvel("agc", path, tmp_path / "out.cf32", text=True)
        assert result.returncode == 1 and one_line(result.stderr) == f"quorvel: error: {path}: {message}"
    assert not (tmp_path / "out.cf32").exists()


def test_metadata_names_no_file_outside_its_folder(tmp_path):
    (tmp_path / "secret.cf32").write_bytes(b"\0" * 64)
    (tmp_path / "rec").mkdir()
    (tmp_path / "rec" / "sub").mkdir()
    (tmp_path / "rec" / "sub" / "x.dat").write_bytes(b"\0" * 64)
    for dataset in ("../secret.cf32", str(tmp_path / "secret.cf32"), "sub/x.dat", "..", "."):
        path = write_pair(tmp_path / "rec", "r", meta("cf32_le", **{"core:dataset": dataset}), b"")
        result = quorvel("agc", path, tmp_path / "out.cf32", text=True)
        line = one_line(result.stderr)
        assert result.returncode == 1 and f"{path}: " in line and repr(dataset) in line and "core:dataset" in line
        if not dataset.startswith("/"):  # the schema refuses an absolute name itself
            assert line.endswith("is not the name of a file beside it; quorvel reads no dataset in another folder")
    assert not (tmp_path / "out.cf32").exists()


def test_files_that_are_not_regular_are_refused_before_they_are_opened(tmp_path):
    ok = write_pair(tmp_path, "ok", meta("ci8"), b"\1" * 64)
    os.mkfifo(tmp_path / "fifo.sigmf-data")
    (tmp_path / "fifo.sigmf-meta").write_text(json.dumps(meta("ci8")))
    os.mkfifo(tmp_path / "meta.sigmf-meta")
    (tmp_path / "meta.sigmf-data").write_bytes(b"")
    os.mkfifo(tmp_path / "a.sigmf")
    os.mkfifo(tmp_path / "raw.cf32")
    cases = [("fifo.sigmf-meta", 1, "fifo.sigmf-data: not a regular file (the samples of {tmp}/fifo.sigmf-meta)"),
             ("fifo.sigmf-data", 2, "fifo.sigmf-data: not a regular file"),
             ("meta.sigmf-data", 1, "meta.sigmf-meta: not a regular file (the metadata of {tmp}/meta.sigmf-data)"),
             ("a.sigmf", 2, "a.sigmf: not a regular file")]
    for name, status, message in cases:
        result = quorvel("agc", tmp_path / name, tmp_path / "out.cf32", text=True, timeout=60)
        assert result.returncode == status
        assert one_line(result.stderr) == f"quorvel: error: {tmp_path}/" + message.format(tmp=tmp_path)
    # A batch names them too, and levels the rest.
    summary = batch.level_files([ok, *(tmp_path / name for name in ("fifo.sigmf-meta", "a.sigmf", "raw.cf32"))],
                                tmp_path / "out", workers=1)
    assert [row.error for row in summary] == [None, f"{tmp_path}/fifo.sigmf-data: not a regular file (the samples "
                                              f"of {tmp_path}/fifo.sigmf-meta)", f"{tmp_path}/a.sigmf: not a "
                                              "regular file", f"{tmp_path}/raw.cf32: not a regular file"]


def test_memory_follows_the_data_not_the_channel_count(tmp_path):
    code = "import resource, sys; from quorvel import cli; status = cli.main(sys.argv[1:]); " \
           "print(status, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)"

    def peak_kib(channels):  # the peak of a whole run refused for its channel count
        path = write_pair(tmp_path, f"wide{channels}", meta("ci8", channels), b"")
        result = subprocess.run([sys.executable, "-c", code, "agc", path, tmp_path / "out.cf32"],
                                capture_output=True, text=True)
        status, kib = map(int, result.stdout.split())
        assert status == 1
        return path, result, kib

    _, _, baseline = peak_kib(2)  # the interpreter and its imports, under this build (a sanitizer's among them)
    path, result, kib = peak_kib(10**7)
    assert kib - baseline < 100_000  # loops for 10^7 channels would take over 1 GB
    assert one_line(result.stderr) == f"quorvel: error: {path}: core:num_channels 10000000 is more channels than " \
        f"{tmp_path}/wide10000000.sigmf-data's 0 bytes of samples fill (20000000 bytes a sample); quorvel sizes its memory " \
        "by the data"
    codes = np.random.default_rng(4).integers(-128, 128, 2 * 3 * 1000).astype(np.int8)
    assert level_recording(write_pair(tmp_path, "three", meta("ci8", 3), codes.tobytes()),  # as many as fill
                           tmp_path / "three.cf32").samples == 1000


def test_many_captures_are_read_in_time_linear_in_their_number(tmp_path):
    # 500,000 captures behind one-byte headers: half a minute of list shuffling when each range
    # read cost time in the number left; a second or so when it does not.
    code = """
import sys
import numpy as np
from quorvel._recordings.source import Source
from quorvel.formats import sample_format
from quorvel.iqfile import level_recording
path, out = sys.argv[1:]
n = 500_000
raw = np.random.default_rng(1).integers(-128, 128, (n, 9), dtype=np.int8)
raw[:, 0] = 0
raw.tofile(path)
source = Source(name=path, path=path, format=sample_format("ci8"), ranges=[(9 * k + 1, 8) for k in range(n)])
assert level_recording(source, out, block=1 << 16).samples == 4 * n
"""
    path, out = tmp_path / "in.ci8", tmp_path / "out.cf32"
    result = subprocess.run([sys.executable, "-c", code, path, out], capture_output=True, text=True, timeout=30)
    assert result.returncode == 0, result.stderr
    codes = np.fromfile(path, np.int8).reshape(-1, 9)[:, 1:]
    assert out.read_bytes() == reference(sample_format("ci8").decode(codes.tobytes())).tobytes()


@pytest.mark.parametrize("depth", [600, 100_000])  # deeper than the schema check goes; than the JSON parser does
def test_deeply_nested_metadata_is_not_json(tmp_path, depth):
    text = json.dumps(meta("ci8")).replace('"core:version": "1.2.0"', '"core:version": "1.2.0", "x:deep": ' + "[" * depth +
                                           "]" * depth)
    (tmp_path / "deep.sigmf-meta").write_text(text)
    (tmp_path / "deep.sigmf-data").write_bytes(b"")
    result = quorvel("agc", tmp_path / "deep.sigmf-meta", tmp_path / "out.cf32", text=True)
    assert result.returncode == 1 and one_line(result.stderr) == \
        f"quorvel: error: {tmp_path}/deep.sigmf-meta: not JSON (nested deeper than quorvel reads)"
