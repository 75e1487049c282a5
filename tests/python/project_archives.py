"""Damaged and hostile project archives, built by rewriting what zipfile writes; for the
project tests and benchmark. Archives here have no comment."""
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


def lying_member(path, name, inflated, declared=1000):
    """Writes a project whose member name declares `declared` bytes and inflates to
    `inflated` bytes (a "<project>" start tag, then spaces); other than "project.xml", the
    member is the analog CSV that CSV_XML names. Returns path as text."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
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
