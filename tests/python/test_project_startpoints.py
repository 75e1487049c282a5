"""ProjectFile start points: the name cache, new names and guesses."""
import lxml.etree as etree
import pytest

from zelpyx.zelpy.zelpy import ProjectFile

REFERENCE = "<files_3d><reference>ref.tif</reference></files_3d>"


@pytest.fixture
def project(make_project):
    """A project with a directory and a reference image, and no start points."""
    return ProjectFile(make_project(f'<project dir="/data/run">{REFERENCE}</project>'))


@pytest.mark.parametrize("cache, expected", [
    ([], ["startpoint_3d", "startpoint_3d_0", "startpoint_3d_1"]),
    (["startpoint"], ["startpoint_0", "startpoint_1"]),
    (["other"], ["startpoint", "startpoint_0"]),
    (["my_startpoint_3d_x"], ["startpoint_3d", "startpoint_3d_0"]),
    (["startpoint_3d", "startpoint_3d_1"], ["startpoint_3d_0", "startpoint_3d_2"]),
])
def test_new_names(project, cache, expected):
    project.startpoint_list = cache
    assert [project.add_startpoint(), project.add_startpoint()] == expected[:2]
    assert project.startpoint_list is cache and cache[-2:] == expected[:2]


def test_names_are_read_once_in_tag_order(make_project):
    project = ProjectFile(make_project(
        "<project><projectaois><startpoint_2d lri='b'/><startpoint_2d lri='c'/><startpoint lri='a'/>"
        "</projectaois><deeper><projectaois><startpoint_3d lri='deep'/></projectaois></deeper></project>"))
    names = project.get_startpoints()
    assert names == ["a", "b", "c"]
    etree.SubElement(project.root.find("projectaois"), "startpoint").set("lri", "late")
    assert project.get_startpoints() is names and names == ["a", "b", "c"]
    project.startpoint_list = None
    assert project.get_startpoints() == ["a", "late", "b", "c"]
    project.startpoint_list = "text"
    with pytest.raises(TypeError, match="^Expected list, got str$"):
        project.get_startpoints()


def test_guesses_are_written_and_rewritten(project):
    name = project.add_startpoint()
    project.set_startpoint_guess(name, "def_1.tif", (10, 20.5), [1.0, 0.0], [0.0, 1.0])
    project.set_startpoint_guess(name, "ref.tif", [True, 0.1], (1e-05, 2), (0, -3.5))
    project.set_startpoint_guess(name, "def_1.tif", (11, 21), (1, 0), (0, 1))
    assert etree.tostring(project.root.find("projectaois")).decode() == (
        '<projectaois lri="projectaois">'
        '<startpoint lri="startpoint_3d" ref_img="/data/run/ref.tif">'
        '<guess img="def_1.tif" score="-1" type="user">11 21 1 0 0 1</guess>'
        '<guess img="ref.tif" score="-1" type="ref">1 0.1 1e-05 2 0 -3.5</guess>'
        "</startpoint></projectaois>")
    for guess in project.root.iter("guess"):
        assert len([float(value) for value in guess.text.split()]) == 6


def test_guess_goes_into_an_existing_element(make_project):
    project = ProjectFile(make_project(
        f"<project dir='/d'>{REFERENCE}<projectaois><startpoint_3d lri='s' ref_img='/x/ref.tif'>"
        "<guess img='i' score='0.9' type='user'>0 0 0 0 0 0</guess></startpoint_3d></projectaois></project>"))
    project.set_startpoint_guess("s", "i", (1, 2), (3, 4), (5, 6))
    assert etree.tostring(project.root.find("projectaois")).decode() == (
        '<projectaois><startpoint_3d lri="s" ref_img="/x/ref.tif">'
        '<guess img="i" score="-1" type="user">1 2 3 4 5 6</guess></startpoint_3d></projectaois>')


@pytest.mark.parametrize("xml, arguments, error, message", [
    (f"<project dir='/d'>{REFERENCE}</project>", ("s", "i", "12", (0, 0), (0, 0)),
     TypeError, "position must be a tuple or list of size 2"),
    (f"<project dir='/d'>{REFERENCE}</project>", ("s", "i", (1, 2, 3), (0, 0), (0, 0)),
     ValueError, "position must be a tuple or list of size 2"),
    (f"<project dir='/d'>{REFERENCE}</project>", ("s", "i", (1, "2"), (0, 0), (0, 0)),
     TypeError, "position coordinates must be numbers"),
    (f"<project dir='/d'>{REFERENCE}</project>", ("s", "i", (1, 2), None, (0, 0)),
     TypeError, "du must be a tuple or list of size 2"),
    (f"<project dir='/d'>{REFERENCE}</project>", ("s", "i", (1, 2), (0, 0), (0, None)),
     TypeError, "dv coordinates must be numbers"),
    ("<project dir='/d'/>", ("s", "i", (1, 2), (0, 0), (0, 0)),
     AttributeError, "The project does not have a reference image"),
    (f"<project dir='/d'>{REFERENCE}</project>", ("s", "i", (1, 2), (0, 0), (0, 0)),
     AttributeError, "The startpoint is not in the project. Use add_startpoint first"),
    (f"<project>{REFERENCE}<projectaois><startpoint lri='s'/></projectaois></project>",
     ("s", "i", (1, 2), (0, 0), (0, 0)), ValueError, "Project does not contain directory parameter."),
    (f"<project dir='/d'>{REFERENCE}</project>", (1, "i", (1, 2), (0, 0), (0, 0)),
     TypeError, "Argument 'start_point' has incorrect type (expected str, got int)"),
])
def test_refused_guesses_change_nothing(make_project, xml, arguments, error, message):
    project = ProjectFile(make_project(xml))
    before = etree.tostring(project.root)
    with pytest.raises(error) as raised:
        project.set_startpoint_guess(*arguments)
    assert str(raised.value) == message
    assert etree.tostring(project.root) == before


def test_empty_project_refuses_start_points():
    for call in (lambda p: p.get_startpoints(), lambda p: p.add_startpoint(),
                 lambda p: p.set_startpoint_guess("s", "i", (0, 0), (0, 0), (0, 0))):
        with pytest.raises(AttributeError, match="^ProjectFile is not initialized$"):
            call(ProjectFile())


def test_created_project_takes_guesses_and_saves_them(tmp_path):
    name = str(tmp_path / "p.q3d")
    project = ProjectFile(name)
    project.set_reference_image("ref.tif")
    project.set_startpoint_guess(project.add_startpoint(), "a.tif", (1.5, 2), (0, 0), (0, 0))
    project.save_project()
    loaded = ProjectFile(name)
    assert loaded.get_startpoints() == ["startpoint_3d"]
    guess = loaded.root.find("projectaois/startpoint/guess")
    assert guess.text == "1.5 2 0 0 0 0"
    assert loaded.root.find("projectaois/startpoint").get("ref_img") == str(tmp_path / "ref.tif")
