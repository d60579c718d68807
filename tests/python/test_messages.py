"""The English message table holds exactly the texts the library can raise:
the GBK bytes of every message constant, decoded here from the C source."""
import re

from conftest import ROOT

from quelmar.errors import ENGLISH


def _library_messages():
    text = (ROOT / "src" / "base" / "messages.h").read_text(encoding="utf-8")
    messages = set()
    for literal in re.findall(r'^inline constexpr char k\w+\[\] = ((?:"[^"]*"\s*)+);', text, re.MULTILINE):
        pieces = re.findall(r'"((?:[^"\\]|\\.)*)"', literal)  # adjacent literals end a \x escape early
        raw = b"".join(re.sub(r"\\x([0-9a-fA-F]{2})", lambda m: chr(int(m.group(1), 16)), p).encode("latin-1")
                       for p in pieces)
        messages.add(raw.decode("gbk"))
    return messages


def test_the_english_table_is_the_library_message_set():
    library = _library_messages()
    assert len(library) == 24 and set(ENGLISH) == library
