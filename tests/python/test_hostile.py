"""The readers and the command on hostile input, each file in a fresh process
under a 1 GiB address-space cap and a time limit: a clean refusal (one line
naming the file, no output left behind) or the result the input was made to
give, never a traceback, a hang, a signal or a fetched entity. The inputs are
made by hostile_corpus.py at test time."""
from concurrent.futures import ThreadPoolExecutor

import pytest

import hostile_corpus as hc

WORKERS = 2
#: The command runs on the inputs tagged for it: amplify, melt and report on each, the other
#: subcommands where the input is made for them.
COMMAND_RUNS = [(c, s) for c in hc.CASES if "command" in c.tags for s in hc.SUBCOMMANDS
                if hc.run_by(c, s) and (s in ("amplify", "melt", "report") or s in c.readers or c.only)]


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    directory = tmp_path_factory.mktemp("hostile")
    context = {}
    prepared = {c.name: hc.prepare(c, directory, context) for c in hc.CASES}
    yield directory, prepared, context
    for s in context.get("keep", []) + ([context["server"]] if "server" in context else []):
        s.close()


@pytest.fixture(scope="module")
def outcomes(corpus):
    _, prepared, context = corpus
    with ThreadPoolExecutor(WORKERS) as pool:
        results = list(pool.map(lambda c: hc.read_case(c, prepared[c.name]), hc.CASES))
    return {c.name: (hc.named(prepared[c.name]), o) for c, o in zip(hc.CASES, results)}, context


@pytest.fixture(scope="module")
def command_outcomes(corpus, tmp_path_factory):
    _, prepared, _ = corpus
    outputs = tmp_path_factory.mktemp("outputs")

    def one(run):
        (case, subcommand), out = run, hc.output(outputs, hc.CASES.index(run[0]), run[1], run[0])
        outcome = hc.command_case(case, prepared[case.name], subcommand, out)
        return outcome, hc.command_verdict(case, subcommand, outcome, hc.named(prepared[case.name]), out)
    with ThreadPoolExecutor(WORKERS) as pool:
        return dict(zip([(c.name, s) for c, s in COMMAND_RUNS], pool.map(one, COMMAND_RUNS)))


@pytest.mark.parametrize("case", hc.CASES, ids=[c.name for c in hc.CASES])
def test_crafted_input_is_refused_cleanly_or_read(outcomes, case):
    path, outcome = outcomes[0][case.name]
    problem = hc.verdict(case, outcome)
    assert problem is None, f"{problem}: {outcome.out[-500:]} {outcome.err[-2000:]}"
    if outcome.kind == "refused":  # one line, naming the file
        assert outcome.out.count("\n") == 1 and outcome.out.startswith(f"{path}: ")


@pytest.mark.parametrize("case, subcommand", COMMAND_RUNS, ids=[f"{s} {c.name}" for c, s in COMMAND_RUNS])
def test_the_command_refuses_cleanly_or_gives_the_crafted_result(command_outcomes, case, subcommand):
    outcome, problem = command_outcomes[case.name, subcommand]
    assert problem is None, f"{problem}: {outcome.out[-500:]} {outcome.err[-2000:]}"


@pytest.mark.parametrize("case", hc.API_CASES, ids=[c.name for c in hc.API_CASES])
def test_the_api_refuses_naming_the_problem(case):
    outcome = hc.api_case(case)
    assert hc.api_verdict(case, outcome) is None, outcome.out + outcome.err[-2000:]


def test_no_external_entity_or_dtd_was_fetched(outcomes, command_outcomes):
    assert hc.connections(outcomes[1]) == 0


def test_standard_input_is_read_whole_and_kind_told_from_its_content(outcomes):
    csv, rdml = (outcomes[0][f"standard input, {what} through a pipe"][1] for what in ("a CSV", "an RDML zip"))
    assert csv.out.split("\n")[:2] == ["amplification", "2"] and rdml.out.split("\n")[:2] == ["amplification", "2"]


def test_memory_stays_bounded(outcomes, command_outcomes):
    runs = [o for _, o in outcomes[0].values()] + [o for o, _ in command_outcomes.values()]
    assert max(o.peak for o in runs) < 512 * 1024  # KiB; the cap is 1 GiB


FUZZ = hc.Path(__file__).resolve().parent / "fuzz_readers.py"
FUZZ_BUDGET = 2000


def test_fuzzed_files_are_read_or_refused_and_nothing_else(tmp_path):
    """The corpus-driven fuzzer's short, fixed budget, in one capped process."""
    outcome = hc.run([hc.sys.executable, str(FUZZ), "--count", str(FUZZ_BUDGET), "--seed", "1",
                      "--findings", str(tmp_path)], timeout=300)
    assert outcome.kind == "read" and f"{FUZZ_BUDGET} mutants" in outcome.out and " 0 findings" in outcome.out, \
        outcome.out[-4000:] + outcome.err[-2000:]
