"""Damaged and hostile project archives, built by rewriting what zipfile writes, and
documents and analog CSVs that cost much to read; for the project tests and benchmark.
Archives here have no comment."""
import string
import struct
import zipfile

CSV_XML = '<project><files><csvfile type="tolvani">prj:/analog.csv</csvfile></files></project>'


def directory_start(data):
    """The offset of the central directory, from the end record."""
    return struct.unpack_from("<L", data, len(data) - 6)[0]


def central_records(data):
    """The central directory records of an archive's bytes."""
    records, position = [], directory_start(data)
    while data.startswith(b"PK\x01\x02", position):
        name_length, extra_length, comment_length = struct.unpack_from("<3H", data, position + 28)
        end = position + 46 + name_length + extra_length + comment_length
        records.append(data[position:end])
        position = end
    return records


def with_central_directory(data, records):
    """data's members followed by a new central directory of records."""
    start = directory_start(data)
    directory = b"".join(records)
    return data[:start] + directory + struct.pack("<4s4H2LH", b"PK\x05\x06", 0, 0, len(records), len(records),
                                                  len(directory), start, 0)


def repeated_member(data, count):
    """data, an archive whose last member has a name of 8 bytes, with count more entries
    over that member's bytes, named d000.bin, d001.bin, ..."""
    records = central_records(data)
    last = records[-1]
    return with_central_directory(data, records + [last[:46] + b"d%03d.bin" % n + last[54:] for n in range(count)])


def lying_member(path, name, inflated, declared=1000, compression=zipfile.ZIP_DEFLATED):
    """Writes a project whose member name declares `declared` bytes and inflates to
    `inflated` bytes (a "<project>" start tag, then spaces); other than "project.xml", the
    member is the analog CSV that CSV_XML names. Returns path as text."""
    with zipfile.ZipFile(path, "w", compression) as archive:
        if name != "project.xml":
            archive.writestr("project.xml", CSV_XML)
        with archive.open(name, "w", force_zip64=True) as member:
            member.write(b"<project>")
            block = b" " * (1 << 20)
            for _ in range(inflated >> 20):
                member.write(block)
        offset = archive.getinfo(name).header_offset
    with open(path, "rb") as raw:
        data = bytearray(raw.read())
    data[offset + 22:offset + 26] = struct.pack("<L", declared)
    records = [record[:24] + struct.pack("<L", declared) + record[28:]
               if record[46:46 + len(name)] == name.encode() else record
               for record in central_records(bytes(data))]
    with open(path, "wb") as output:
        output.write(with_central_directory(bytes(data), records))
    return str(path)


def project_document(path, text, compression=zipfile.ZIP_DEFLATED):
    """Writes a project whose "project.xml" holds text (bytes). Returns path as text."""
    with zipfile.ZipFile(path, "w", compression) as archive:
        archive.writestr("project.xml", text)
    return str(path)


def analog_csv(path, text):
    """Writes a project whose analog CSV (the member CSV_XML names, deflated) holds text (bytes,
    or an iterable of bytes pieces). Returns path as text."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("project.xml", CSV_XML)
        with archive.open("pfs/analog.csv", "w", force_zip64=True) as member:
            for piece in [text] if isinstance(text, bytes) else text:
                member.write(piece)
    return str(path)


def repeated(piece, size):
    """Pieces of 1 MiB or less made of piece repeated, size bytes in all."""
    block = piece * ((1 << 20) // len(piece))
    for _ in range(size // len(block)):
        yield block
    yield piece * ((size % len(block)) // len(piece))


# Documents whose markup does not show in their bytes, or costs more than it shows.

def utf7_elements(count):
    """count empty elements in UTF-7, each "<" written as "+ADw-", each followed by a
    character of text."""
    return b"<?xml version='1.0' encoding='utf-7'?><p>" + b"+ADw-a/>x" * count + b"</p>"


def utf16_elements(count):
    """count empty elements in UTF-16, each followed by a character of text."""
    return ("<p>" + "<a/>x" * count + "</p>").encode("utf-16")


def entity_references(count):
    """One entity declared, then referenced count times."""
    return b'<!DOCTYPE p [<!ENTITY a "">]><p>' + b"&a;xxxxx" * count + b"</p>"


def namespace_defaults():
    """A document type that defaults 400 namespace declarations on each element "a", of which
    27,374 follow 3,706,730 "<b>x</b>y" and blanks: nearly 64 MiB, about 100 KB deflated."""
    head = ("<!DOCTYPE r [<!ATTLIST a " + " ".join(f"xmlns:p{n} CDATA 'u'" for n in range(400)) + ">]><r>").encode()
    body = b"<b>x</b>y" * 3_706_730
    return head + body + b" " * ((64 << 20) - 200_000 - len(head) - len(body)) + b"<a/>" * 27_374 + b"</r>"


def references(count, kind):
    """A document type that declares 50 attributes of element "e" of type kind (IDREF or
    IDREFS), given on each of count elements, every value one of its own: 504 bytes an
    element."""
    names = [f"{letter}{digit}" for letter in "abcde" for digit in range(10)]
    characters = string.ascii_letters + string.digits + "_."
    pairs = [first + second for first in characters for second in characters]
    element = "<e" + "".join(f" {name}='%s%s'" for name in names) + "/>"
    head = "<!DOCTYPE r [<!ATTLIST e" + "".join(f" {name} {kind} #IMPLIED" for name in names) + ">]><r>"
    body = "".join(element % tuple(pair for value in range(50 * n, 50 * n + 50)
                                   for pair in (pairs[value >> 12], pairs[value & 4095])) for n in range(count))
    return (head + body + "</r>").encode()


def defaulted_attributes(count):
    """count empty elements, each with an attribute that the document type defaults."""
    return b"<!DOCTYPE r [<!ATTLIST ab x CDATA 'y'>]><r>" + b"<ab/>" * count + b"</r>"


def attribute_declarations(count):
    """A document type that declares count attributes of the root element, 22 bytes each."""
    return ("<!DOCTYPE project [<!ATTLIST project" + "".join(f" a{n:05d} CDATA #IMPLIED" for n in range(count))
            + ">]><project/>").encode()


def start_point_guesses(size):
    """Among the densest documents the module writes, of size bytes or a little less: guesses
    of one start point, each for an image of its own, as save_project writes them."""
    head = ("<?xml version='1.0' encoding='utf-8'?>\n<!DOCTYPE kdrx>\n"
            '<project structure_version="3" activeWorkspace="main" dir="/d">\n'
            '  <files_3d lri="files">\n    <reference>r</reference>\n  </files_3d>\n'
            '  <projectaois lri="projectaois">\n    <startpoint lri="startpoint_3d" ref_img="/d/r">\n').encode()
    tail = b"    </startpoint>\n  </projectaois>\n</project>\n"
    line = b'      <guess img="%06x" score="-1" type="user">0 0 0 0 0 0</guess>\n'
    count = (size - len(head) - len(tail)) // len(line % 0)
    return head + b"".join(line % n for n in range(count)) + tail
