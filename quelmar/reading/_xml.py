"""XML read as a stream by expat, in bounded memory and linear time.

What this guards against, and how:

- Document type declarations (and with them every entity: billion laughs,
  external files or URLs) are refused at ``<!DOCTYPE``; nothing is ever
  fetched. RDML documents have none.
- A huge token (one tag, comment or processing instruction of megabytes):
  expat re-scans an unfinished token from its start each time more data is
  fed, so feeding it in fixed chunks costs the square of its length. The
  unfinished part is measured after every feed (expat's current byte index
  stays at the token's start), the next feed is made at least as large, which
  keeps the total work linear, and a token past ``limits.token_bytes`` is
  refused.
- Deep nesting is refused past ``limits.depth``; the size of the document is
  bounded by whoever hands in the chunks.
- Encodings expat does not know itself (GBK, windows-1252 ...) are decoded by
  Python's codec and fed as UTF-8; an encoding nobody knows is refused by name.
  Byte-order marks (UTF-8, UTF-16) are read by expat, UTF-32 by Python.
"""
import codecs
import re
from xml.parsers import expat

from ..common.limits import CHUNK, describe_size, how_to_raise

#: The encodings expat decodes itself (names compared without case).
NATIVE = {"utf-8", "utf-16", "utf-16le", "utf-16be", "iso-8859-1", "us-ascii"}
#: Namespace URI and local name are reported joined by this character.
SEPARATOR = "}"
_DECLARATION = re.compile(rb"<\?xml[^>]{0,200}?encoding\s*=\s*[\"']([A-Za-z][A-Za-z0-9._-]{0,39})[\"']")
_UTF8_BOM = codecs.BOM_UTF8
_HEAD = 1024


class Stop(Exception):
    """Raised by a handler to end the parse early (e.g. a root that is not wanted)."""


def declared_encoding(head):
    """The encoding named by the XML declaration at the start of ``head``, or
    by a UTF-32 byte-order mark, or None (no declaration, or a UTF-16 document,
    which expat reads by itself)."""
    if head.startswith((codecs.BOM_UTF32_LE, codecs.BOM_UTF32_BE)):
        return "utf-32"
    if head[:2] in (codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE, b"<\0", b"\0<"):
        return None
    match = _DECLARATION.match(head[len(_UTF8_BOM):] if head.startswith(_UTF8_BOM) else head)
    return match.group(1).decode("ascii") if match else None


def looks_like_xml(head):
    """Whether bytes start like an XML document: ``<`` after an optional
    byte-order mark and white space, in UTF-8 or UTF-16."""
    for bom, encoding in ((codecs.BOM_UTF32_LE, "utf-32-le"), (codecs.BOM_UTF32_BE, "utf-32-be"),
                          (codecs.BOM_UTF16_LE, "utf-16-le"), (codecs.BOM_UTF16_BE, "utf-16-be")):
        if head.startswith(bom):
            return head[len(bom):len(bom) + 64].decode(encoding, errors="ignore").lstrip().startswith("<")
    if head[:2] in (b"<\0", b"\0<"):
        return True
    return (head[len(_UTF8_BOM):] if head.startswith(_UTF8_BOM) else head).lstrip().startswith(b"<")


def _transcoded(chunks, encoding, fail):
    decoder = codecs.getincrementaldecoder(encoding)(errors="strict")
    try:
        for chunk in chunks:
            text = decoder.decode(chunk)
            if not isinstance(text, str):
                fail(f"declares the encoding {encoding!r}, which is not a text encoding")
            yield text.encode("utf-8")
        yield decoder.decode(b"", final=True).encode("utf-8")
    except UnicodeDecodeError as e:
        fail(f"holds bytes that are not {encoding} text ({e.reason} at byte {e.start} of a chunk)")


def parse(chunks, handler, limits, fail):
    """Feed the chunks of one document to expat and ``handler``.

    Parameters
    ----------
    chunks : iterable of bytes
        The document; its total size is bounded by the caller.
    handler : object
        ``start(tag, attributes)``, ``end(tag)`` and ``text(str)`` are called
        for elements (tags as ``uri}local``) and character data. Within
        ``start`` the handler may call ``handler.skip(depth)`` (set here) to
        pass over the element just started, ``depth`` levels deep, and
        everything in it (no ``end`` follows; the depth inside is bounded by
        ``limits.depth``), or raise :class:`Stop` to end the parse. The
        handler bounds the depth of what it keeps.
    limits : quelmar.common.limits.Limits
    fail : callable
        ``fail(problem)`` raises the caller's ReaderError for the document.

    Returns
    -------
    bool
        False when a handler stopped the parse, True when the document was read to its end.
    """
    chunks = iter(chunks)
    head = b""
    for chunk in chunks:
        head += chunk
        if len(head) >= _HEAD:
            break
    encoding = declared_encoding(head)
    first = [head]

    def all_chunks():
        yield from first
        yield from chunks

    stream = all_chunks()
    if encoding is not None and encoding.lower() not in NATIVE:
        try:
            codecs.lookup(encoding)
        except LookupError:
            fail(f"declares the encoding {encoding!r}, which is not known")
        stream = _transcoded(stream, encoding, fail)
        parser = expat.ParserCreate(encoding="UTF-8", namespace_separator=SEPARATOR)
    else:
        parser = expat.ParserCreate(namespace_separator=SEPARATOR)
    _wire(parser, handler, limits, fail)
    try:
        _feed(parser, stream, limits, fail)
    except Stop:
        return False
    except expat.ExpatError as e:
        fail(f"is not well-formed XML ({expat.ErrorString(e.code)}: line {e.lineno}, column {e.offset})")
    except (LookupError, ValueError, UnicodeError) as e:  # the encoding, as expat asked Python for it
        fail(f"declares an encoding that cannot be read ({e})")
    return True


def _wire(parser, handler, limits, fail):
    """Connect the handler's methods to expat directly (they run once per
    event); a subtree the handler declines is passed over by two small
    functions that only count its depth, with no text delivered."""
    parser.SetParamEntityParsing(expat.XML_PARAM_ENTITY_PARSING_NEVER)
    parser.buffer_text = True
    parser.buffer_size = CHUNK
    depth, skipped_at = [0], [0]

    def doctype(*_):
        fail("has a document type declaration (<!DOCTYPE>); RDML needs none, and none is read")

    def skip(base):
        """Pass over the element just started, ``base`` levels deep, and all in it."""
        skipped_at[0] = depth[0] = base
        parser.StartElementHandler, parser.EndElementHandler = skip_start, skip_end
        parser.CharacterDataHandler = None

    def skip_start(_tag, _attributes):
        depth[0] += 1
        if depth[0] > limits.depth:
            fail(f"nests elements more than {limits.depth} deep")

    def skip_end(_tag):
        depth[0] -= 1
        if depth[0] < skipped_at[0]:
            parser.StartElementHandler, parser.EndElementHandler = handler.start, handler.end
            parser.CharacterDataHandler = handler.text

    handler.skip = skip
    parser.StartDoctypeDeclHandler = doctype
    parser.EntityDeclHandler = doctype
    parser.ExternalEntityRefHandler = doctype
    parser.StartElementHandler = handler.start
    parser.EndElementHandler = handler.end
    parser.CharacterDataHandler = handler.text


def _feed(parser, stream, limits, fail):
    fed, pending, queued = 0, 0, bytearray()
    for chunk in stream:
        queued += chunk
        if len(queued) < max(CHUNK, pending):
            continue  # a token is unfinished: the next feed at least doubles what expat holds of it
        parser.Parse(bytes(queued), False)
        fed += len(queued)
        queued.clear()
        done = parser.CurrentByteIndex
        pending = fed - done if done >= 0 else fed
        if pending > limits.token_bytes:
            fail(f"has a tag, comment or processing instruction longer than the limit of "
                 f"{describe_size(limits.token_bytes)} {how_to_raise('token')}")
    parser.Parse(bytes(queued), True)
