"""The benchmark suite's own logic: NumPy equivalents, timing, targets, the
command line and the peer harnesses (benchmarks/)."""

import math
import sys
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))

import machine  # noqa: E402
import peer_build  # noqa: E402
import run as bench_run  # noqa: E402
from gnuradio_or_skip import require_native_blocks  # noqa: E402
from report import FasterBy, PerItemAtMost, Rate, RateAtLeast, RatioAtMost, Report, Row  # noqa: E402
from sections import fixed_point as fp  # noqa: E402
from timing import Call, Plan, interleaved, peak_bytes  # noqa: E402

arith = pytest.importorskip("quorvel.arith")


@pytest.mark.parametrize("fmt, op", [(f, op) for f in fp.FORMATS for op in f.ops], ids=lambda v: getattr(v, "suffix", v))
def test_numpy_expressions_give_the_kernels_exact_results(fmt, op):
    rng = np.random.default_rng(5)
    for n in (0, 1, 7, 49, 1000):  # 49: exactly every pair of extremes
        a, b = fp.operands(fmt, n, rng)
        fp.check_equivalent(arith, fmt, op, a, b)


def test_a_wrong_expression_is_caught(monkeypatch):
    monkeypatch.setitem(fp._FIXED, "add", "np.clip(a.astype(np.int32) + b, {lo}, {hi} - 1).astype(np.{dt})")
    a, b = fp.operands(fp.Q15, 100, np.random.default_rng(1))
    with pytest.raises(AssertionError, match="add_q15 differs"):
        fp.check_equivalent(arith, fp.Q15, "add", a, b)
    monkeypatch.setitem(fp._FIXED, "dot", "int(np.dot(a.astype(np.int16), b))")  # wraps early
    with pytest.raises(AssertionError, match="dot_q15 differs"):
        fp.check_equivalent(arith, fp.Q15, "dot", a, b)


def test_interleaved_medians_stay_with_their_candidates():
    small, large = Call("sum(r)", r=range(100)), Call("sum(r)", r=range(20000))
    t_large, t_small, t_large2 = interleaved([large, small, large], Plan(rounds=5, min_sample=0.0005))
    assert t_small * 20 < t_large
    assert 0.5 < t_large / t_large2 < 2


def test_budget_cuts_rounds_but_not_below_the_minimum():
    class Counting:
        seconds, count = 1.0, 0

        def sample(self):
            self.count += 1
            return 1.0

    for plan, expected in ((Plan(rounds=50, budget=3.0, min_rounds=4), 4), (Plan(rounds=7, budget=1e9), 7),
                           (Plan(rounds=50, budget=12.0, min_rounds=4), 6)):
        a, b = Counting(), Counting()  # two candidates: a round lasts 2 s
        interleaved([a, b], plan)
        assert a.count == b.count == expected


def test_call_of_binds_positional_and_keyword_arguments():
    out = np.zeros(3)
    call = Call.of(np.add, np.ones(3), 2, out=out)
    assert call.run() is out and out.tolist() == [3, 3, 3]
    assert call.timer().timeit(2) >= 0


def test_peak_bytes_sees_a_temporary_buffer_but_not_a_view():
    x = np.zeros(1 << 16)
    assert peak_bytes(Call("x.copy()", x=x), 10) >= x.nbytes
    assert peak_bytes(Call("x[:]", x=x), 10) < 1024


def test_targets_judge_at_their_limits():
    assert RatioAtMost(1.1).judge(1.1, 1.0)[1] and not RatioAtMost(1.1).judge(1.1001, 1.0)[1]
    assert FasterBy(20).judge(1.0, 20.0)[1] and not FasterBy(20).judge(1.0, 19.9)[1]
    assert FasterBy(20).judge(1.0, None) == ("-", None)
    per_point = PerItemAtMost(2.5, 1000, "pt")
    assert per_point.judge(2.5e-6, None) == ("2.5 ns/pt", True) and not per_point.judge(2.6e-6, None)[1]
    rate = RateAtLeast(190, 65536)
    assert rate.judge(65536 / 191e6, None)[1] and not rate.judge(65536 / 189e6, None)[1]
    assert Rate(1 << 20).judge(1 / 32, None) == ("33.55 Msample/s", None)


def test_table_lines_up_and_lists_missed_rows():
    report = Report("t", rows=[
        Row("a", "1M", 2e-3, 1e-3, RatioAtMost(1.1)),
        Row("a much longer operation", "16", 1e-9, 2e-9, RatioAtMost(1.0)),
        Row("no baseline", "1", None, None),
    ])
    lines = report.render().splitlines()[1:]
    col = lines[0].index("target")
    assert [ln[col:col + 2] for ln in lines[2:]] == ["<=", "<=", "- "]
    assert lines[-1].split()[-1] == "-"
    assert [r.op for r in report.missed()] == ["a"]


def test_only_takes_dashes_and_commas_and_keeps_the_run_order():
    assert bench_run.parse_args(["--only", "agc-peers,arith"]).sections == ["arith", "agc_peers"]
    assert bench_run.parse_args(["--only", "agc", "--only", "interp"]).sections == ["interp", "agc"]
    with pytest.raises(SystemExit):
        bench_run.parse_args(["--only", "arith,nonsense"])


def test_a_failing_section_is_reported_and_the_rest_still_runs(monkeypatch, capsys):
    def fake(name):
        def run(ctx):
            if name == "arith":
                raise AssertionError("kernel disagrees")
            raise bench_run.Skip("peer missing; apt-get install it")
        return SimpleNamespace(TITLE=f"title {name}", run=run)

    monkeypatch.setattr(bench_run, "load", fake)
    assert bench_run.main(["--only", "arith,agc_peers"]) == 1
    out = capsys.readouterr().out
    assert "FAILED" in out and "kernel disagrees" in out
    assert "title agc_peers" in out and "skipped: peer missing; apt-get install it" in out
    assert "failed: arith" in out


def test_quick_agc_section_prints_its_table(capsys):
    pytest.importorskip("quorvel.agc")
    assert bench_run.main(["--quick", "--only", "agc"]) == 0
    out = capsys.readouterr().out
    assert "NumPy" in out and "CPU" in out
    for decim in (8, 16, 64):
        assert f"steps, decim {decim} " in out
    for setting in ("max_gain_db", "gate_db", "attack_db", "PRESETS['burst']"):
        assert f"steps, decim 8, {setting}" in out
    assert "Msample/s" in out and "FAILED" not in out


def test_agc_bank_section_measures_every_row(tmp_path):
    pytest.importorskip("quorvel.agc")
    from sections import Context, agc_bank

    report = agc_bank.run(Context(quick=True, build_dir=tmp_path), dram=(4, 1 << 12), recording=(3, 1 << 12))
    assert len(report.rows) == len(agc_bank.SHAPES) + 9
    assert any("gate_db and attack_db on vs off" in row.op for row in report.rows)
    assert all(row.ours > 0 and row.base > 0 for row in report.rows)
    assert report.rows[0].target.text == ">= 3x faster" and report.rows[-6].op.startswith("two threads")
    assert [row.target.text for row in report.rows[-5:]] == ["<= 1.20x", "-", "<= 1.20x", "-", ">= 1.5x faster"]
    assert "one 3-channel SigMF recording vs 3 files" in report.rows[-1].op


def test_cpuinfo_reads_the_first_processor(tmp_path):
    f = tmp_path / "cpuinfo"
    f.write_text("processor\t: 0\nmodel name\t: First\ncpu MHz\t\t: 3000.5\n\nprocessor\t: 1\nmodel name\t: Second\n")
    assert machine.cpuinfo(str(f))["model name"] == "First"
    assert machine.cpuinfo(str(tmp_path / "missing")) == {}


def test_a_missing_peer_header_says_how_to_install(tmp_path):
    harness = peer_build.Harness("gr_agc", "no/such/peer.h", install="apt-get install peer-dev")
    with pytest.raises(peer_build.Unavailable, match="not found; apt-get install peer-dev"):
        peer_build.build(harness, tmp_path)


@pytest.mark.parametrize("name", ["GR_AGC", "LIQUID_AGC"])
def test_peer_harness_builds_and_runs_the_loop(tmp_path, name):
    from sections import agc_peers

    harness = getattr(agc_peers, name)
    if not peer_build.header_found(harness.header):
        pytest.skip(f"{harness.header} not installed ({harness.install})")
    x = np.full(4096, 0.1 + 0.1j, np.complex64)
    x.tofile(tmp_path / "x.c64")
    sampler = peer_build.PeerSampler(peer_build.build(harness, tmp_path), tmp_path / "x.c64", x.size, runs=3)
    assert sampler.sample() > 0
    assert math.isfinite(sampler.power) and sampler.power > 0.02  # the loop raised the -17 dB input


def test_interp_agreement_check_rejects_a_small_deviation():
    from sections import interp as section

    rng = np.random.default_rng(3)
    table, x = section.complex_table(64, rng), rng.uniform(-320, 320, 1000)
    exact = np.interp(x, np.arange(64.0), table, period=64)
    section.check_against_numpy(exact, x, table)
    with pytest.raises(AssertionError, match="differs from np.interp"):
        section.check_against_numpy(exact + 1e-9, x, table)


def test_allocation_row_tells_a_preallocated_call_from_one_that_allocates():
    from sections import agc as section

    x = np.zeros(4096, np.complex64)
    out = np.empty_like(x)
    in_place = SimpleNamespace(steps=lambda x, out=None: x if out is None else out)
    copying = SimpleNamespace(steps=lambda x, out=None: x.copy())
    assert section.allocation_row(in_place, x, out).met is True
    assert section.allocation_row(copying, x, out).met is False


def test_peer_section_without_any_peer_skips_with_install_hints(monkeypatch, tmp_path):
    from sections import Context, Skip, agc_peers

    pytest.importorskip("quorvel.agc")

    def unavailable(harness, build_dir):
        raise peer_build.Unavailable(f"<{harness.header}> not found; {harness.install}")

    monkeypatch.setattr(agc_peers, "build", unavailable)
    with pytest.raises(Skip) as skip:
        agc_peers.run(Context(quick=True, build_dir=tmp_path))
    assert "apt-get install gnuradio-dev" in str(skip.value) and "apt-get install libliquid-dev" in str(skip.value)


def test_a_failing_harness_is_an_error_not_a_number(tmp_path):
    sampler = peer_build.PeerSampler(Path("/bin/false"), tmp_path / "x.c64", 16)
    with pytest.raises(RuntimeError, match="false"):
        sampler.sample()


def test_cmsisdsp_peers_shift_the_same_way_as_ours():
    dsp = pytest.importorskip("cmsisdsp")
    from sections import cmsisdsp as section

    for fmt in (fp.Q15, fp.Q8):
        a, b = fp.operands(fmt, 1000, np.random.default_rng(2))
        for op in fmt.ops:
            ours = fp.kernel_call(arith, fmt, op, a, b).run()
            peer = section.peer_call(dsp, fmt, op, a, b).run()
            # The peer truncates where we round half up: at most one step apart.
            if isinstance(ours, np.ndarray):
                assert np.max(np.abs(ours.astype(np.int32) - peer)) <= 1, op
            else:
                assert ours == peer, op


def test_flowgraph_section_measures_every_block_at_both_buffer_sizes(tmp_path):
    require_native_blocks()
    from sections import Context, gr_flowgraph

    report = gr_flowgraph.run(Context(quick=True, build_dir=tmp_path), items=1 << 16)
    rows = {row.op: row for row in report.rows}
    for label, buffer in gr_flowgraph.BUFFERS.items():
        for name in ("source -> head -> null_sink, no block", "GNU Radio agc3_cc",
                     "Python block that only copies (gateway ceiling)", "native agc_cc (gr-quorvel)",
                     "head -> 8 null_sinks, no block", "8 GNU Radio agc3_cc", "8 native agc_cc",
                     "native agc_bank_cc(8)"):
            row = rows[f"{name}, {label}"]
            assert row.ours > 0 and row.cells()[4].endswith("Msample/s")
        for versus, base, target in [("quorvel agc_cc vs agc3_cc", "GNU Radio agc3_cc",
                                      ">= 1.3x faster" if buffer else "-"),
                                     ("native agc_cc vs agc3_cc", "GNU Radio agc3_cc", "-" if buffer else ">= 1.5x faster"),
                                     ("agc_bank_cc(8) vs 8 agc3_cc", "8 GNU Radio agc3_cc", ">= 3x faster"),
                                     ("agc_bank_cc(8) vs 8 native agc_cc", "8 native agc_cc", "-")]:
            row = rows[f"{versus}, {label}"]
            assert row.base == rows[f"{base}, {label}"].ours and row.target.text == target
    assert rows["agc_bank_cc(8) with GNU Radio's output buffers vs 8 agc3_cc, default buffers"].ours > 0
