"""ProjectFile.get_analog_data_csv: the analog-data CSV member of a project."""
import subprocess
import sys
import textwrap

import pytest

from zelpyx.zelpy.zelpy import ProjectFile


def files(tag, text, kind="tolvani"):
    return f'<{tag}><csvfile type="{kind}">{text}</csvfile></{tag}>'


@pytest.mark.parametrize("csv, expected", [
    (b"time,volts\n0,1.5\n1,2.5\n", {"header": ["time", "volts"], "time": ["0", "1"], "volts": ["1.5", "2.5"]}),
    (b"time,volts\r\n", {"header": ["time", "volts"], "time": [], "volts": []}),
    (b'time,note\r\n0,"two\r\nlines"\r\n1,"a ""quoted""\nfield"\n',
     {"header": ["time", "note"], "time": ["0", "1"], "note": ["two\r\nlines", 'a "quoted"\nfield']}),
    (b"time,volts\n0\n", {"header": ["time", "volts"], "time": ["0"], "volts": [None]}),
    (b"time,header\n0,h\n", {"header": ["h"], "time": ["0"]}),
    (b"a,a\n1,2\n", {"header": ["a", "a"], "a": ["2", "2"]}),
    ("t,\u00b0C\n0,20\n".encode(), {"header": ["t", "\u00b0C"], "t": ["0"], "\u00b0C": ["20"]}),
])
def test_columns(make_project, csv, expected):
    project = ProjectFile(make_project(f"<project>{files('files_3d', 'prj:/analog.csv')}</project>",
                                       {"pfs/analog.csv": csv}))
    result = project.get_analog_data_csv()
    assert result == expected
    assert list(result) == list(expected)


@pytest.mark.parametrize("xml, member", [
    (files("files", "plain.csv"), "plain.csv"),
    (files("files", "prj:/first.csv") + files("files_2d", "prj:/last.csv"), "pfs/last.csv"),
    (files("files_3d", "other", "video") + files("files_3d", "prj:x.csv"), "pfsx.csv"),
])
def test_reference(make_project, xml, member):
    project = ProjectFile(make_project(f"<project>{xml}</project>", {member: b"c\n1\n"}))
    assert project.get_analog_data_csv() == {"header": ["c"], "c": ["1"]}


@pytest.mark.parametrize("xml", [
    "<project/>", f"<project>{files('files', 'a.csv', 'video')}</project>",
    "<project><files><csvfile>a.csv</csvfile></files></project>",
    f"<project><x>{files('files', 'a.csv')}</x></project>",
])
def test_no_reference(make_project, xml):
    assert ProjectFile(make_project(xml)).get_analog_data_csv() is None


@pytest.mark.parametrize("members, cause", [
    ({"pfs/a.csv": b""}, AttributeError),
    ({}, KeyError),
    ({"pfs/a.csv": b"t\n\xff\n"}, UnicodeDecodeError),
])
def test_unreadable_members(make_project, members, cause):
    name = make_project(f"<project>{files('files', 'prj:/a.csv')}</project>", members)
    with pytest.raises(ValueError) as raised:
        ProjectFile(name).get_analog_data_csv()
    assert str(raised.value) == "Could not process " + name
    assert isinstance(raised.value.__context__, cause)


def test_project_state_is_required(make_project):
    with pytest.raises(AttributeError, match="^ProjectFile is not initialized$"):
        ProjectFile().get_analog_data_csv()
    project = ProjectFile(make_project(f"<project>{files('files', 'a.csv')}</project>"))
    project.project_file = None
    with pytest.raises(AttributeError, match="^Project file is not initialized$"):
        project.get_analog_data_csv()
    project = ProjectFile(make_project("<project><files><csvfile type='tolvani'/></files></project>",
                                       name="b.q3d"))
    with pytest.raises(IndexError):
        project.get_analog_data_csv()


def test_csv_survives_a_save(make_project):
    csv = b'time,note\r\n0,"two\r\nlines"\r\n'
    name = make_project(f"<project>{files('files', 'prj:/a.csv')}</project>", {"pfs/a.csv": csv})
    project = ProjectFile(name)
    project.set_reference_image("ref.tif")
    project.save_project()
    assert ProjectFile(name).get_analog_data_csv() == {"header": ["time", "note"], "time": ["0"],
                                                       "note": ["two\r\nlines"]}


# ---------------------------------------------------------------------------------------
# Bounds: a record of at most 1 MiB of text, and at most 1 GiB of memory for what is kept.

RECORD = 1 << 20


def fields(count, value=b"1"):
    """A record of count fields, of (2 * count) characters with its newline."""
    return (value + b",") * (count - 1) + value + b"\n"


@pytest.mark.parametrize("csv, loads", [
    (fields(RECORD // 2, b"a") + b"1\n", True),
    (b"a" + fields(RECORD // 2, b"a") + b"1\n", False),
    (b"a\n" + fields(RECORD // 2), True),
    (b"a\n1" + fields(RECORD // 2), False),
    (b"a\n" + b'"\n",' * (RECORD // 4) + b"1\n", False),
    (b"a\n" + fields(RECORD // 4) + fields(RECORD // 4) + fields(RECORD // 4), True),
], ids=["header at the limit", "header over it", "record at the limit", "record over it",
        "record of many lines over it", "records adding up over it"])
def test_record_length(make_project, csv, loads):
    name = make_project(f"<project>{files('files', 'prj:/a.csv')}</project>", {"pfs/a.csv": csv})
    if loads:
        assert ProjectFile(name).get_analog_data_csv()["header"][0] == "a"
        return
    with pytest.raises(ValueError, match="^Could not process ") as raised:
        ProjectFile(name).get_analog_data_csv()
    assert str(raised.value.__context__) == "A record of the analog data holds more than 1048576 characters"


# Reads the analog CSV of a project in a child process, with the budget of kept values
# given in bytes, and prints how much its peak resident memory grew, and the error's cause.
PEAK_OF_CSV = textwrap.dedent("""
    import sys
    import zelpyx.zelpy.zelpy as zelpy

    def peak():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) << 10

    zelpy._MAX_CSV_KEPT = int(sys.argv[2])
    project = zelpy.ProjectFile(sys.argv[1])
    before = peak()
    try:
        project.get_analog_data_csv()
        error = "none"
    except ValueError as exception:
        error = str(exception.__context__)
    print(peak() - before)
    print(error)
""")


@pytest.mark.parametrize("pieces, error", [
    (lambda archives: [b"a,b\n", *archives.repeated(b"10,10\n", 96 << 20)],
     "The analog data take more than 67108864 bytes of memory"),
    (lambda archives: [b"a,b\n", *archives.repeated(b",", 96 << 20), b"\n"],
     "A record of the analog data holds more than 1048576 characters"),
    (lambda archives: [*archives.repeated(b"a,", 96 << 20), b"\n1,2\n"],
     "A record of the analog data holds more than 1048576 characters"),
], ids=["96 MiB of rows", "96 MiB line", "96 MiB header"])
def test_hostile_csv_is_refused_within_its_budget(tmp_path, archives, pieces, error):
    """Compressed 96 MiB CSVs, read with a budget of 64 MiB for the kept values (1 GiB in
    use): each is refused, its memory within the budget (the kept strings take a quarter
    more than their size, in memory blocks of 16 bytes, and their lists more slots)."""
    path = archives.analog_csv(tmp_path / "hostile.q3d", pieces(archives))
    result = subprocess.run([sys.executable, "-c", PEAK_OF_CSV, path, str(64 << 20)], capture_output=True,
                            text=True, timeout=120)
    growth, cause = result.stdout.splitlines()
    assert cause == error, result.stderr[-2000:]
    assert int(growth) < (64 << 20) * 3 // 2


def test_analog_data_of_100000_images_and_16_channels_load(make_project):
    channels = [f"ch{n}" for n in range(16)]
    rows = [[f"{image}.{channel:02d}" for channel in range(16)] for image in range(100_000)]
    csv = ",".join(channels) + "\n" + "".join(",".join(row) + "\n" for row in rows)
    name = make_project(f"<project>{files('files', 'prj:/a.csv')}</project>", {"pfs/a.csv": csv.encode()})
    result = ProjectFile(name).get_analog_data_csv()
    assert list(result) == ["header", *channels]
    assert result["ch15"] == [row[15] for row in rows] and result["ch0"][-1] == "99999.00"
