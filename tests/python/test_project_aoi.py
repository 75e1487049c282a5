"""AOIPolygon and the AOI polygon masks of a project."""
import lxml.etree as etree
import numpy as np
import pytest

from zelpyx.zelpy.zelpy import AOIPolygon, ProjectFile

NOT_EVEN = "The size of the list must be even (x, y pairs)"


def test_new_polygon():
    polygon = AOIPolygon()
    assert (polygon.outline, polygon.cutouts, polygon.subset_size, polygon.step_size) == (None, [], 29, 7)
    outline = [0, 0, 10, 0, 10, 10]
    assert AOIPolygon(outline).outline is outline


@pytest.mark.parametrize("call, error, message", [
    (lambda p: p.set_outline([0, 0, 10]), ValueError, NOT_EVEN),
    (lambda p: p.set_outline([0, "1", 2]), ValueError, NOT_EVEN),
    (lambda p: p.set_outline([0, "1"]), TypeError, "Outline coordinates must be numbers"),
    (lambda p: p.set_outline([0, np.int64(1)]), TypeError, "Outline coordinates must be numbers"),
    (lambda p: p.set_outline((0, 0, 10, 0)), TypeError,
     "Argument 'outline' has incorrect type (expected list, got tuple)"),
    (lambda p: AOIPolygon([1]), ValueError, NOT_EVEN),
    (lambda p: p.add_cutout([1, None]), TypeError, "Cutout coordinates must be numbers"),
    (lambda p: p.set_subset_size(10), ValueError, "The subset size should be an odd number"),
    (lambda p: p.set_subset_size(200), ValueError, "The subset size should be an odd number"),
    (lambda p: p.set_subset_size(7), ValueError, "The subset size should be between 9 and 151"),
    (lambda p: p.set_subset_size(153), ValueError, "The subset size should be between 9 and 151"),
    (lambda p: p.set_subset_size(-3), ValueError, "The subset size should be between 9 and 151"),
    (lambda p: p.set_subset_size("29"), TypeError,
     "Argument 'subset_size' has incorrect type (expected int, got str)"),
    (lambda p: p.set_step_size(0), ValueError, "The step size should be between 1 and 30"),
    (lambda p: p.set_step_size(31), ValueError, "The step size should be between 1 and 30"),
])
def test_refused_values_change_nothing(call, error, message):
    polygon = AOIPolygon()
    with pytest.raises(error) as raised:
        call(polygon)
    assert str(raised.value) == message
    assert (polygon.outline, polygon.cutouts, polygon.subset_size, polygon.step_size) == (None, [], 29, 7)


@pytest.mark.parametrize("setter, value, stored", [
    ("set_subset_size", 29.9, 29), ("set_subset_size", 9, 9), ("set_subset_size", 151, 151),
    ("set_step_size", 1, 1), ("set_step_size", 30, 30), ("set_step_size", 7.9, 7),
])
def test_accepted_sizes(setter, value, stored):
    polygon = AOIPolygon()
    getattr(polygon, setter)(value)
    assert getattr(polygon, setter[4:]) == stored


def test_cutouts():
    polygon = AOIPolygon([])
    assert polygon.outline == []
    polygon.add_cutout([5, 5, 6, 6])
    polygon.set_cutouts(polygon.cutouts)
    assert polygon.cutouts == []
    cutouts = polygon.cutouts
    with pytest.raises(ValueError, match=r"^The size of the list must be even"):
        polygon.set_cutouts([[0, 0, 1, 1], [5, 5, 6]])
    assert polygon.cutouts is cutouts and cutouts == [[0, 0, 1, 1]]
    with pytest.raises(TypeError, match=r"^Argument 'cutout' has incorrect type \(expected list, got tuple\)$"):
        polygon.set_cutouts([(0, 0)])


@pytest.fixture
def project(make_project):
    return ProjectFile(make_project("<project><files><reference>ref.tif</reference></files></project>"))


def test_mask_written_exactly(project):
    project.set_aoi_polygon_masks([AOIPolygon([0, 0, 10, 0, 10, 10])], 2448, 2048)
    assert etree.tostring(project.root.find("projectaois")).decode() == (
        '<projectaois lri="projectaois"><aoinode lri="aoinode" img="ref.tif">'
        '<polygonmask lri="polygonmask" height="2048" width="2448">'
        '<polygon stepsize="7" height="7" selected="false" subsetsize="29">'
        "<outline>0 0 10 0 10 10</outline></polygon></polygonmask></aoinode></projectaois>")


def test_masks_read_back_equal_after_a_save(project):
    first = AOIPolygon([0.1, 0.25, 1e-05, 10, 2448.5, 2047])
    first.set_cutouts([[1, 1, 2, 2, 1, 2], [0.5, 0.5, 0.75, 0.5]])
    first.set_subset_size(41)
    first.set_step_size(3)
    second = AOIPolygon([0, 0, 5, 0, np.float64(5.5), 5])
    project.set_aoi_polygon_masks([first, AOIPolygon()], 2448, 2048)
    project.set_aoi_polygon_masks([second], 2448, 2048)
    project.save_project()
    masks = ProjectFile(project.project_file).get_aoi_polygon_masks()
    assert [(m.outline, m.cutouts, m.subset_size, m.step_size) for m in masks] == [
        (first.outline, first.cutouts, 41, 3), (second.outline, [], 29, 7)]
    assert all(isinstance(value, float) for value in masks[1].outline)
    assert len(project.root.findall("projectaois/aoinode/polygonmask")) == 2


def test_values_that_would_not_read_back_are_not_written(project):
    """Empty outlines and cutouts are left out; booleans are written as numbers."""
    empty = AOIPolygon([])
    kept = AOIPolygon([True, False, 10, 0, 10, 10])
    kept.cutouts.extend([[], [1, 1, 2, 2]])
    project.set_aoi_polygon_masks([empty, kept], 100, 100)
    masks = project.get_aoi_polygon_masks()
    assert [(m.outline, m.cutouts) for m in masks] == [([1.0, 0.0, 10.0, 0.0, 10.0, 10.0], [[1.0, 1.0, 2.0, 2.0]])]


def test_empty_mask_list_adds_an_empty_mask(project):
    project.set_aoi_polygon_masks([], 100, 100)
    assert project.root.find("projectaois/aoinode/polygonmask") is not None
    assert project.get_aoi_polygon_masks() == []


@pytest.mark.parametrize("xml, error", [
    ("<polygon subsetsize='29'><outline>0 0</outline></polygon>", TypeError),
    ("<polygon subsetsize='29' stepsize='x'><outline>0 0</outline></polygon>", ValueError),
    ("<polygon subsetsize='30' stepsize='7'><outline>0 0</outline></polygon>", ValueError),
    ("<polygon subsetsize='29' stepsize='7'><outline/></polygon>", IndexError),
    ("<polygon subsetsize='29' stepsize='7'><outline>0 a</outline></polygon>", ValueError),
])
def test_unreadable_stored_polygons(make_project, xml, error):
    project = ProjectFile(make_project(
        f"<project><projectaois><aoinode><polygonmask>{xml}</polygonmask></aoinode></projectaois></project>"))
    with pytest.raises(error):
        project.get_aoi_polygon_masks()


def test_polygons_only_below_the_root_projectaois(make_project):
    project = ProjectFile(make_project(
        "<project><x><projectaois><aoinode><polygonmask><polygon subsetsize='29' stepsize='7'>"
        "<outline>0 0</outline></polygon></polygonmask></aoinode></projectaois></x></project>"))
    assert project.get_aoi_polygon_masks() == []


def test_masks_need_a_reference_image_and_a_project(make_project):
    project = ProjectFile(make_project("<project/>"))
    with pytest.raises(AttributeError, match="^The project does not have a reference image$"):
        project.set_aoi_polygon_masks([], 1, 1)
    assert etree.tostring(project.root) == b"<project/>"
    for call in (lambda p: p.get_aoi_polygon_masks(), lambda p: p.set_aoi_polygon_masks([], 1, 1)):
        with pytest.raises(AttributeError, match="^ProjectFile is not initialized$"):
            call(ProjectFile())


def assigned(outline=(0, 0, 1, 1), cutouts=(), subset_size=29, step_size=7):
    """A polygon whose attributes were assigned directly, past the setters."""
    polygon = AOIPolygon()
    polygon.outline, polygon.cutouts = outline, list(cutouts)
    polygon.subset_size, polygon.step_size = subset_size, step_size
    return polygon


@pytest.mark.parametrize("polygon, error, message", [
    (assigned(outline=[0, 0, 1]), ValueError, NOT_EVEN),
    (assigned(outline=[0, "x"]), TypeError, "Outline coordinates must be numbers"),
    (assigned(cutouts=[[0, None]]), TypeError, "Cutout coordinates must be numbers"),
    (assigned(subset_size=30), ValueError, "The subset size should be an odd number"),
    (assigned(step_size=0), ValueError, "The step size should be between 1 and 30"),
])
def test_polygons_that_would_not_read_back_are_refused_whole(project, polygon, error, message):
    before = etree.tostring(project.root)
    with pytest.raises(error) as raised:
        project.set_aoi_polygon_masks([AOIPolygon([0, 0, 1, 1]), polygon], 100, 100)
    assert str(raised.value) == message
    assert etree.tostring(project.root) == before


def test_assigned_values_are_written_in_readable_form(project):
    project.set_aoi_polygon_masks([assigned(outline=(np.int64(3), 4), subset_size=29.0, step_size=np.int32(5))],
                                  100, 100)
    [mask] = project.get_aoi_polygon_masks()
    assert (mask.outline, mask.subset_size, mask.step_size) == ([3.0, 4.0], 29, 5)


def test_mask_arguments_are_typed(project):
    with pytest.raises(TypeError, match=r"^Argument 'masks' has incorrect type \(expected list, got tuple\)$"):
        project.set_aoi_polygon_masks((), 1, 1)
    with pytest.raises(TypeError, match=r"^Argument 'width' has incorrect type \(expected int, got str\)$"):
        project.set_aoi_polygon_masks([], "1", 1)
    project.set_aoi_polygon_masks([], 7.9, True)
    assert project.root.find("projectaois/aoinode/polygonmask").attrib == {
        "lri": "polygonmask", "height": "1", "width": "7"}
