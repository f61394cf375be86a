"""A raw file's extension names its format: read and written by it when no
format is given, a format that contradicts it refused unless forced, and a
batch's outputs named by the format they hold."""

import numpy as np
import pytest

from quorvel import batch
from quorvel.formats import EXTENSIONS, FORMATS, extension_for, format_of_name
from quorvel.iqfile import UsageError, level_file

from helpers import one_line, quorvel


def codes(path, n=4000, seed=0):
    rng = np.random.default_rng(seed)
    rng.integers(0, 256, 2 * n).astype(np.uint8).tofile(path)


def test_the_table_names_known_formats_and_an_extension_for_each():
    assert set(EXTENSIONS.values()) == {fmt.family for fmt in FORMATS.values()}
    for fmt in FORMATS.values():
        assert format_of_name("x" + extension_for(fmt)).family == fmt.family
    assert format_of_name("/a.b/REC.CS16").name == "ci16" and format_of_name("rec.cs16.part") is None
    for name in ("rec.raw", "rec.bin", "rec", "rec.sigmf-data", ".cu8"):   # a dot file has no extension
        assert format_of_name(name) is None


def test_names_set_the_formats_as_the_flags_would(tmp_path):
    codes(tmp_path / "in.cu8")
    (tmp_path / "in.bin").write_bytes((tmp_path / "in.cu8").read_bytes())
    by_name = level_file(tmp_path / "in.cu8", tmp_path / "named.cs16")
    by_flags = level_file(tmp_path / "in.bin", tmp_path / "flagged.bin", in_format="cu8", out_format="ci16")
    assert by_name == by_flags == 4000
    assert (tmp_path / "named.cs16").read_bytes() == (tmp_path / "flagged.bin").read_bytes()
    assert level_file(tmp_path / "in.bin", tmp_path / "plain.bin") == 1000   # no name, no flag: cf32, as before


@pytest.mark.parametrize("args, message", [
    (["in.cu8", "out.cf32", "--in-format", "ci16"], "in.cu8: the name says cu8, not ci16"),
    (["in.cu8", "out.cs16", "--out-format", "cf32"], "out.cs16: the name says ci16, not cf32"),
    (["in.cu8", "-o", "outdir", "--in-format", "ci8", "--workers", "1"], None),        # each file fails
])
def test_a_contradiction_is_refused_unless_forced(tmp_path, args, message):
    codes(tmp_path / "in.cu8")
    result = quorvel("agc", *args, cwd=tmp_path, text=True)
    if message is None:
        assert result.returncode == 1 and "in.cu8: the name says cu8, not ci8" in result.stderr
        assert not (tmp_path / "outdir" / "in.cf32").exists()
    else:
        assert result.returncode == 2 and one_line(result.stderr) == f"quorvel: error: {message}; rename it, or " \
                                                                     "force the format (--force-format)"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["in.cu8"]
    forced = quorvel("agc", *args, "--force-format", cwd=tmp_path, text=True)
    assert forced.returncode == 0, forced.stderr
    big_endian = quorvel("agc", "in.cu8", "be.cs16", "--out-format", "ci16_be", cwd=tmp_path, text=True)
    assert big_endian.returncode == 0, big_endian.stderr                   # byte order is no contradiction


def test_a_batch_names_its_outputs_by_their_format(tmp_path):
    for name in ("a.cu8", "b.ci16", "c.bin"):
        codes(tmp_path / name, seed=len(name))
    summary = batch.level_files([tmp_path / n for n in ("a.cu8", "b.ci16", "c.bin")], tmp_path / "out", workers=1,
                                out_format="ci16", force_format=True)
    assert summary.ok and [row.output.rsplit("/", 1)[1] for row in summary] == ["a.cs16", "b.ci16", "c.bin"]
    level_file(tmp_path / "a.cu8", tmp_path / "single.cs16")
    assert (tmp_path / "out" / "a.cs16").read_bytes() == (tmp_path / "single.cs16").read_bytes()
    as_floats = batch.level_files([tmp_path / "a.cu8"], tmp_path / "floats", workers=1)
    assert as_floats.ok and as_floats[0].output.endswith("a.cf32")
    (tmp_path / "a.cs16").write_bytes(b"")
    with pytest.raises(UsageError, match="would both be written to"):     # a.cu8 would become a.cs16 too
        batch.level_files([tmp_path / "a.cu8", tmp_path / "a.cs16"], tmp_path / "both", out_format="ci16")
