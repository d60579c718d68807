"""Bounds on what the readers take in, checked while reading, before the work.

A file from a stranger may be a zip that inflates to gigabytes, an endless
device, a FIFO that never delivers, or an XML document with one tag the size of
the disk. The readers therefore read only regular files (or ``-``, standard
input, read once into a bounded buffer), count every byte as it arrives, and
stop at the first limit with a :class:`~quelmar.common.errors.ReaderError` that names
the file and the limit.

The defaults are generous for real runs (a 384-well plate with four channels
and a fine melt is a few tens of MB of XML) and keep one reader call well under
1 GB of memory. They are set through the API (``Limits(file_bytes=...)``), the
environment (``QUELMAR_LIMITS="file=512M,document=1G"``) or an option of the
command handing the same text to :meth:`Limits.parse`.
"""
import copy
import io
import os
import stat
import sys
from dataclasses import dataclass, fields, replace

from .errors import ReaderError

ENV_VAR = "QUELMAR_LIMITS"
STDIN = "-"
STDIN_NAME = "<stdin>"

KiB, MiB, GiB = 1 << 10, 1 << 20, 1 << 30
_SUFFIXES = {"": 1, "k": KiB, "m": MiB, "g": GiB}

#: The chunk in which files, zip members and standard input are read.
CHUNK = 64 * KiB


@dataclass(frozen=True)
class Limits:
    """What one reader call may take in.

    Attributes
    ----------
    file_bytes : int
        Bytes read from one file (a zip archive counts as its own size).
    document_bytes : int
        Bytes of one XML document, inflated (a zip member or a plain file).
    readings : int
        Numbers kept from one file (cycles, temperatures and fluorescence).
    wells : int
        Wells, reactions, samples or targets of one file, each counted apart.
    token_bytes : int
        Characters of one XML comment or processing instruction, and of the
        text or an attribute of one element the reader keeps (the XML parser
        itself reads none of more than 10,000,000).
    depth : int
        Nesting depth of XML elements.
    line_bytes : int
        Characters of one CSV line.
    members : int
        Members of one zip archive.
    """

    file_bytes: int = 256 * MiB
    document_bytes: int = 256 * MiB
    readings: int = 16 * MiB
    wells: int = 100_000
    token_bytes: int = 1 * MiB
    depth: int = 64
    line_bytes: int = 4 * MiB
    members: int = 10_000

    #: The names accepted by :meth:`parse` and the environment variable.
    NAMES = {"file": "file_bytes", "document": "document_bytes", "readings": "readings", "wells": "wells",
             "token": "token_bytes", "depth": "depth", "line": "line_bytes", "members": "members"}

    def __post_init__(self):
        for f in fields(self):
            value = getattr(self, f.name)
            if isinstance(value, bool) or not isinstance(value, int) or value < 1:
                raise ValueError(f"limit {f.name} must be a positive integer, not {value!r}")

    def parse(self, text):
        """These limits with the settings of ``text`` applied.

        Parameters
        ----------
        text : str
            Comma-separated ``NAME=SIZE`` settings, NAME one of file,
            document, readings, wells, token, depth, line, members; SIZE an
            integer with an optional K, M or G (powers of 1024), e.g.
            ``"file=512M,document=1G"``.

        Returns
        -------
        Limits

        Raises
        ------
        ValueError
            For an unknown name or a size that is not a positive integer.
        """
        changes = {}
        for item in filter(None, (part.strip() for part in text.split(","))):
            name, sep, size = item.partition("=")
            key = self.NAMES.get(name.strip().lower())
            if not sep or key is None:
                raise ValueError(f"limit {item!r}: expected NAME=SIZE with NAME one of {', '.join(self.NAMES)}")
            changes[key] = parse_size(size, name.strip())
        return replace(self, **changes)

    @classmethod
    def from_env(cls, environ=None):
        """The defaults with the settings of ``$QUELMAR_LIMITS`` applied (ValueError when malformed)."""
        text = (os.environ if environ is None else environ).get(ENV_VAR, "")
        try:
            return cls().parse(text)
        except ValueError as e:
            raise ValueError(f"{ENV_VAR}: {e}") from None


def parse_size(text, name="size"):
    """An integer with an optional K, M or G suffix (powers of 1024): "512M" -> 536870912."""
    t = text.strip().lower().removesuffix("b").removesuffix("i")
    number, unit = (t[:-1], t[-1]) if t and t[-1] in "kmg" else (t, "")
    if not number.isdigit() or len(number) > 15 or int(number) < 1:
        raise ValueError(f"limit {name}: {text!r} is not a positive size (e.g. 4096, 512K, 64M, 1G)")
    return int(number) * _SUFFIXES[unit]


def format_size(n):
    """A size as parse_size reads it back, in the largest unit that divides it: 256M."""
    for suffix, unit in (("G", GiB), ("M", MiB), ("K", KiB)):
        if n % unit == 0:
            return f"{n // unit}{suffix}"
    return str(n)


def describe_size(n):
    """Bytes as people say them: 1 KiB, 256 MiB, 1.5 GiB."""
    for unit, size in (("GiB", GiB), ("MiB", MiB), ("KiB", KiB)):
        if n >= size:
            return f"{n / size:.3g} {unit}"
    return f"{n} bytes"


def default_limits(limits):
    """``limits``, or the environment's when None."""
    if limits is None:
        try:
            return Limits.from_env()
        except ValueError as e:
            raise ReaderError(ENV_VAR, str(e)) from None
    if not isinstance(limits, Limits):
        raise TypeError(f"limits must be a quelmar.common.limits.Limits, not {type(limits).__name__}")
    return limits


def how_to_raise(setting):
    """The hint that ends every message on a limit."""
    return f"(raise it with {ENV_VAR}={setting}=...)"


def over_problem(what, limit, setting):
    """The message for a limit that was hit: what, the limit and how to raise it."""
    return f"{what} is over the limit of {limit} {how_to_raise(setting)}"


def over(name, what, limit, setting):
    """The ReaderError for a limit that was hit."""
    return ReaderError(name, over_problem(what, limit, setting))


# -- bounded input ------------------------------------------------------------------

class _Bounded(io.RawIOBase):
    """A seekable byte stream that refuses to be read past ``limit``.

    Reading the byte at offset ``limit`` raises; the file may be exactly
    ``limit`` bytes long.
    """

    def __init__(self, raw, limit, name):
        super().__init__()
        self._raw, self._limit, self.name = raw, limit, name

    def readable(self):
        return True

    def seekable(self):
        return True

    def seek(self, offset, whence=io.SEEK_SET):
        return self._raw.seek(offset, whence)

    def tell(self):
        return self._raw.tell()

    def readinto(self, buffer):
        try:
            room = self._limit - self._raw.tell()
            if room <= 0:
                if self._raw.read(1):
                    raise over(self.name, "the file", describe_size(self._limit), "file")
                return 0
            view = memoryview(buffer).cast("B")
            return self._raw.readinto(view[:min(len(view), room)])
        except OSError as e:  # a failing disk or a vanished network file: the reader's error too
            raise ReaderError(self.name, f"cannot be read ({e.strerror or e})") from None

    def close(self):
        if not self.closed:
            self._raw.close()
        super().close()


class Source:
    """One input opened for reading: a regular file or standard input.

    Attributes
    ----------
    name : str
        The name errors use: the path as given, or ``<stdin>``.
    limits : Limits
    """

    def __init__(self, name, raw, limits):
        self.name, self.limits = name, limits
        self._stream = _Bounded(raw, limits.file_bytes, name)
        self._owner = True

    def borrowed(self):
        """The same input for a reader that must not close it: whoever opened it closes it."""
        other = copy.copy(self)
        other._owner = False
        return other

    def stream(self):
        """The whole input from its first byte, as a seekable bounded binary stream."""
        self._stream.seek(0)
        return self._stream

    def head(self, n=1024):
        """The first ``n`` bytes, without using them up."""
        stream = self.stream()
        data = stream.read(n) or b""
        stream.seek(0)
        return data

    def close(self):
        if self._owner:
            self._stream.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


_KIND = {stat.S_IFDIR: "a directory", stat.S_IFIFO: "a FIFO (named pipe)", stat.S_IFCHR: "a character device",
         stat.S_IFBLK: "a block device", stat.S_IFSOCK: "a socket"}


def _not_regular(name, mode):
    what = _KIND.get(stat.S_IFMT(mode), "not a regular file")
    return ReaderError(name, f"is {what}; only regular files are read (or - for standard input)")


def open_input(path, limits=None):
    """Open ``path`` for a reader, refusing what cannot be read safely.

    Parameters
    ----------
    path : str, bytes, path-like or Source
        A regular file (a name that is not UTF-8 is read as the system
        gives it; messages show its odd bytes escaped), or ``-`` for standard
        input (read once, at most ``limits.file_bytes``); a Source already
        open is lent as it is (closing what is returned leaves it open).
    limits : Limits, optional
        Default: :meth:`Limits.from_env`.

    Returns
    -------
    Source

    Raises
    ------
    ReaderError
        For a missing or unreadable file, a directory, FIFO, device or socket,
        or a file over the size limit.
    """
    limits = default_limits(limits)
    if isinstance(path, Source):
        return path.borrowed()
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"path must be a str, bytes or path-like, not {type(path).__name__}")
    name = os.fspath(path)
    if isinstance(name, bytes):
        name = os.fsdecode(name)
    if name == STDIN:
        return Source(STDIN_NAME, io.BytesIO(_read_stdin(limits)), limits)
    try:
        info = os.stat(name)  # stat, not open: opening a FIFO waits for a writer
        if not stat.S_ISREG(info.st_mode):
            raise _not_regular(name, info.st_mode)
        flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_BINARY", 0)
        fd = os.open(name, flags)
    except (OSError, ValueError) as e:  # ValueError: a NUL in the path
        raise ReaderError(name, getattr(e, "strerror", None) or str(e)) from None
    raw = os.fdopen(fd, "rb", buffering=0)
    try:
        info = os.fstat(fd)  # the file opened may not be the one looked at
        if not stat.S_ISREG(info.st_mode):
            raise _not_regular(name, info.st_mode)
        if info.st_size > limits.file_bytes:
            raise over(name, f"the file ({describe_size(info.st_size)})", describe_size(limits.file_bytes), "file")
    except BaseException:
        raw.close()
        raise
    return Source(name, raw, limits)


def _read_stdin(limits):
    """All of standard input, refused once it passes the file limit."""
    stream = getattr(sys.stdin, "buffer", None)
    if stream is None:
        raise ReaderError(STDIN_NAME, "standard input is not open")
    data = bytearray()
    try:
        while True:
            chunk = stream.read(CHUNK)
            if not chunk:
                return bytes(data)
            data += chunk
            if len(data) > limits.file_bytes:
                raise over(STDIN_NAME, "standard input", describe_size(limits.file_bytes), "file")
    except OSError as e:
        raise ReaderError(STDIN_NAME, e.strerror or str(e)) from None


def read_bounded(stream, limit, name, what, setting):
    """Chunks of ``stream`` until its end, refusing once their sum passes ``limit``."""
    total = 0
    while True:
        chunk = stream.read(CHUNK)
        if not chunk:
            return
        total += len(chunk)
        if total > limit:
            raise over(name, what, describe_size(limit), setting)
        yield chunk
