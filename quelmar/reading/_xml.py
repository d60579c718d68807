"""XML read as a stream by libxml2 (through lxml), in bounded memory and linear time.

The document is fed to libxml2's push parser in the chunks its reader hands
in; libxml2 builds the tree in C, and after every chunk the part of it that
is complete is handed to a builder and then cut away, so that the tree never
holds much more than one chunk and the elements the builder keeps. No Python
runs per element but for those the builder keeps: the builder takes whole
runs of complete elements at once, through XPath.

What this guards against, and how:

- Document type declarations, and with them every entity (billion laughs,
  external files or URLs), are refused: before libxml2 sees the document
  when one is in its first chunk, else when the root element is reached;
  libxml2 is told never to load a DTD, resolve an entity or touch the network,
  and a resolver that hands out nothing stands behind it, so a parser that
  asked for something would be refused too. RDML documents have no DOCTYPE.
- A huge token: a comment or processing instruction past ``limits.token_bytes``
  is refused as libxml2 reports it (the builder bounds the text and the
  attributes of what it keeps); libxml2 itself reads no token, text or
  attribute past 10,000,000 characters (its bound without XML_PARSE_HUGE).
- Deep nesting past ``limits.depth`` (libxml2's own bound is 256 levels),
  and a data point still being read of more than POINT_NODES_MAX nodes: it
  is the one part of the tree held whole across chunks.
- The size of the document is bounded by whoever hands in the chunks.
- Encodings libxml2 does not read itself (GBK, windows-1252, UTF-32 ...) are
  decoded by Python's codec and fed as UTF-8; an encoding nobody knows is
  refused by name. Byte-order marks (UTF-8, UTF-16) are read by libxml2.
"""
import codecs
import functools
import importlib
import re

from ..common.limits import describe_size, how_to_raise

#: The encodings libxml2 is left to decode (names compared without case).
NATIVE = {"utf-8", "utf-16", "utf-16le", "utf-16be", "iso-8859-1", "us-ascii"}
#: libxml2's bound on one text, attribute value or token (XML_MAX_TEXT_LENGTH).
PARSER_TEXT_MAX = 10_000_000
#: Nodes one data point may hold while it is read (its two or three values, their text, a comment):
#: a point is kept whole until it ends, so it is bounded apart.
POINT_NODES_MAX = 1024
#: libxml2's messages that mean one of its bounds was reached, and what the reader says of each.
_PARSER_BOUNDS = (("huge text node", "text"), ("huge input lookup", "token"), ("comment too big", "token"),
                  ("pi too big", "token"), ("attvalue length too long", "token"), ("name too long", "token"),
                  ("excessive depth", "depth"))
_DECLARATION = re.compile(rb"<\?xml[^>]{0,200}?encoding\s*=\s*[\"']([A-Za-z][A-Za-z0-9._-]{0,39})[\"']")
_UTF8_BOM = codecs.BOM_UTF8
_HEAD = 1024
_OPTIONS = dict(resolve_entities=False, no_network=True, load_dtd=False, dtd_validation=False,
                attribute_defaults=False, huge_tree=False, remove_comments=False, remove_pis=False,
                strip_cdata=True, recover=False, collect_ids=False)


def declared_encoding(head):
    """The encoding named by the XML declaration at the start of ``head``, or
    by a UTF-32 byte-order mark, or None (no declaration, or a UTF-16 document,
    which libxml2 reads by itself)."""
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


def local_name(tag):
    """``{uri}local`` -> local; a comment's or processing instruction's tag (not a str) -> None."""
    if not isinstance(tag, str):
        return None
    return tag[tag.rfind("}") + 1:]


def namespace(tag):
    return tag[1:tag.index("}")] if tag.startswith("{") else ""


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


def _stream(chunks, fail):
    """The chunks as libxml2 is fed them, and the encoding it is told (None: the document's own)."""
    chunks = iter(chunks)
    head = b""
    for chunk in chunks:
        head += chunk
        if len(head) >= _HEAD:
            break
    encoding = declared_encoding(head)

    def all_chunks():
        yield head
        yield from chunks
    if encoding is None or encoding.lower() in NATIVE:
        return all_chunks(), None
    try:
        codecs.lookup(encoding)
    except LookupError:
        fail(f"declares the encoding {encoding!r}, which is not known")
    return _transcoded(all_chunks(), encoding, fail), "UTF-8"


def etree():
    """lxml's etree, imported on first use: a command that reads no RDML (or none yet) does not wait for it."""
    return importlib.import_module("lxml.etree")


@functools.lru_cache(maxsize=None)
def _no_fetch_type():
    class NoFetch(etree().Resolver):
        """Stands behind libxml2's own refusal to load anything: an entity or DTD asked for is empty, and noted."""

        def __init__(self):
            super().__init__()
            self.asked = []

        def resolve(self, url, public_id, context):
            self.asked.append(url or public_id or "")
            return self.resolve_string("", context)
    return NoFetch


@functools.lru_cache(maxsize=None)
def xpath(expression, **options):
    """A compiled XPath, once per expression."""
    return etree().XPath(expression, **options)


def _parser(events, tag, encoding, no_fetch, keep=True):
    """A push parser; ``keep`` False drops comments and processing instructions (nobody reads them)."""
    options = dict(_OPTIONS, remove_comments=not keep, remove_pis=not keep)
    parser = etree().XMLPullParser(events=events, tag=tag, encoding=encoding, **options)
    parser.resolvers.add(no_fetch)
    return parser


class Tree:
    """The part of the document the parser has built: its root, and the checks
    and cuts made on its complete part after every chunk.

    Every element the parser has finished is a child, or inside a child, of
    one of the elements on the path from the root to the last element started
    (the ones still open); the children of a path element are finished but
    its last, which is the next on the path. After each chunk the finished
    children of every path element are checked for depth, handed to the
    builder and cut from the tree. The last node of an
    element is never cut, so that the parser, which appends text to it, never
    holds a node that is gone.
    """

    def __init__(self, root, builder, limits, fail):
        self.root, self.builder, self.limits, self.fail = root, builder, limits, fail

    def path(self):
        path = [self.root]
        while len(path[-1]):
            last = path[-1][-1]
            if local_name(last.tag) is None:  # a comment or processing instruction: complete, and last
                break
            path.append(last)
        return path

    def cut(self, complete):
        """Check, hand over and cut what is complete; ``complete`` after the document's end."""
        if complete:
            self._check(self.root, 1, True)
            self.builder.done(self.root, 1, True)
            return
        path = self.path()
        if len(path) > self.limits.depth:
            self.fail(f"nests elements more than {self.limits.depth} deep")
        whole = self.builder.open(path)
        if whole < len(path) and self._point_too_big(path[whole]):
            self.fail(f"has a data point of more than {POINT_NODES_MAX} nodes")
        for depth, element in enumerate(path[:whole], 1):
            # The deepest element's children are all complete: its last node is a comment or none.
            every = element is path[-1]
            self._check(element, depth, every)
            self.builder.done(element, depth, every)
            if len(element) > 1:
                del element[:-1]

    def _point_too_big(self, point):
        return xpath(f"boolean(descendant::node()[{POINT_NODES_MAX + 1}])")(point)

    def _check(self, element, depth, every):
        """Refuse a finished child of ``element`` that nests too deep."""
        deep = xpath("boolean(*[position() < last() + $every]" + "/*" * (self.limits.depth - depth) + ")")
        if deep(element, every=int(every)):
            self.fail(f"nests elements more than {self.limits.depth} deep")


def parse(chunks, builder, limits, fail, root="rdml"):
    """Feed the chunks of one document to libxml2 and ``builder``.

    Parameters
    ----------
    chunks : iterable of bytes
        The document; its total size is bounded by the caller.
    builder : object
        ``begin(root, uri)`` when the root element (named ``root``, in any
        namespace) has started; ``open(path)`` after every chunk with the
        elements from the root to the last one started, which returns the
        index on the path from which nothing may be cut yet (an element the
        builder takes whole once it ends), and ``done(element,
        depth, every)`` for each of them: its children but the last (every
        child when ``every``) are complete and the builder takes what it
        keeps of them, as they are cut from the tree right after. After the
        document's end, ``done(root, 1, True)``. ``comment()`` for every
        comment and processing instruction.
    limits : quelmar.common.limits.Limits
    fail : callable
        ``fail(problem)`` raises the caller's ReaderError for the document.

    Returns
    -------
    str
        The local name of the root element: the document was read to its end
        when it is ``root``, else not past its first chunk.
    """
    stream, encoding = _stream(chunks, fail)
    stream = _prolog_checked(stream, encoding, fail)
    no_fetch = _no_fetch_type()()
    syntax_error = etree().XMLSyntaxError
    main = _parser(("start", "comment", "pi"), "{*}" + root, encoding, no_fetch)
    sniff = _parser(("start",), None, encoding, no_fetch, keep=False)  # the root, whatever its name, then dropped
    tree = None
    try:
        for chunk in stream:
            if sniff is not None:
                sniff.feed(chunk)
                first = next((element for _, element in sniff.read_events()), None)
                if first is not None:
                    _no_doctype(first, fail)
                    if local_name(first.tag) != root:
                        return local_name(first.tag)
                    sniff = None
            main.feed(chunk)
            tree = _events(main, tree, builder, limits, fail)
            if tree is not None:
                tree.cut(False)
        if sniff is not None:  # a document within libxml2's look-ahead starts only at its end
            sniff.close()
            first = next((element for _, element in sniff.read_events()), None)
            if first is not None and local_name(first.tag) != root:
                return local_name(first.tag)
        main.close()
        tree = _events(main, tree, builder, limits, fail)
    except syntax_error as e:
        fail(_syntax_problem(e, limits))
    if no_fetch.asked:
        fail(f"refers to {no_fetch.asked[0]!r}, which is not read")
    if tree is None:
        fail(f"has no <{root}> element")
    tree.cut(True)
    return root


_SPACE = re.compile(r"[ \t\r\n\ufeff]*")


def _prolog_checked(stream, encoding, fail):
    """The stream, its first chunk searched for a DOCTYPE before the parser sees it: libxml2 reads the
    declarations (and may check their entities) before the root element, where the parse refuses it too."""
    for chunk in stream:
        if encoding is None and chunk[:2] in (codecs.BOM_UTF16_LE, b"<\0"):
            head = chunk.decode("utf-16-le", errors="ignore")
        elif encoding is None and chunk[:2] in (codecs.BOM_UTF16_BE, b"\0<"):
            head = chunk.decode("utf-16-be", errors="ignore")
        else:
            head = chunk.decode("latin-1")  # the prolog's markup is ASCII in every encoding read here
        if _doctype_first(head):
            _no_doctype(None, fail)
        yield chunk
        yield from stream
        return


def _doctype_first(text):
    """Whether a DOCTYPE follows the XML declaration, comments and processing instructions at the start."""
    i = 0
    while True:
        i = _SPACE.match(text, i).end()
        for start, end in (("<?", "?>"), ("<!--", "-->")):
            if text.startswith(start, i):
                j = text.find(end, i + len(start))
                if j < 0:
                    return False
                i = j + len(end)
                break
        else:
            return text.startswith("<!DOCTYPE", i)


def _events(parser, tree, builder, limits, fail):
    for event, node in parser.read_events():
        if event == "start":
            if tree is None and node.getparent() is None:
                tree = Tree(node, builder, limits, fail)
                builder.begin(node, namespace(node.tag))
        elif len(node.text or "") + len(getattr(node, "target", "") or "") <= limits.token_bytes:
            builder.comment()
        else:
            fail(f"has a tag, comment or processing instruction longer than the limit of "
                 f"{describe_size(limits.token_bytes)} {how_to_raise('token')}")
    return tree


def _no_doctype(first, fail):
    info = first.getroottree().docinfo if first is not None else None
    if info is None or info.doctype or info.internalDTD is not None or info.externalDTD is not None:
        fail("has a document type declaration (<!DOCTYPE>); RDML needs none, and none is read")


def _syntax_problem(error, limits):
    """A libxml2 error in the reader's words: one of its bounds as a limit, else "not well-formed"."""
    message = str(error.msg or error).strip()
    lowered = message.lower()
    for words, kind in _PARSER_BOUNDS:
        if words in lowered:
            if kind == "depth":
                return f"nests elements more than {min(limits.depth, 256)} deep"
            what = "a text" if kind == "text" else "a tag, comment or processing instruction"
            return f"has {what} longer than {PARSER_TEXT_MAX:,} characters, more than the XML parser reads"
    if "unsupported encoding" in lowered or "unknown encoding" in lowered:
        return f"declares an encoding that cannot be read ({message})"
    line, column = getattr(error, "position", (0, 0)) or (0, 0)
    message = re.sub(r",? line \d+, column \d+$", "", message)
    return f"is not well-formed XML ({message}: line {line}, column {column})"
