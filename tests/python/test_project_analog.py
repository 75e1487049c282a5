"""ProjectFile.get_analog_data_csv: the analog-data CSV member of a project."""
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
