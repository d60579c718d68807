"""A corpus-driven fuzzer of the readers: the bundled files and a few crafted
seeds, mutated deterministically (bit flips, interesting bytes, truncations,
deletions, duplications, splices, inserted tokens, mutated XML re-zipped), each
mutant read with ``read_plate`` and told with ``guess_kind``. A mutant may be
read or refused with a ReaderError; any other exception is a finding, saved
with its traceback.

    /usr/bin/python3 tests/python/fuzz_readers.py [--count N] [--seed S] [--findings DIR]

Exit status 1 when there was a finding. The test suite runs a short budget
under a memory cap and a time limit; longer runs take a larger --count.
"""
import argparse
import io
import random
import re
import sys
import tempfile
import traceback
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "data"
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(Path(__file__).resolve().parent))

from hostile_corpus import rdml, react, sample_csv  # noqa: E402
from quelmar.common.errors import ReaderError  # noqa: E402
from quelmar.reading.kinds import guess_kind, read_plate  # noqa: E402

#: Zip files small enough to be fuzzed whole; the others give their XML, cut short.
WHOLE_ZIPS = ("stepone_std.rdml", "test_rdml.rdml", "BioRad_384.rdml")
REACTS_KEPT = 3
CSV_LINES = 12
TOKENS = [b"<!DOCTYPE x>", b"NaN", b"1e999", b"-INF", b"1e-320", b"<adp><cyc>1</cyc><fluor>1</fluor></adp>",
          b"<mdp><tmp>60</tmp><fluor>1</fluor></mdp>", b"</rdml>", b'<rdml version="1.0">', b"\xef\xbb\xbf",
          b"\xff\xfe", b"\x00", b",,,", b"\r\n", b'<?xml version="1.0" encoding="x-y"?>', b"]]>", b"<![CDATA[",
          b"&amp;", b"&#0;", b"&#xFFFF;", b"<react id=\"1\">", b"</data>", b"\t", b";", b'"', b"9" * 400,
          b"<!--", b"-->", b"<?pi", b"&undefined;", b"PK\x03\x04", b"PK\x05\x06"]
INTERESTING = b"\x00\xff<>&\"'\n\r,;\t0123456789.-eE"
NUMBERS = [b"NaN", b"1e999", b"-1", b"0", b"1e-320", b"1e300", b"", b"abc", b"1,5", b" 7 ", b"40", b"100", b"2.5",
           b"-0", b"1e-100", b"99999999999999999999", b"0x10", b"1_0", b"+inf"]
_NUMBER = re.compile(rb"-?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?")
_ELEMENT = re.compile(rb"<(adp|mdp|react|data|sample|target|run|experiment)\b.*?</\1>", re.S)


def _cut_xml(text):
    """An RDML document kept to its first reactions, closed again."""
    ends = [m.end() for m in re.finditer(r"</react>", text)]
    if len(ends) <= REACTS_KEPT:
        return text
    return text[:ends[REACTS_KEPT - 1]] + "</run></experiment></rdml>"


def seeds():
    """(name, bytes, is XML to be zipped sometimes) of every seed."""
    out = []
    for path in sorted((DATA / "rdml").glob("*.rdml")):
        if path.name in WHOLE_ZIPS:
            out.append((path.name, path.read_bytes(), False))
        with zipfile.ZipFile(path) as z:
            member = "rdml_data.xml" if "rdml_data.xml" in z.namelist() else z.namelist()[0]
            out.append((f"{path.name}:{member}", _cut_xml(z.read(member).decode("utf-8")).encode(), True))
    for path in sorted(DATA.glob("*.csv")):
        lines = path.read_bytes().splitlines(keepends=True)[:CSV_LINES]
        out.append((path.name, b"".join(lines), False))
    melt = rdml([react(1, cycles=[60 + 0.5 * k for k in range(12)], tag="mdp", axis="tmp")])
    out += [("crafted rdml", rdml().encode(), True), ("crafted melt", melt.encode(), True),
            ("crafted csv", sample_csv().encode(), False),
            ("crafted utf-16", b"\xff\xfe" + rdml().encode("utf-16-le"), True)]
    return out


def _zip(data):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("rdml_data.xml", data)
    return buffer.getvalue()


def mutate(rng, data, other):
    """One mutation of ``data`` (``other``: a second seed for splices)."""
    data = bytearray(data)
    n = len(data)
    choice = rng.randrange(11)
    if choice >= 8 and n:
        return _structured(rng, bytes(data), choice)
    if n == 0 or choice == 7:
        at = rng.randrange(n + 1)
        data[at:at] = rng.choice(TOKENS)
    elif choice == 0:
        for _ in range(rng.randint(1, 8)):
            data[rng.randrange(n)] ^= 1 << rng.randrange(8)
    elif choice == 1:
        for _ in range(rng.randint(1, 4)):
            data[rng.randrange(n)] = rng.choice(INTERESTING)
    elif choice == 2:
        del data[rng.randrange(n):]
    elif choice == 3:
        a = rng.randrange(n)
        del data[a:a + rng.randint(1, 64)]
    elif choice == 4:
        a = rng.randrange(n)
        piece = data[a:a + rng.randint(1, 256)]
        data[a:a] = piece * rng.randint(1, 4)
    elif choice == 5:
        data = data[:rng.randrange(n + 1)] + other[rng.randrange(len(other) + 1):]
    else:
        a, b = sorted((rng.randrange(n), rng.randrange(n)))
        data[a:b] = bytes(reversed(data[a:b]))
    return bytes(data)


def _structured(rng, data, choice):
    """Mutations that keep a file mostly well-formed, to reach past the parser:
    a number replaced, an element repeated elsewhere, two lines swapped."""
    if choice == 8:
        numbers = list(_NUMBER.finditer(data))
        if numbers:
            m = rng.choice(numbers)
            return data[:m.start()] + rng.choice(NUMBERS) + data[m.end():]
    elif choice == 9:
        elements = list(_ELEMENT.finditer(data))
        if elements:
            m, at = rng.choice(elements), rng.choice(elements)
            where = rng.choice((at.start(), at.end()))
            return data[:where] + m.group() + data[where:]
    lines = data.split(b"\n")
    if len(lines) > 2:
        a, b = rng.randrange(len(lines)), rng.randrange(len(lines))
        lines[a], lines[b] = lines[b], lines[a]
    return b"\n".join(lines)


def mutants(count, seed):
    """``count`` (suffix, bytes) mutants, the same for the same seed."""
    rng, pool = random.Random(seed), seeds()
    for _ in range(count):
        name, data, xml = rng.choice(pool)
        for _ in range(rng.choice((1, 1, 2, 3))):
            data = mutate(rng, data, rng.choice(pool)[1])
        if xml and rng.random() < 0.3:
            data = _zip(data)
        yield rng.choice((".rdml", ".csv", ".xml", "")), data, name


def run(count, seed, findings):
    """Read every mutant; returns the number of findings (each saved in ``findings``)."""
    found, read, refused = 0, 0, 0
    with tempfile.TemporaryDirectory() as work:
        for k, (suffix, data, name) in enumerate(mutants(count, seed)):
            path = Path(work) / f"mutant{suffix}"
            path.write_bytes(data)
            try:
                guess_kind(read_plate(path))
                read += 1
            except ReaderError:
                refused += 1
            except Exception:  # noqa: BLE001 - anything else is what this looks for
                found += 1
                Path(findings).mkdir(parents=True, exist_ok=True)
                keep = Path(findings) / f"finding-{seed}-{k}{suffix}"
                keep.write_bytes(data)
                print(f"finding {keep} (from {name}):\n{traceback.format_exc()}", flush=True)
    print(f"fuzz_readers: {count} mutants, {read} read, {refused} refused, {found} findings")
    return found


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--count", type=int, default=2000)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--findings", default=str(Path(tempfile.gettempdir()) / "quelmar-fuzz-findings"))
    args = p.parse_args(argv)
    return 1 if run(args.count, args.seed, args.findings) else 0


if __name__ == "__main__":
    sys.exit(main())
