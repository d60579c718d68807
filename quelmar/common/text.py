"""Text from files, made safe for where it is written.

Well, sample and file names come from strangers. On a terminal an escape
sequence in one can clear the screen or recolour it, a carriage return or a
backspace can overwrite a row with a forged one, and a bidirectional override
can show a name backwards. A file name that is not valid UTF-8 reaches Python
as lone surrogates (``os.fsdecode``), which no UTF-8 file or stream accepts.

:func:`encodable` writes those surrogates as escapes and changes nothing
else; :func:`printable` also writes every character a terminal would act on as
the escape Python would write for it, so the text reads the same and acts on
nothing. A byte of a file name that is not UTF-8 shows as ``\\xNN``, the byte
itself.
"""
import re

#: Bytes that were not UTF-8 in a name from the operating system come back as these surrogates.
SURROGATE_BYTES = (0xDC80, 0xDCFF)
_SURROGATES = re.compile("[\ud800-\udfff]")
#: A superset of what Python does not count as printable (controls, formatting, separators,
#: surrogates, unassigned); the plain space and ASCII's letters, digits and punctuation are out.
_SUSPECT = re.compile(r"[^ \w!-/:-@\[-`{-~]")


def _surrogate(c, backslash="\\"):
    code = ord(c)
    if SURROGATE_BYTES[0] <= code <= SURROGATE_BYTES[1]:
        return f"{backslash}x{code - 0xDC00:02x}"
    return f"{backslash}u{code:04x}"


def _escape(match):
    c = match.group()
    if c.isprintable():
        return c
    return _surrogate(c) if _SURROGATES.match(c) else repr(c)[1:-1]


def encodable(text, backslash="\\"):
    """``text`` with lone surrogates written as their escapes, so that it can be written as UTF-8;
    nothing else changes. ``backslash`` starts each escape (JSON text needs two, one escaping the other)."""
    text = str(text)
    if not _SURROGATES.search(text):
        return text
    return _SURROGATES.sub(lambda m: _surrogate(m.group(), backslash), text)


def printable(text):
    """``text`` with every character a terminal would act on written as its escape.

    Newlines included: one line stays one line. Letters, digits and
    punctuation of every script are kept as they are.
    """
    text = str(text)
    return text if text.isprintable() else _SUSPECT.sub(_escape, text)
