# The project document: read from its archive member and refused, before its tree is
# built, when it passes the size limit or the node budget, or declares or references
# entities. libxml2 itself, the library lxml parses with, counts the nodes.
from libc.string cimport memchr, memcmp, memset, strcmp, strlen
from posix.dlfcn cimport dlopen, dlsym, RTLD_LAZY

cdef extern from "<dlfcn.h>" nogil:
    enum:
        RTLD_NOLOAD

cdef extern from "libxml/parser.h" nogil:
    ctypedef unsigned char xmlChar
    ctypedef struct xmlDoc
    ctypedef struct xmlError
    ctypedef struct xmlEnumeration:
        xmlEnumeration* next
        const xmlChar* name
    ctypedef struct xmlElementContent:
        const xmlChar* name
        const xmlChar* prefix
        xmlElementContent* c1
        xmlElementContent* c2
    ctypedef struct xmlParserInputBuffer:
        void* encoder
    ctypedef struct xmlParserInput:
        xmlParserInputBuffer* buf
        const xmlChar* cur
        const xmlChar* end
    ctypedef void (*internalSubsetSAXFunc)(void* context, const xmlChar* name, const xmlChar* external_id,
                                           const xmlChar* system_id) noexcept nogil
    ctypedef void (*entityDeclSAXFunc)(void* context, const xmlChar* name, int type, const xmlChar* public_id,
                                       const xmlChar* system_id, xmlChar* content) noexcept nogil
    ctypedef void (*notationDeclSAXFunc)(void* context, const xmlChar* name, const xmlChar* public_id,
                                         const xmlChar* system_id) noexcept nogil
    ctypedef void (*attributeDeclSAXFunc)(void* context, const xmlChar* element, const xmlChar* name, int type,
                                          int default_kind, const xmlChar* default_value,
                                          xmlEnumeration* values) noexcept nogil
    ctypedef void (*elementDeclSAXFunc)(void* context, const xmlChar* name, int type,
                                        xmlElementContent* content) noexcept nogil
    ctypedef void (*unparsedEntityDeclSAXFunc)(void* context, const xmlChar* name, const xmlChar* public_id,
                                               const xmlChar* system_id, const xmlChar* notation) noexcept nogil
    ctypedef void (*referenceSAXFunc)(void* context, const xmlChar* name) noexcept nogil
    ctypedef void (*charactersSAXFunc)(void* context, const xmlChar* text, int length) noexcept nogil
    ctypedef void (*processingInstructionSAXFunc)(void* context, const xmlChar* target,
                                                  const xmlChar* data) noexcept nogil
    ctypedef void (*commentSAXFunc)(void* context, const xmlChar* value) noexcept nogil
    ctypedef void (*startElementNsSAX2Func)(void* context, const xmlChar* name, const xmlChar* prefix,
                                            const xmlChar* uri, int namespace_count, const xmlChar** namespaces,
                                            int attribute_count, int defaulted_count,
                                            const xmlChar** attributes) noexcept nogil
    ctypedef void (*endElementNsSAX2Func)(void* context, const xmlChar* name, const xmlChar* prefix,
                                          const xmlChar* uri) noexcept nogil
    ctypedef void (*xmlStructuredErrorFunc)(void* context, const xmlError* error) noexcept nogil
    ctypedef struct xmlSAXHandler:
        internalSubsetSAXFunc internalSubset
        entityDeclSAXFunc entityDecl
        notationDeclSAXFunc notationDecl
        attributeDeclSAXFunc attributeDecl
        elementDeclSAXFunc elementDecl
        unparsedEntityDeclSAXFunc unparsedEntityDecl
        referenceSAXFunc reference
        charactersSAXFunc characters
        processingInstructionSAXFunc processingInstruction
        commentSAXFunc comment
        unsigned int initialized
        startElementNsSAX2Func startElementNs
        endElementNsSAX2Func endElementNs
        xmlStructuredErrorFunc serror
    ctypedef struct xmlParserCtxt:
        xmlSAXHandler* sax
        xmlDoc* myDoc
        xmlParserInput* input
        void* _private
    enum:
        XML_SAX2_MAGIC
        XML_PARSE_NOBLANKS
        XML_PARSE_NONET
        XML_PARSE_NOCDATA
        XML_PARSE_COMPACT
        XML_PARSE_HUGE
        XML_PARSE_BIG_LINES
        XML_ATTRIBUTE_ID
        XML_ATTRIBUTE_IDREF
        XML_ATTRIBUTE_IDREFS
        XML_CHAR_ENCODING_UCS4LE
        XML_CHAR_ENCODING_UCS4BE

# Larger documents are refused as they are read.
cdef Py_ssize_t _MAX_XML_BYTES = 64 << 20
# The budget of a parsed project document, in nodes of its tree. How it bounds the tree:
# - libxml2 counts the nodes before the tree is built, parsing the bytes as lxml's
#   fromstring does (_count_document). Its parser reports each thing that its tree builder
#   makes nodes of, once the document type has added its defaults, and each report is
#   charged what the builder makes of it: an element one, and one for each of its namespace
#   declarations, defaulted ones included; an attribute written in the document two (itself
#   and the text of its value; the builder leaves out defaulted ones), two more for each
#   entity reference in the value, and two more when it may be an ID or a reference (its
#   entry in the table of IDs or of references, whose copies of a reference's value are
#   charged as its strings); a run of text one; a comment one; a processing instruction
#   one, two with data; the document type one; a declaration two (itself and its table
#   entry; an attribute's four, with its element's declaration), and one for each particle
#   or enumerated value. The tree has no more nodes than the count.
# - A node takes at most 170 bytes besides the characters of its strings: the largest, an
#   xmlNode, takes 128, and a node copies one string or adds one name to the dictionary, at
#   most 40 bytes besides its characters (a namespace declaration takes 64 and copies two).
#   The two of a table entry take at most 310: a reference's, with the list of the
#   references of its value, the list's entry in the table and the value's in the
#   dictionary. Those characters are charged a node per 128 bytes. A tree within the
#   budget takes at most 170 bytes per node, 1.9 GB, besides the document's own bytes and
#   the copies of ID values that the dictionary keeps, at most as many again.
# - libxml2 builds a declaration whole before it reports it (a content model, two particles
#   of 64 bytes for two bytes), and its push parser takes in a document type whole before
#   parsing it: while it holds one, each byte is charged a node, and while one may follow,
#   no piece it is given is longer than what the budget has left (_DocumentReader), so that
#   none longer than the budget in bytes is ever parsed.
# - It reports entity declarations and references as it meets them, before anything is
#   expanded, whatever the document type is named, and the count refuses the first. No
#   handler loads an external subset or entity: nothing is fetched.
# The module writes less than a node per 7 bytes (the densest: start-point guesses, 9 nodes
# and 47 bytes of strings in 64 bytes, and empty polygon masks, 8 and 45 in 60), so that
# every document it writes up to the size limit loads. A UTF-8 document whose document type
# is at most a name makes at most 2 nodes of 5 bytes (an empty element or attribute, and a
# character of text) and strings of its own bytes: if it has fewer than twice the budget in
# bytes, it is within the budget and counted only up to its root element.
cdef Py_ssize_t _MAX_XML_NODES = _MAX_XML_BYTES // 6
cdef enum:
    _STRING_BYTES_PER_NODE = 128
    # libxml2 parses the part before the root element in pieces of at least this many bytes.
    _PROLOG_PIECE = 1 << 10
_ENTITIES_REFUSED = "Entities are not accepted in a project document"
# Entities are neither expanded nor loaded, nothing is fetched. huge_tree lifts libxml2's
# bounds on one text or name, which the size limit and the node budget take over.
_PARSER_OPTIONS = dict(remove_blank_text=True, resolve_entities=False, no_network=True, load_dtd=False,
                       huge_tree=True)
# The libxml2 options of lxml's XMLParser(**_PARSER_OPTIONS).
cdef int _LIBXML2_OPTIONS = (XML_PARSE_NOCDATA | XML_PARSE_NONET | XML_PARSE_COMPACT | XML_PARSE_BIG_LINES
                             | XML_PARSE_NOBLANKS | XML_PARSE_HUGE)


# ---------------------------------------------------------------------------------------
# The libxml2 functions of the library lxml.etree parses with: its own extension module, or
# the libxml2 that module links.

ctypedef xmlParserCtxt* (*_NewContext)() noexcept nogil
ctypedef void (*_FreeContext)(xmlParserCtxt* context) noexcept nogil
ctypedef int (*_UseOptions)(xmlParserCtxt* context, int options) noexcept nogil
ctypedef int (*_ResetPush)(xmlParserCtxt* context, const char* chunk, int size, const char* url,
                           const char* encoding) noexcept nogil
ctypedef int (*_ParseChunk)(xmlParserCtxt* context, const char* chunk, int size, int terminate) noexcept nogil
ctypedef xmlDoc* (*_ReadMemory)(xmlParserCtxt* context, const char* text, int size, const char* url,
                                const char* encoding, int options) noexcept nogil
ctypedef void (*_StopParser)(xmlParserCtxt* context) noexcept nogil
ctypedef void (*_FreeDocument)(xmlDoc* document) noexcept nogil
ctypedef void (*_FreeEnumeration)(xmlEnumeration* values) noexcept nogil
ctypedef int (*_DetectEncoding)(const xmlChar* text, int size) noexcept nogil

cdef struct _Libxml2:
    _NewContext new_context
    _FreeContext free_context
    _UseOptions use_options
    _ResetPush reset_push
    _ParseChunk parse_chunk
    _ReadMemory read_memory
    _StopParser stop_parser
    _FreeDocument free_document
    _FreeEnumeration free_enumeration
    _DetectEncoding detect_encoding

cdef _Libxml2 _libxml2


cdef void* _libxml2_function(void* library, const char* name) except NULL:
    cdef void* function = dlsym(library, name)
    if function == NULL:
        raise ImportError(f"lxml's libxml2 has no {name.decode()}")
    return function


cdef int _bind_libxml2() except -1:
    if _libxml2.detect_encoding != NULL:
        return 0
    import lxml.etree
    cdef void* library = dlopen(os.fsencode(lxml.etree.__file__), RTLD_LAZY | RTLD_NOLOAD)
    if library == NULL:
        raise ImportError("lxml.etree is not loaded")
    _libxml2.new_context = <_NewContext>_libxml2_function(library, "xmlNewParserCtxt")
    _libxml2.free_context = <_FreeContext>_libxml2_function(library, "xmlFreeParserCtxt")
    _libxml2.use_options = <_UseOptions>_libxml2_function(library, "xmlCtxtUseOptions")
    _libxml2.reset_push = <_ResetPush>_libxml2_function(library, "xmlCtxtResetPush")
    _libxml2.parse_chunk = <_ParseChunk>_libxml2_function(library, "xmlParseChunk")
    _libxml2.read_memory = <_ReadMemory>_libxml2_function(library, "xmlCtxtReadMemory")
    _libxml2.stop_parser = <_StopParser>_libxml2_function(library, "xmlStopParser")
    _libxml2.free_document = <_FreeDocument>_libxml2_function(library, "xmlFreeDoc")
    _libxml2.free_enumeration = <_FreeEnumeration>_libxml2_function(library, "xmlFreeEnumeration")
    _libxml2.detect_encoding = <_DetectEncoding>_libxml2_function(library, "xmlDetectCharEncoding")
    return 0


# ---------------------------------------------------------------------------------------
# The count: a handler of libxml2's reports that charges each and builds nothing.

cdef enum _Refusal:
    _ACCEPTED = 0
    _TOO_MANY_NODES
    _ENTITIES

cdef struct _Tally:
    Py_ssize_t nodes
    Py_ssize_t string_bytes     # of the strings the nodes copy
    Py_ssize_t unparsed_bytes   # of a document type that libxml2 holds unparsed
    bint in_text                # the last thing reported is text
    bint root_started
    bint prolog_only            # the count ends where the root element starts
    bint bounded_by_bytes       # it ends there too when read as UTF-8 with no document_type (see _MAX_XML_NODES)
    bint document_type          # the document type has an external identifier or an internal subset
    bint document_type_named    # libxml2 has reported the document type
    bint declares_ids           # the document type declares ID attributes
    bint declares_references    # the document type declares IDREF or IDREFS attributes
    _Refusal refusal


cdef inline _Tally* _tally_of(void* context) noexcept nogil:
    return <_Tally*>(<xmlParserCtxt*>context)._private


cdef void _refuse(void* context, _Refusal refusal) noexcept nogil:
    cdef _Tally* tally = _tally_of(context)
    if tally.refusal == _ACCEPTED:
        tally.refusal = refusal
        _libxml2.stop_parser(<xmlParserCtxt*>context)


cdef void _charge(void* context, Py_ssize_t nodes, Py_ssize_t string_bytes) noexcept nogil:
    cdef _Tally* tally = _tally_of(context)
    tally.nodes += nodes
    tally.string_bytes += string_bytes
    tally.in_text = False
    _check_budget(context)


cdef inline Py_ssize_t _charged(const _Tally* tally) noexcept nogil:
    return tally.nodes + tally.string_bytes // _STRING_BYTES_PER_NODE + tally.unparsed_bytes


cdef void _check_budget(void* context) noexcept nogil:
    if _charged(_tally_of(context)) > _MAX_XML_NODES:
        _refuse(context, _TOO_MANY_NODES)


cdef inline Py_ssize_t _length(const xmlChar* text) noexcept nogil:
    return 0 if text == NULL else strlen(<const char*>text)


cdef Py_ssize_t _references(const xmlChar* value, const xmlChar* end) noexcept nogil:
    """The entity references in an attribute value as the parser reports it, where "&" starts
    either an entity reference or a character reference."""
    cdef Py_ssize_t count = 0
    cdef const xmlChar* found
    while value < end:
        found = <const xmlChar*>memchr(value, b"&", end - value)
        if found == NULL:
            break
        count += found + 1 < end and found[1] != b"#"
        value = found + 1
    return count


cdef bint _is_xml_id(const xmlChar** attribute) noexcept nogil:
    return (attribute[1] != NULL and strcmp(<const char*>attribute[1], "xml") == 0
            and strcmp(<const char*>attribute[0], "id") == 0)


cdef bint _read_as_utf8(void* context) noexcept nogil:
    cdef xmlParserInput* input = (<xmlParserCtxt*>context).input
    return input != NULL and input.buf != NULL and input.buf.encoder == NULL


cdef void _on_start(void* context, const xmlChar* name, const xmlChar* prefix, const xmlChar* uri,
                    int namespace_count, const xmlChar** namespaces, int attribute_count, int defaulted_count,
                    const xmlChar** attributes) noexcept nogil:
    """An element with its namespace declarations, those the document type defaults
    included, and the attributes it is written with: the tree builder leaves out those the
    document type defaults, which the parser reports last."""
    cdef _Tally* tally = _tally_of(context)
    cdef Py_ssize_t nodes = 1 + namespace_count, string_bytes = _length(name) + _length(prefix), value_length
    cdef const xmlChar** attribute
    cdef int i
    for i in range(2 * namespace_count):
        string_bytes += _length(namespaces[i])
    for i in range(attribute_count - defaulted_count):
        attribute = attributes + 5 * i
        value_length = attribute[4] - attribute[3]
        nodes += 2 + 2 * _references(attribute[3], attribute[4])
        string_bytes += _length(attribute[0]) + _length(attribute[1]) + value_length
        # Its entry in the table of references, which copies the value twice, or of IDs.
        if tally.declares_references:
            nodes += 2
            string_bytes += 2 * value_length
        elif tally.declares_ids or _is_xml_id(attribute):
            nodes += 2
    _charge(context, nodes, string_bytes)
    if not tally.root_started:
        tally.root_started = True
        if tally.prolog_only or (tally.bounded_by_bytes and not tally.document_type and _read_as_utf8(context)):
            _libxml2.stop_parser(<xmlParserCtxt*>context)


cdef void _on_end(void* context, const xmlChar* name, const xmlChar* prefix, const xmlChar* uri) noexcept nogil:
    _tally_of(context).in_text = False


cdef void _on_text(void* context, const xmlChar* text, int length) noexcept nogil:
    """Text, which the tree builder adds to the text node right before it, if any."""
    cdef _Tally* tally = _tally_of(context)
    _charge(context, not tally.in_text, length)
    tally.in_text = True


cdef void _on_comment(void* context, const xmlChar* value) noexcept nogil:
    _charge(context, 1, _length(value))


cdef void _on_instruction(void* context, const xmlChar* target, const xmlChar* data) noexcept nogil:
    _charge(context, 1 + (data != NULL), _length(target) + _length(data))


cdef void _on_reference(void* context, const xmlChar* name) noexcept nogil:
    _refuse(context, _ENTITIES)


cdef void _on_entity(void* context, const xmlChar* name, int type, const xmlChar* public_id,
                     const xmlChar* system_id, xmlChar* content) noexcept nogil:
    _refuse(context, _ENTITIES)


cdef void _on_unparsed_entity(void* context, const xmlChar* name, const xmlChar* public_id,
                              const xmlChar* system_id, const xmlChar* notation) noexcept nogil:
    _refuse(context, _ENTITIES)


cdef void _on_document_type(void* context, const xmlChar* name, const xmlChar* external_id,
                            const xmlChar* system_id) noexcept nogil:
    cdef xmlParserInput* input = (<xmlParserCtxt*>context).input
    cdef _Tally* tally = _tally_of(context)
    _charge(context, 1, _length(name) + _length(external_id) + _length(system_id))
    tally.document_type_named = True
    # The parser stands after the external identifier, on "[" when an internal subset follows.
    tally.document_type = (external_id != NULL or system_id != NULL
                           or (input != NULL and input.cur < input.end and input.cur[0] == b"["))


cdef void _charge_particles(void* context, const xmlElementContent* content) noexcept nogil:
    """Sequences and choices chain through c2, groups nest through c1 as deep as the parser
    allows."""
    while content != NULL:
        _charge(context, 1, _length(content.name) + _length(content.prefix))
        _charge_particles(context, content.c1)
        content = content.c2


cdef void _on_element_type(void* context, const xmlChar* name, int type, xmlElementContent* content) noexcept nogil:
    _charge(context, 2, _length(name))
    _charge_particles(context, content)


cdef void _on_attribute_type(void* context, const xmlChar* element, const xmlChar* name, int type,
                             int default_kind, const xmlChar* default_value, xmlEnumeration* values) noexcept nogil:
    """The handler owns the enumerated values."""
    cdef xmlEnumeration* value = values
    _charge(context, 4, _length(element) + _length(name) + _length(default_value))
    while value != NULL:
        _charge(context, 1, _length(value.name))
        value = value.next
    if values != NULL:
        _libxml2.free_enumeration(values)
    if type == XML_ATTRIBUTE_ID:
        _tally_of(context).declares_ids = True
    elif type == XML_ATTRIBUTE_IDREF or type == XML_ATTRIBUTE_IDREFS:
        _tally_of(context).declares_references = True


cdef void _on_notation(void* context, const xmlChar* name, const xmlChar* public_id,
                       const xmlChar* system_id) noexcept nogil:
    _charge(context, 2, _length(name) + _length(public_id) + _length(system_id))


cdef void _on_error(void* context, const xmlError* error) noexcept nogil:
    pass


cdef xmlSAXHandler _counting_handler():
    cdef xmlSAXHandler handler
    memset(&handler, 0, sizeof(handler))
    handler.initialized = XML_SAX2_MAGIC
    handler.internalSubset = _on_document_type
    handler.entityDecl = _on_entity
    handler.unparsedEntityDecl = _on_unparsed_entity
    handler.notationDecl = _on_notation
    handler.attributeDecl = _on_attribute_type
    handler.elementDecl = _on_element_type
    handler.startElementNs = _on_start
    handler.endElementNs = _on_end
    handler.characters = _on_text
    handler.comment = _on_comment
    handler.processingInstruction = _on_instruction
    handler.reference = _on_reference
    # libxml2 declares the error const from 2.12 on, a change that leaves the call as it is.
    handler.serror = <xmlStructuredErrorFunc>_on_error
    return handler

cdef xmlSAXHandler _COUNTING_HANDLER = _counting_handler()


cdef xmlParserCtxt* _counting_context(_Tally* tally) except NULL:
    """A libxml2 parser context that counts into tally."""
    _bind_libxml2()
    memset(tally, 0, sizeof(tally[0]))
    cdef xmlParserCtxt* context = _libxml2.new_context()
    if context == NULL:
        raise MemoryError()
    context.sax[0] = _COUNTING_HANDLER
    context._private = tally
    return context


cdef const char* _fromstring_encoding(const xmlChar* text, Py_ssize_t size, Py_ssize_t* skipped) noexcept nogil:
    """The encoding that lxml's fromstring gives libxml2 for a document in bytes, and the bytes
    it skips: a UTF-32 document is named, its byte order mark left out. libxml2's functions
    are bound."""
    cdef int detected
    if size >= 4 and (memcmp(text, b"\xff\xfe\x00\x00", 4) == 0 or memcmp(text, b"\x00\x00\xfe\xff", 4) == 0):
        skipped[0] = 4
        return "UTF-32LE" if text[0] == 0xFF else "UTF-32BE"
    detected = _libxml2.detect_encoding(text, <int>min(size, 4))
    if detected == XML_CHAR_ENCODING_UCS4LE:
        return "UTF-32LE"
    if detected == XML_CHAR_ENCODING_UCS4BE:
        return "UTF-32BE"
    return NULL


cdef Py_ssize_t _held(const xmlParserCtxt* context) noexcept nogil:
    """The bytes that the push parser holds unparsed, from where its input stands."""
    cdef const xmlParserInput* input = context.input
    return 0 if input == NULL or input.cur == NULL else input.end - input.cur


cdef Py_ssize_t _unparsed_document_type(const xmlParserCtxt* context) noexcept nogil:
    """The bytes of a document type that the push parser holds unparsed: it waits for one
    whole, or for its internal subset whole, where its input stands."""
    cdef Py_ssize_t held = _held(context)
    if held == 0:
        return 0
    cdef const xmlChar* cur = context.input.cur
    if cur[0] == b"[" or (held >= 9 and memcmp(cur, b"<!DOCTYPE", 9) == 0):
        return held
    return 0


def _too_many_nodes():
    return ValueError(f"The project document holds more than {_MAX_XML_NODES} nodes")


cdef int _check_tally(const _Tally* tally) except -1:
    if tally.refusal == _TOO_MANY_NODES:
        raise _too_many_nodes()
    if tally.refusal == _ENTITIES:
        raise etree.XMLSyntaxError(_ENTITIES_REFUSED, None, 0, 0)
    return 0


cdef int _count_document(bytes document) except -1:
    """Refuses a document, its size and document type checked (_DocumentReader), whose tree
    would pass the node budget or hold entities. libxml2 reads it as lxml's fromstring hands
    it over."""
    cdef _Tally tally
    cdef const xmlChar* text = <const xmlChar*><const char*>document
    cdef Py_ssize_t size = len(document), skipped = 0
    cdef const char* encoding
    cdef xmlDoc* parsed
    cdef xmlParserCtxt* context = _counting_context(&tally)
    tally.bounded_by_bytes = size // 2 <= _MAX_XML_NODES
    with nogil:
        encoding = _fromstring_encoding(text, size, &skipped)
        parsed = _libxml2.read_memory(context, <const char*>text + skipped, <int>(size - skipped), NULL, encoding,
                                      _LIBXML2_OPTIONS)
        if parsed != NULL:
            _libxml2.free_document(parsed)
        _libxml2.free_context(context)
    return _check_tally(&tally)


cdef class _DocumentReader:
    """Takes the bytes of a project document as they are read, and refuses them as soon as
    they pass the size limit, or their document type declares entities or passes the node
    budget: libxml2 parses them up to the root element as they come, in pieces
    (_prolog_piece), so that a document type it holds unparsed is charged (see
    _MAX_XML_NODES)."""
    cdef list chunks
    cdef Py_ssize_t size
    cdef bytearray unparsed     # read, not yet given to the prolog's parser; None once it ends
    cdef xmlParserCtxt* prolog
    cdef _Tally tally

    def __cinit__(self):
        self.chunks = []
        self.unparsed = bytearray()

    def __dealloc__(self):
        self._end_prolog()

    def read(self, bytes data):
        """Takes data, the bytes that follow those read before."""
        self.size += len(data)
        if self.size > _MAX_XML_BYTES:
            raise ValueError(f"The project document holds more than {_MAX_XML_BYTES} bytes")
        self.chunks.append(data)
        if self.unparsed is not None:
            self.unparsed += data
            self._parse_prolog(False)

    def document(self):
        """The bytes of the whole document, once every one is read."""
        if self.unparsed is not None:
            self._parse_prolog(True)
        self._end_prolog()
        document = b"".join(self.chunks)
        self.chunks = self.unparsed = None
        return document

    cdef _start_prolog(self):
        cdef Py_ssize_t skipped = 0
        self.prolog = _counting_context(&self.tally)
        self.tally.prolog_only = True
        encoding = _fromstring_encoding(<const xmlChar*><char*>self.unparsed, len(self.unparsed), &skipped)
        _libxml2.use_options(self.prolog, _LIBXML2_OPTIONS)
        if _libxml2.reset_push(self.prolog, NULL, 0, NULL, encoding) != 0:
            raise MemoryError()
        del self.unparsed[:skipped]

    cdef _parse_prolog(self, bint whole):
        """Gives the parser the bytes read in pieces of _prolog_piece, the last one shorter
        when whole."""
        cdef Py_ssize_t piece
        if self.prolog == NULL:
            # The encoding is told by the first four bytes.
            if len(self.unparsed) < 4:
                return
            self._start_prolog()
        # With the GIL: another thread must not use the parser meanwhile.
        while self.unparsed and not self.tally.root_started and self.tally.refusal == _ACCEPTED:
            piece = self._prolog_piece()
            if piece > len(self.unparsed) and not whole:
                break
            piece = min(piece, len(self.unparsed))
            _libxml2.parse_chunk(self.prolog, <char*>self.unparsed, <int>piece, 0)
            del self.unparsed[:piece]
            self.tally.unparsed_bytes = _unparsed_document_type(self.prolog)
            _check_budget(self.prolog)
        _check_tally(&self.tally)
        if self.tally.root_started:
            self.unparsed = None
            self._end_prolog()

    cdef Py_ssize_t _prolog_piece(self):
        """As many bytes as the parser holds, at least _PROLOG_PIECE, so that libxml2 2.9 and
        2.10, which look again at all they hold with each piece once they hold 10 MB, look at
        each byte a bounded number of times. While a document type may follow or is held
        unparsed, at most what the budget has left, so that none longer is parsed whole."""
        cdef Py_ssize_t piece = _held(self.prolog)
        if not self.tally.document_type_named or self.tally.unparsed_bytes:
            piece = min(piece, _MAX_XML_NODES - _charged(&self.tally))
        return max(piece, _PROLOG_PIECE)

    cdef _end_prolog(self):
        if self.prolog != NULL:
            # An entity declaration makes libxml2 build a document of its own to hold it.
            if self.prolog.myDoc != NULL:
                _libxml2.free_document(self.prolog.myDoc)
            _libxml2.free_context(self.prolog)
            self.prolog = NULL


def _check_loadable(bytes document):
    """Refuses a project document that a load would refuse before building its tree: one of
    more bytes than the size limit or more nodes than the budget, or with entities."""
    reader = _DocumentReader()
    reader.read(document)
    _count_document(reader.document())


def _read_project_document(archive):
    """The root element of the archive's "project.xml", refused before its tree is built
    when it passes a limit."""
    reader = _DocumentReader()
    with _open_member(archive, _PROJECT_XML, _MAX_XML_BYTES) as member:
        while chunk := member.read(_READ_CHUNK):
            reader.read(chunk)
    document = reader.document()
    _count_document(document)
    return etree.fromstring(document, etree.XMLParser(**_PARSER_OPTIONS))

