"""The readers on hostile input, each file in a fresh process under a 1 GiB
address-space cap and a time limit: a clean ReaderError or a correct result,
never a traceback, a hang, a signal or a fetched entity. The inputs are made
by hostile_corpus.py at test time."""
from concurrent.futures import ThreadPoolExecutor

import pytest

import hostile_corpus as hc

WORKERS = 2


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    directory = tmp_path_factory.mktemp("hostile")
    context = {}
    prepared = [hc.prepare(case, directory, context) for case in hc.CASES]
    with ThreadPoolExecutor(WORKERS) as pool:
        results = list(pool.map(lambda cp: hc.read_case(*cp), zip(hc.CASES, prepared)))
    yield {c.name: (p[0], o) for c, p, o in zip(hc.CASES, prepared, results)}, context
    for s in context.get("keep", []) + ([context["server"]] if "server" in context else []):
        s.close()


@pytest.mark.parametrize("case", hc.CASES, ids=[c.name for c in hc.CASES])
def test_crafted_input_is_refused_cleanly_or_read(outcomes, case):
    path, outcome = outcomes[0][case.name]
    problem = hc.verdict(case, outcome)
    assert problem is None, f"{problem}: {outcome.out[-500:]} {outcome.err[-2000:]}"
    if outcome.kind == "refused":  # one line, naming the file
        assert outcome.out.count("\n") == 1 and outcome.out.startswith("<stdin>: " if path == "-" else f"{path}: ")


def test_no_external_entity_or_dtd_was_fetched(outcomes):
    assert hc.connections(outcomes[1]) == 0


def test_standard_input_is_read_whole_and_kind_told_from_its_content(outcomes):
    csv, rdml = (outcomes[0][f"standard input, {what} through a pipe"][1] for what in ("a CSV", "an RDML zip"))
    assert csv.out.split("\n")[:2] == ["amplification", "2"] and rdml.out.split("\n")[:2] == ["amplification", "2"]


def test_memory_stays_bounded(outcomes):
    assert max(o.peak for _, o in outcomes[0].values()) < 512 * 1024  # KiB; the cap is 1 GiB


FUZZ = hc.Path(__file__).resolve().parent / "fuzz_readers.py"
FUZZ_BUDGET = 2000


def test_fuzzed_files_are_read_or_refused_and_nothing_else(tmp_path):
    """The corpus-driven fuzzer's short, fixed budget, in one capped process."""
    outcome = hc.run([hc.sys.executable, str(FUZZ), "--count", str(FUZZ_BUDGET), "--seed", "1",
                      "--findings", str(tmp_path)], timeout=300)
    assert outcome.kind == "read" and f"{FUZZ_BUDGET} mutants" in outcome.out and " 0 findings" in outcome.out, \
        outcome.out[-4000:] + outcome.err[-2000:]
