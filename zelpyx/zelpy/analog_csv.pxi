# The analog-data CSV of a project: read from its archive member, each record and the
# values kept bounded.

# Larger members are refused before they are read.
_MAX_CSV_BYTES = 1 << 30
# A record, the header included, may hold at most this many characters (with the blank
# lines before it) before the csv reader splits it, and the values kept may take at most
# this much memory (each value's size and its list slot).
_MAX_CSV_RECORD = 1 << 20
_MAX_CSV_KEPT = 1 << 30
_LIST_SLOT = sizeof(void*)


class _RecordLines:
    """The lines of the analog CSV for the csv reader, refused as soon as the record in
    progress passes _MAX_CSV_RECORD characters; characters counts them, and the caller
    resets it for each new record."""

    def __init__(self, text):
        self._text = text
        self.characters = 0

    def __iter__(self):
        return self

    def __next__(self):
        line = self._text.readline(_MAX_CSV_RECORD + 1 - self.characters)
        if not line:
            raise StopIteration
        self.characters += len(line)
        if self.characters > _MAX_CSV_RECORD:
            raise ValueError(f"A record of the analog data holds more than {_MAX_CSV_RECORD} characters")
        return line


class _MemoryMeter:
    """Meters the memory that the values kept of the analog CSV take, refused beyond
    _MAX_CSV_KEPT."""

    def __init__(self):
        self._size = 0

    def add(self, values):
        self._size += sum(map(sys.getsizeof, values)) + _LIST_SLOT * len(values)
        if self._size > _MAX_CSV_KEPT:
            raise ValueError(f"The analog data take more than {_MAX_CSV_KEPT} bytes of memory")


def _read_analog_csv(str project_file, str member):
    """The member's CSV as a dictionary: "header" holds the names of its columns, and each
    name a list of the column's values."""
    result = {}
    with PyZipFile(project_file, "r") as archive, \
            _open_member(archive, member, _MAX_CSV_BYTES) as stream, \
            TextIOWrapper(_BufferedReader(stream, _READ_CHUNK), "utf-8", newline="") as text:
        lines = _RecordLines(text)
        reader = csv.DictReader(lines)
        if reader.fieldnames is None:
            raise AttributeError("Expected the csv to have a header")
        names = reader.fieldnames
        result["header"] = names
        for name in names:
            result[name] = []
        columns = [result[name] for name in names]
        meter = _MemoryMeter()
        meter.add(names)
        lines.characters = 0
        for record in reader:
            lines.characters = 0
            values = [record[name] for name in names]
            meter.add(values)
            for column, value in zip(columns, values):
                column.append(value)
    return result
