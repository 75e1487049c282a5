# The project document: read from its archive member and refused, before its body is
# parsed, when it passes the size limit or the node budget or declares entities.
import codecs as _codecs
from libc.string cimport memchr, memcmp

# Larger documents are refused as they are read.
_MAX_XML_BYTES = 64 << 20
# The budget of a parsed project document, in nodes of its tree, each of which costs it
# about 128 bytes (measured: an element or a text 128, an attribute with its value 240, or
# 330 when its name is its own, an entity reference 160). Before the body is parsed, its
# nodes are counted from the text (_tree_nodes): a start tag makes an element and the text
# after it, an end tag the text after it, an attribute itself and its value; each byte of
# the document type counts half a node (a content model builds two 64-byte particles out of
# a name and its separator). No document makes more than a node per two bytes, so only a
# document of more than twice the budget in bytes is counted. The module writes less than a
# node per 7 bytes (the densest: start-point guesses, 9 nodes in 64 bytes, and empty polygon
# masks, 8 in 60), so that every document it writes up to the size limit loads. A tree
# within the budget takes at most about 1.5 GB (measured: elements each with a text), 2.0 GB
# if every attribute has a name of its own; 64 MiB of start-point guesses take 1.0 GB.
_MAX_XML_NODES = _MAX_XML_BYTES // 6
# The encodings that a document's first bytes tell: byte order marks, then the layout of
# "<?" (of "<" in UTF-32). Otherwise the XML declaration names it, or it is UTF-8.
_ENCODING_MARKS = ((b"\x00\x00\xfe\xff", "utf-32"), (b"\xff\xfe\x00\x00", "utf-32"),
                   (b"\x00\x00\x00<", "utf-32-be"), (b"<\x00\x00\x00", "utf-32-le"),
                   (b"\xfe\xff", "utf-16"), (b"\xff\xfe", "utf-16"),
                   (b"\x00<\x00?", "utf-16-be"), (b"<\x00?\x00", "utf-16-le"),
                   (b"\xef\xbb\xbf", "utf-8"))
_DECLARED_ENCODING = re.compile(
    rb"<\?xml\s+version\s*=\s*(?:'[^']*'|\"[^\"]*\")\s+encoding\s*=\s*(['\"])([A-Za-z][\w.-]*)\1")
# The encoding is decided on this many first bytes (or on a shorter document).
_HEAD_BYTES = 1 << 10
# The document type is parsed in pieces of this size, until the root element starts.
_PROLOG_PIECE = 1 << 10
_ENTITIES_REFUSED = "Entities are not accepted in a project document"
# Every document is parsed in UTF-8; entities are neither expanded nor loaded, nothing is
# fetched. huge_tree lifts libxml2's bounds on one text or name, which the size limit and
# the node budget take over.
_PARSER_OPTIONS = dict(remove_blank_text=True, resolve_entities=False, no_network=True, load_dtd=False,
                       huge_tree=True, encoding="utf-8")


# Counting what the parser builds out of a document's UTF-8 text, without building it: each
# start tag makes an element and the text after it, each end tag the text after it, each
# attribute itself and its value, each comment, processing instruction or CDATA section a
# node and the text after it, each entity reference (other than the predefined ones and
# character references) a node and the text after it. The document type is charged by its
# bytes (see _MAX_XML_NODES). Texts, attribute values, comments, processing instructions and
# literals are skipped whatever they hold, so that a text of "<", "&" or "=" counts nothing.

cdef inline Py_ssize_t _past(const unsigned char* text, Py_ssize_t size, Py_ssize_t start,
                             const char* word, Py_ssize_t length) noexcept nogil:
    """The offset just past the first word at or after start, or size."""
    cdef const unsigned char* found
    while start < size:
        found = <const unsigned char*>memchr(text + start, word[0], size - start)
        if found == NULL:
            return size
        start = found - text
        if start + length <= size and memcmp(found, word, length) == 0:
            return start + length
        start += 1
    return size


cdef inline bint _at(const unsigned char* text, Py_ssize_t size, Py_ssize_t start,
                     const char* word, Py_ssize_t length) noexcept nogil:
    return start + length <= size and memcmp(text + start, word, length) == 0


cdef Py_ssize_t _references(const unsigned char* text, Py_ssize_t start, Py_ssize_t end, bint any) noexcept nogil:
    """The entity references between start and end that may become nodes (none unless any)."""
    cdef Py_ssize_t count = 0
    cdef const unsigned char* found
    while any and start < end:
        found = <const unsigned char*>memchr(text + start, b"&", end - start)
        if found == NULL:
            break
        start = found - text + 1
        if not (_at(text, end, start, "#", 1) or _at(text, end, start, "lt;", 3) or _at(text, end, start, "gt;", 3)
                or _at(text, end, start, "amp;", 4) or _at(text, end, start, "apos;", 5)
                or _at(text, end, start, "quot;", 5)):
            count += 1
    return count


cdef Py_ssize_t _past_literal(const unsigned char* text, Py_ssize_t size, Py_ssize_t start) noexcept nogil:
    """Past the quoted literal that starts at start."""
    cdef const unsigned char* found = <const unsigned char*>memchr(text + start + 1, text[start], size - start - 1)
    return size if found == NULL else found - text + 1


cdef Py_ssize_t _past_document_type(const unsigned char* text, Py_ssize_t size, Py_ssize_t start) noexcept nogil:
    """Past the declaration "<!" that starts at start, with its internal subset."""
    cdef bint subset = False
    cdef unsigned char c
    start += 2
    while start < size:
        c = text[start]
        if c == b'"' or c == b"'":
            start = _past_literal(text, size, start)
        elif subset and _at(text, size, start, "<!--", 4):
            start = _past(text, size, start + 4, "-->", 3)
        elif subset and _at(text, size, start, "<?", 2):
            start = _past(text, size, start + 2, "?>", 2)
        elif c == b"[" or c == b"]":
            subset = c == b"["
            start += 1
        elif c == b">" and not subset:
            return start + 1
        else:
            start += 1
    return size


cdef Py_ssize_t _tree_nodes(const unsigned char* text, Py_ssize_t size) noexcept nogil:
    """An upper bound of the nodes that parsing the text builds, but for its document type."""
    cdef Py_ssize_t nodes = 0, start = 0, tag, value
    cdef const unsigned char* found
    cdef unsigned char c
    cdef bint references = memchr(text, b"&", size) != NULL
    while start < size:
        found = <const unsigned char*>memchr(text + start, b"<", size - start)
        tag = size if found == NULL else found - text
        nodes += 2 * _references(text, start, tag, references)
        if tag == size:
            break
        nodes += 2
        if _at(text, size, tag, "<!--", 4):
            start = _past(text, size, tag + 4, "-->", 3)
        elif _at(text, size, tag, "<![CDATA[", 9):
            start = _past(text, size, tag + 9, "]]>", 3)
        elif _at(text, size, tag, "<?", 2):
            start = _past(text, size, tag + 2, "?>", 2)
        elif _at(text, size, tag, "<!", 2):
            start = _past_document_type(text, size, tag)
        elif _at(text, size, tag, "</", 2):
            nodes -= 1
            start = _past(text, size, tag + 2, ">", 1)
        else:
            start = tag + 1
            while start < size and text[start] != b">":
                c = text[start]
                if c == b'"' or c == b"'":
                    value = _past_literal(text, size, start)
                    nodes += 2 * _references(text, start + 1, value - 1, references)
                    start = value
                else:
                    nodes += 2 * (c == b"=")
                    start += 1
            start += 1
    return nodes


def _document_encoding(bytes head):
    """The codec of a document that starts with head."""
    for mark, encoding in _ENCODING_MARKS:
        if head.startswith(mark):
            return encoding
    declaration = _DECLARED_ENCODING.match(head)
    return _codecs.lookup(declaration[2].decode()).name if declaration else "utf-8"


def _refuse_declared_entities(element):
    dtd = element.getroottree().docinfo.internalDTD
    if dtd is not None and next(dtd.iterentities(), None) is not None:
        raise etree.XMLSyntaxError(_ENTITIES_REFUSED, None, 0, 0)


class _DocumentReader:
    """Takes the bytes of a project document as they are read and keeps its text in UTF-8,
    in which its nodes are counted and which is parsed (a document in another encoding is
    decoded as it comes). The document is refused as soon as it passes the size limit, or
    its document type declares entities or passes the node budget, and once all of it is
    read, when it passes the node budget: before its body is parsed."""

    def __init__(self):
        self._size = 0
        self._head = b""
        self._decided = False
        self._decoder = None
        self._chunks = []
        self._text = None
        self._prolog = etree.XMLPullParser(("start",), **_PARSER_OPTIONS)
        self._prolog_bytes = 0

    def read(self, bytes data):
        """Takes data, the bytes that follow those read before."""
        self._size += len(data)
        if self._size > _MAX_XML_BYTES:
            raise ValueError(f"The project document holds more than {_MAX_XML_BYTES} bytes")
        if not self._decided:
            self._head += data
            if len(self._head) < _HEAD_BYTES:
                return
            data = self._decide()
        self._take(self._decoded(data, False))

    def finish(self):
        """Checks the whole document, once every byte is read."""
        self._take(self._decoded(b"" if self._decided else self._decide(), True))
        self._text = b"".join(self._chunks)
        self._chunks = None
        cdef const char* text = self._text
        cdef Py_ssize_t size = len(self._text)
        # No document makes more than a node per two bytes (the densest: an entity
        # reference and a character of text), so only a larger one is counted.
        if size // 2 > _MAX_XML_NODES and \
                _tree_nodes(<const unsigned char*>text, size) + self._prolog_bytes // 2 > _MAX_XML_NODES:
            raise _too_many_nodes()

    def parse(self):
        """The root element of the whole document, once every byte is read."""
        self.finish()
        self._prolog = None
        root = etree.fromstring(self._text, etree.XMLParser(**_PARSER_OPTIONS))
        # With an external document type, a reference to an entity it would declare is
        # well-formed: it becomes an entity node.
        if b"&" in self._text and next(root.iter(etree.Entity), None) is not None:
            raise etree.XMLSyntaxError(_ENTITIES_REFUSED, None, 0, 0)
        return root

    def _decide(self):
        """Decides the encoding on the bytes read so far, and returns them."""
        encoding = _document_encoding(self._head)
        if encoding != "utf-8":
            self._decoder = _codecs.getincrementaldecoder(encoding)()
        head, self._head, self._decided = self._head, None, True
        return head

    def _decoded(self, bytes data, bint final):
        if self._decoder is None:
            return data
        return self._decoder.decode(data, final).encode("utf-8")

    def _take(self, bytes text):
        self._chunks.append(text)
        if self._prolog is not None:
            self._parse_prolog(text)

    def _parse_prolog(self, bytes text):
        """Parses text up to where the root element starts, then checks the document type.
        The pieces end at fixed offsets of the document, and the bytes up to the end of the
        piece in which the root starts are charged, so that the charge does not depend on
        how the document was read."""
        cdef Py_ssize_t start = 0, end
        while start < len(text) and self._prolog is not None:
            end = min(len(text), start + _PROLOG_PIECE - self._prolog_bytes % _PROLOG_PIECE)
            self._prolog.feed(text[start:end])
            self._prolog_bytes += end - start
            start = end
            for _, element in self._prolog.read_events():
                _refuse_declared_entities(element)
                self._prolog = None
                self._prolog_bytes += -self._prolog_bytes % _PROLOG_PIECE
                break
            if self._prolog_bytes // 2 > _MAX_XML_NODES:
                raise _too_many_nodes()


def _too_many_nodes():
    return ValueError(f"The project document holds more than {_MAX_XML_NODES} nodes")


def _read_project_document(archive):
    """The root element of the archive's "project.xml", read in chunks and refused as soon
    as it is found to pass a limit, before its body is parsed."""
    reader = _DocumentReader()
    with _open_member(archive, _PROJECT_XML, _MAX_XML_BYTES) as member:
        while True:
            chunk = member.read(_READ_CHUNK)
            if not chunk:
                break
            reader.read(chunk)
    return reader.parse()


def _check_loadable(bytes document):
    """Refuses a serialised project document that a load would refuse for its size or its
    node count."""
    reader = _DocumentReader()
    reader.read(document)
    reader.finish()
