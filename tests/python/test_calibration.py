"""ProjectCalibration: the calibration subtree of a project document read and written,
the camera queries, and the calibration access of ProjectFile."""
import ctypes
import gc
import math
import pickle
import xml.etree.ElementTree as ElementTree
import zipfile

import cv2
import lxml.etree as etree
import numpy as np
import pytest

from zelpyx.zelpy.zelpy import ProjectCalibration, ProjectFile

RNG = np.random.default_rng(7)
VRO_COUNTS = {0: (11, 36), 1: (11, 11), 2: (11, 22), 3: (9, 36), 4: (9, 9), 5: (9, 22), 6: (0, 0), 9: (0, 0)}


# ---------------------------------------------------------------------------------------
# Fixture documents.

def e_text(values):
    return " ".join("{:e}".format(v) for v in values)


def camera_xml(camera_id=0, kind="pinhole", intrinsics=(801.5, 598.25, 2400.0, 2395.5, 0.0), rtp=(3, 4, 4),
               coefficients=None, cs_type=None, orientation=(0, 0, 0, 0, 0, 0), distortion_text=None):
    """A camera element; distortion_text replaces the written coefficients."""
    if kind in ("pinhole", "air"):
        attributes = 'r="{}" t="{}" p="{}"'.format(*rtp)
        coefficients = [0.0] * 11 if coefficients is None else coefficients
    else:
        attributes = "" if cs_type is None else f'cs_type="{cs_type}"'
        coefficients = [] if coefficients is None else coefficients
    text = e_text(coefficients) if distortion_text is None else distortion_text
    orientation_xml = "" if orientation is None else f"<orientation>{e_text(orientation)}</orientation>"
    return (f'<camera id="{camera_id}" type="{kind}"><intrinsics>{e_text(intrinsics)}</intrinsics>'
            f'<distortion {attributes}>{text}</distortion>{orientation_xml}</camera>')


def spline_xml(direction, nx, ny, u, v, domain=(0.0, 0.0, 1600.0, 1200.0)):
    tlx, tly, brx, bry = domain
    return (f'<spline dir="{direction}" nx="{nx}" ny="{ny}" tlx="{tlx}" tly="{tly}" brx="{brx}" bry="{bry}">'
            f'<u_coeff>{" ".join(map(str, u))}</u_coeff><v_coeff>{" ".join(map(str, v))}</v_coeff></spline>')


def document(*children):
    return etree.fromstring(f'<project><calibration lri="calibration">{"".join(children)}</calibration></project>')


def read(*children):
    calibration = ProjectCalibration()
    calibration.read_calibration(document(*children))
    return calibration


def written(calibration):
    root = etree.Element("project")
    calibration.write_calibration(root)
    return root


def numbers(text):
    return [float(t) for t in (text or "").split()]


def angles_of(matrix):
    """Cardan-Bryant angles in degrees of R = Rz(c)·Ry(b)·Rx(a)."""
    return np.degrees([math.atan2(matrix[2, 1], matrix[2, 2]), -math.asin(matrix[2, 0]),
                       math.atan2(matrix[1, 0], matrix[0, 0])])


def rotation(a, b, c):
    a, b, c = np.radians([a, b, c])
    rx = np.array([[1, 0, 0], [0, math.cos(a), -math.sin(a)], [0, math.sin(a), math.cos(a)]])
    ry = np.array([[math.cos(b), 0, math.sin(b)], [0, 1, 0], [-math.sin(b), 0, math.cos(b)]])
    rz = np.array([[math.cos(c), -math.sin(c), 0], [math.sin(c), math.cos(c), 0], [0, 0, 1]])
    return rz @ ry @ rx


# A pinhole pair with every distortion term that OpenCV shares: skew 0 and no r²-scaled
# tangential terms.
LEFT = dict(intrinsics=(801.5, 598.25, 2400.0, 2395.5, 0.0), rtp=(3, 2, 4),
            coefficients=[0.12, -0.05, 0.01, -9e-4, 6e-4, 0, 0, 1e-3, 4e-4, -6e-4, 3e-4],
            orientation=(0, 0, 0, 0, 0, 0))
RIGHT = dict(intrinsics=(790.0, 610.5, 2410.0, 2405.0, 0.0), rtp=(2, 2, 2),
             coefficients=[-0.08, 0.03, 0, 5e-4, -7e-4, 0, 0, -8e-4, 2e-4, 0, 0],
             orientation=(1.5, -22.0, 0.75, 310.0, -4.0, 60.0))


@pytest.fixture
def stereo():
    return read(camera_xml(0, **LEFT), camera_xml(1, **RIGHT))


# ---------------------------------------------------------------------------------------
# The object and its construction.

def test_empty_object_refuses_every_query_before_its_arguments():
    class Sub(ProjectCalibration):
        pass
    for cls in (ProjectCalibration, Sub):
        empty = cls()
        calls = [lambda: empty.intrinsic_matrix(5), lambda: empty.extrinsic_matrix(0),
                 lambda: empty.radial_distortion(0), lambda: empty.tangential_distortion(1),
                 lambda: empty.prismatic_distortion(0), lambda: empty.ray(7, "x"),
                 lambda: empty.project(None), lambda: empty.triangulate(1, 2),
                 lambda: empty.write_calibration(None), lambda: empty._ProjectCalibration__check_thisptr()]
        for call in calls:
            with pytest.raises(ValueError, match=f"^C\\+\\+ object pointer for {cls.__name__} has not been "
                                                 "initialized properly.$"):
                call()
    with pytest.raises(ValueError, match="has not been initialized properly"):
        ProjectCalibration(None)._ProjectCalibration__check_thisptr()


def test_a_subclass_that_skips_the_check_still_cannot_reach_a_missing_calibration():
    class Careless(ProjectCalibration):
        def _ProjectCalibration__check_thisptr(self):
            return None
    careless = Careless()
    for call in (lambda: careless.project([1, 2, 3]), lambda: careless.triangulate([1, 2], [3, 4]),
                 lambda: careless.ray(0, [1, 2]), lambda: careless.intrinsic_matrix(0),
                 lambda: careless.extrinsic_matrix(0), lambda: careless.radial_distortion(0),
                 lambda: careless.write_calibration(etree.Element("p"))):
        with pytest.raises(ValueError, match="Careless has not been initialized properly"):
            call()


def test_construction_from_a_project_file(make_project):
    xml = etree.tostring(document(camera_xml(0, **LEFT), camera_xml(1, **RIGHT)))
    calibration = ProjectCalibration(make_project(xml))
    np.testing.assert_array_equal(calibration.intrinsic_matrix(1)[0], [2410.0, 0.0, 790.0])
    assert ProjectCalibration(project=make_project(xml, name="k.q3d")).radial_distortion(0).size == 3


def test_construction_failures(tmp_path, make_project):
    missing = str(tmp_path / "none.q2d")
    with pytest.raises(FileNotFoundError, match=f"^Cannot find {missing}\\.$"):
        ProjectCalibration(missing)
    for name in ("p.q2d", "p.Q3D"):
        path = tmp_path / name
        path.write_bytes(b"")
        with pytest.raises(ValueError, match=f"^{path} is not a valid Zel3D project file\\.$"):
            ProjectCalibration(str(path))
    empty = tmp_path / "empty.q3d"
    empty.write_text("")
    no_calibration = make_project("<project/>")
    no_member = make_project(None, {"other.xml": b"<project/>"}, name="nomember.q3d")
    entity = make_project('<!DOCTYPE p [<!ENTITY e "x">]><project>&e;</project>', name="entity.q3d")
    for path, cause in ((str(empty), zipfile.BadZipFile), (no_calibration, ValueError), (no_member, KeyError),
                        (entity, etree.XMLSyntaxError)):
        with pytest.raises(ValueError, match=f"^Could not process {path}$") as info:
            ProjectCalibration(path)
        assert isinstance(info.value.__context__, cause)
    with pytest.raises(TypeError):
        ProjectCalibration("a", "b")
    with pytest.raises(TypeError):
        ProjectCalibration(path="a")


def test_refuses_pickling_and_copying(stereo):
    import copy
    for call in (lambda: pickle.dumps(stereo), lambda: copy.copy(stereo), lambda: stereo.__reduce__()):
        with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
            call()


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                                                     "fsmblks", "uordblks", "fordblks", "keepcost")]


def allocated_bytes():
    """The bytes that the C allocator has handed out and not taken back (glibc's
    mallinfo2): the library's objects, which tracemalloc does not see."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        pytest.skip("the C library has no mallinfo2")
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def test_many_objects_release_their_calibrations(make_project):
    source = document(camera_xml(0, **LEFT), camera_xml(1, **RIGHT))
    path = make_project(etree.tostring(source))
    failing = document(camera_xml(0, **LEFT), '<magnification id="x">1 2 3</magnification>')

    def cycle():
        # Each way a calibration is released: replaced by a read, dropped by a failed
        # read, and with its object.
        calibration = ProjectCalibration(path)
        calibration.read_calibration(source)
        with pytest.raises(ValueError):
            calibration.read_calibration(failing)
        calibration.read_calibration(source)
    for _ in range(100):
        cycle()
    gc.collect()
    start = allocated_bytes()
    held = [read(camera_xml(0, **LEFT), camera_xml(1, **RIGHT)) for _ in range(100)]
    one_calibration = (allocated_bytes() - start) / len(held)
    del held
    gc.collect()
    start = allocated_bytes()
    for _ in range(1000):
        cycle()
    gc.collect()
    # A calibration kept by one cycle in twenty would pass; one kept by every cycle, or by
    # any of the releases of every cycle, would not.
    assert allocated_bytes() - start < 50 * one_calibration


# ---------------------------------------------------------------------------------------
# Reading.

def test_type_check_keeps_the_calibration(stereo):
    for value in ("<project/>", None, ElementTree.Element("p")):
        with pytest.raises(TypeError, match="^The project_file must be an xml.etree.Element$"):
            stereo.read_calibration(value)
        with pytest.raises(TypeError, match="^The project_file must be an xml.etree.Element$"):
            stereo.write_calibration(value)
    assert stereo.intrinsic_matrix(0)[0, 0] == 2400.0


class Kept(ProjectCalibration):
    pass


@pytest.mark.parametrize("cls", [ProjectCalibration, Kept])
@pytest.mark.parametrize("failing", [
    "<project/>",
    # Fails after the first camera was stored in the new calibration.
    etree.tostring(document(camera_xml(0, **LEFT), camera_xml(1, rtp=(9, 0, 0)))),
    etree.tostring(document(camera_xml(0, **LEFT), '<magnification id="x">1 2 3</magnification>')),
])
def test_a_failed_read_leaves_the_object_without_a_calibration(cls, failing):
    calibration = cls()
    calibration.read_calibration(document(camera_xml(0, **LEFT), camera_xml(1, **RIGHT)))
    with pytest.raises(ValueError, match="^Could not process project file$"):
        calibration.read_calibration(etree.fromstring(failing))
    for query in (lambda: calibration.intrinsic_matrix(0), lambda: calibration.write_calibration(etree.Element("p"))):
        with pytest.raises(ValueError, match=f"^C\\+\\+ object pointer for {cls.__name__} has not been initialized "
                                             "properly.$"):
            query()
    # A later read fills the object again, whole: nothing of the earlier calibration stays.
    calibration.read_calibration(document(camera_xml(1, **LEFT)))
    assert np.isnan(calibration.intrinsic_matrix(0)[0, 0])
    assert calibration.radial_distortion(0).size == 0
    assert calibration.intrinsic_matrix(1)[0, 0] == 2400.0


def camera(**changes):
    return camera_xml(0, **changes)


PINHOLE_11 = [float(k + 1) for k in range(11)]
SPLINE_16 = [float(k) for k in range(16)]


@pytest.mark.parametrize("xml, message", [
    ("<project/>", "The project does not contain a calibration"),
    ("<project><other><calibration/></other></project>", "The project does not contain a calibration"),
    ('<project><calibration><magnification id="0">1 2 3</magnification></calibration></project>',
     "The project does not contain a valid calibration"),
    ('<project><calibration><camera type="pinhole"/></calibration></project>',
     "The project contains an invalid camera type"),
    ('<project><calibration><camera id="0"/></calibration></project>', "The project contains an invalid camera type"),
    ('<project><calibration><camera id="0" type="VRO"/></calibration></project>',
     "Missing required intrinsics element."),
    ('<project><calibration><camera id="0" type="VRO"><intrinsics>1 2 3 4 5</intrinsics></camera>'
     "</calibration></project>", "Missing required distortion element."),
])
def test_structure_messages(xml, message):
    with pytest.raises(ValueError, match="^Could not process project file$") as info:
        ProjectCalibration().read_calibration(etree.fromstring(xml))
    assert type(info.value.__context__) is ValueError
    assert str(info.value.__context__) == message


@pytest.mark.parametrize("children, cause, message", [
    ([camera(intrinsics=(1, 2, 3, 4))], IndexError, "list index out of range"),
    ([camera().replace(' r="3"', "")], ValueError, "Missing radial distortion parameters number."),
    ([camera(rtp=(4, 0, 0))], ValueError, "Radial distortion parameters number is wrong."),
    ([camera(rtp=(-1, 0, 0))], ValueError, "Radial distortion parameters number is wrong."),
    ([camera(rtp=(7, 0, 0)).replace(' t="0"', "")], ValueError, "Radial distortion parameters number is wrong."),
    ([camera().replace(' t="4"', "")], ValueError, "Missing tangential distortion parameters number"),
    ([camera(rtp=(0, 1, 0))], ValueError, "Tangential distortion parameters number is wrong."),
    ([camera().replace(' p="4"', "")], ValueError, "Missing prismatic distortion parameters number"),
    ([camera(rtp=(0, 0, 3))], ValueError, "Prismatic distortion parameters number is wrong."),
    ([camera(coefficients=PINHOLE_11[:10])], ValueError, "Could not read distortion parameters."),
    ([camera(coefficients=PINHOLE_11 + [1.0])], ValueError, "Could not read distortion parameters."),
    ([camera(rtp=("2.0", 0, 0))], ValueError, "invalid literal for int() with base 10: '2.0'"),
    ([camera(distortion_text="1 2 x")], ValueError, "could not convert string to float: 'x'"),
    ([camera(orientation=None)], ValueError, "Could not read transformation parameters."),
    ([camera(orientation=(1, 2, 3, 4, 5))], ValueError, "Could not read transformation parameters."),
    ([camera(kind="VRO", cs_type=1, coefficients=[1.0] * 21)], ValueError, "Could not read distortion parameters."),
    ([camera(kind="VRO", cs_type=1, distortion_text="")], IndexError, "list index out of range"),
    ([camera(kind="VRO", cs_type=-1)], OverflowError, "value too large to convert to enum orvex::VROSystemType"),
    ([camera(kind="VRO", cs_type=2 ** 32)], OverflowError, "value too large to convert to enum orvex::VROSystemType"),
    ([camera().replace('id="0"', f'id="{2 ** 31}"')], OverflowError, "value too large to convert to int"),
    ([camera(), '<magnification id="0">1 2</magnification>'], ValueError, "Could not read magnification parameters."),
    ([camera(), '<magnification id="0">1 2 3 4</magnification>'], ValueError,
     "Could not read magnification parameters."),
    ([camera(), "<magnification>1 2 3</magnification>"], ValueError,
     "Missing camera id from magnification parameters."),
    ([camera(), '<residualerror id="0"/>'], ValueError, "Missing attribute in residual error."),
    ([camera(), '<residualerror value="0"/>'], ValueError, "Missing attribute in residual error."),
    ([camera(), "<imap/>"], ValueError, "Missing camera id from magnification parameters."),
    ([camera(), '<imap id="0"/>'], ValueError, "Missing required spline element."),
    ([camera(), '<imap id="0"><spline nx="1" ny="1"/></imap>'], ValueError, "Missing direction attribute."),
    ([camera(), '<imap id="0"><spline dir="fwd" nx="1"/></imap>'], ValueError,
     "Missing number of coefficients for spline."),
    ([camera(), '<imap id="0"><spline dir="fwd" nx="1" ny="1" tlx="0" brx="1" bry="1"/></imap>'], ValueError,
     "Missing definition domain for spline."),
    ([camera(), '<imap id="0"><spline dir="fwd" nx="1" ny="1" tlx="0" tly="0" brx="1"/></imap>'], ValueError,
     "Missing definition domain for spline."),
    ([camera(), '<imap id="0"><spline dir="fwd" nx="1" ny="1" tlx="0" tly="0" brx="1" bry="1"/></imap>'],
     ValueError, "Missing spline u coefficients."),
    ([camera(), '<imap id="0"><spline dir="fwd" nx="1" ny="1" tlx="0" tly="0" brx="1" bry="1">'
                "<u_coeff>1</u_coeff></spline></imap>"], ValueError, "Missing spline v coefficients."),
    ([camera(), f'<imap id="0">{spline_xml("fwd", 1, 1, SPLINE_16[:15], SPLINE_16)}</imap>'], ValueError,
     "Could not read horizontal spline coefficients."),
    ([camera(), f'<imap id="0">{spline_xml("fwd", 1, 1, SPLINE_16, SPLINE_16 + [1.0])}</imap>'], ValueError,
     "Could not read vertical spline coefficients."),
    # Patch counts whose coefficient arrays could not exist are refused before any allocation.
    ([camera(), f'<imap id="0">{spline_xml("fwd", 2 ** 31 - 1, 2 ** 31 - 1, [1.0], [1.0])}</imap>'],
     OverflowError, "value too large to convert to int"),
    ([camera(), f'<imap id="0">{spline_xml("fwd", 2 ** 30, 2 ** 30, [1.0], [1.0])}</imap>'],
     ValueError, "Could not read horizontal spline coefficients."),
    ([camera(), f'<imap id="0">{spline_xml("fwd", 2 ** 31, 1, [1.0], [1.0])}</imap>'],
     OverflowError, "value too large to convert to int"),
])
def test_value_messages(children, cause, message):
    with pytest.raises(ValueError, match="^Could not process project file$") as info:
        read(*children)
    assert type(info.value.__context__) is cause
    assert str(info.value.__context__) == message


def test_reader_leniencies():
    calibration = read(camera(kind="air", intrinsics=(1, 2, 3, 4, 5, 6), coefficients=PINHOLE_11),
                       camera_xml(1, kind="Pinhole", cs_type=4, coefficients=[0.0] * 18),
                       camera_xml(1, kind="VRO", cs_type=6, distortion_text="  "),
                       camera_xml(2, kind="VRO", cs_type=7, distortion_text=""),
                       '<residualerror id="-5" value="0.25">ignored</residualerror>',
                       '<residualerror id="3" value="0.1"/>')
    np.testing.assert_array_equal(calibration.intrinsic_matrix(0), [[3, 0, 1], [0, 4, 2], [0, 0, 1]])
    np.testing.assert_array_equal(calibration.radial_distortion(0), [1, 2, 3])
    np.testing.assert_array_equal(calibration.prismatic_distortion(0), [8, 9, 10, 11])
    with pytest.raises(AttributeError, match="^This is only valid for pinhole camera models.$"):
        calibration.radial_distortion(1)
    root = written(calibration)
    assert sorted((e.get("id"), e.get("value")) for e in root.iter("residualerror")) == \
        [("-1", "0.25"), ("3", "0.10000000149011612")]
    assert root.find("calibration/camera[@id='0']/intrinsics").text.split()[4] == "5.000000e+00"
    assert root.find("calibration/camera[@id='1']/distortion").attrib == {"cs_type": "6"}


def test_calibrations_anywhere_in_the_document_are_read():
    deep = (f'<deep><calibration>{camera_xml(1, **RIGHT)}'
            '<magnification id="1">1 2 3</magnification></calibration></deep>')
    root = etree.fromstring(f'<project><calibration>{camera_xml(0, **LEFT)}</calibration>{deep}</project>')
    calibration = ProjectCalibration()
    calibration.read_calibration(root)
    assert calibration.intrinsic_matrix(1)[0, 0] == 2410.0
    # The presence checks look only at the calibration child: its lack of magnifications
    # leaves the deeper one unread.
    assert written(calibration).find("calibration/magnification") is None
    root = etree.fromstring(f'<project><calibration>{camera_xml(0, **LEFT)}'
                            f'<magnification id="0">4 5 6</magnification></calibration>{deep}</project>')
    calibration.read_calibration(root)
    assert [m.text for m in written(calibration).iter("magnification")] in \
        (["4.0 5.0 6.0", "1.0 2.0 3.0"], ["1.0 2.0 3.0", "4.0 5.0 6.0"])


def test_no_camera_of_the_pair_leaves_nan_and_empty_distortion():
    calibration = read(camera_xml(0, **LEFT))
    k = calibration.intrinsic_matrix(1)
    assert all(np.isnan(k[i, j]) for i, j in ((0, 0), (1, 1), (0, 2), (1, 2)))
    assert calibration.radial_distortion(1).shape == (0,)


# ---------------------------------------------------------------------------------------
# Writing, and reading back what was written.

def test_exact_subtree():
    root = written(read(
        camera_xml(1, intrinsics=(1000.5, 500.25, 2000, 2000, 0), rtp=(0, 0, 0)),
        camera_xml(0, kind="VRO", cs_type=4, coefficients=[0.5] * 18, orientation=(10, 20, 30, 1, 2, 3)),
        '<magnification id="2">1.0 0.5 1e-05</magnification>', '<residualerror id="0" value="0.25"/>',
        f'<imap id="1">{spline_xml("fwd", 2, 3, range(30), range(30, 60))}</imap>'))
    calibration = root.find("calibration")
    assert calibration.attrib == {"lri": "calibration"}
    assert [c.tag for c in calibration] == ["camera", "camera", "magnification", "residualerror", "imap"]
    vro, pinhole = calibration.findall("camera")
    assert (vro.get("id"), vro.get("type"), pinhole.get("id"), pinhole.get("type")) == ("0", "VRO", "1", "pinhole")
    assert list(pinhole.find("distortion").attrib.items()) == [("r", "0"), ("t", "0"), ("p", "0")]
    assert pinhole.find("distortion").text == " ".join(["0.000000e+00"] * 11)
    assert pinhole.find("intrinsics").text == "1.000500e+03 5.002500e+02 2.000000e+03 2.000000e+03 0.000000e+00"
    assert pinhole.find("orientation").text == " ".join(["0.000000e+00"] * 6)
    assert vro.find("distortion").text == " ".join(["5.000000e-01"] * 18)
    assert numbers(vro.find("orientation").text) == pytest.approx([10, 20, 30, 1, 2, 3], rel=1e-6)
    assert calibration.find("magnification").text == "1.0 0.5 1e-05"
    assert calibration.find("residualerror").attrib == {"id": "0", "value": "0.25"}
    spline = calibration.find("imap/spline")
    assert calibration.find("imap").attrib == {"id": "1"}
    assert list(spline.attrib.items()) == [("dir", "fwd"), ("nx", "2"), ("ny", "3"), ("tlx", "0.0"),
                                           ("tly", "0.0"), ("brx", "1600.0"), ("bry", "1200.0")]
    u = spline.find("u_coeff").text
    assert u.split("\n") == ["", "     0.0 1.0 2.0 3.0 4.0 5.0 6.0 7.0", "     8.0 9.0 10.0 11.0 12.0 13.0 14.0 15.0",
                             "     16.0 17.0 18.0 19.0 20.0 21.0 22.0 23.0", "     24.0 25.0 26.0 27.0 28.0 29.0"]
    assert numbers(spline.find("v_coeff").text) == list(range(30, 60))
    assert [c.tag for c in spline] == ["u_coeff", "v_coeff"]


def test_writing_replaces_every_calibration_and_unset_cameras_are_left_out():
    root = etree.fromstring("<project><a><calibration/></a><calibration/><b/></project>")
    calibration = read(camera_xml(1, **RIGHT), '<magnification id="0">1 1 1</magnification>',
                       '<residualerror id="0" value="0.5"/>')
    target = root.find("b")
    calibration.write_calibration(target)
    calibration.write_calibration(target)
    assert [e.getparent().tag for e in root.iter("calibration")] == ["b"]
    subtree = target[-1]
    assert [c.get("id") for c in subtree.findall("camera")] == ["1"]
    assert subtree.find("magnification").get("id") == "0" and subtree.find("residualerror").get("id") == "0"
    assert subtree.find("imap") is None
    with pytest.raises(AttributeError):
        calibration.write_calibration(etree.fromstring("<calibration/>"))


def vro_coefficients(cs_type):
    first, second = VRO_COUNTS[cs_type]
    # As the fixture writes them.
    return [float("{:e}".format(v)) for v in RNG.uniform(-1e-3, 1e-3, first + second)]


# Every camera model and coefficient set, a further camera, magnifications, residual
# errors and inverse mappings: forward and reverse for camera 0, reverse only for camera 1.
ROUND_TRIP = [camera_xml(0, rtp=rtp, coefficients=list(RNG.uniform(-0.2, 0.2, 11)),
                         intrinsics=tuple(RNG.uniform(100, 3000, 4)) + (0.25,),
                         orientation=(12.5, -33.25, 170.0, -100.5, 20.25, 1e4))
              for rtp in ((0, 0, 0), (1, 2, 0), (2, 0, 2), (3, 4, 4))] + \
             [camera_xml(1, kind="VRO", cs_type=cs, coefficients=vro_coefficients(cs),
                         orientation=(-5.0, 44.0, -120.0, 1.5, -2.5, 3.5)) for cs in VRO_COUNTS]


@pytest.mark.parametrize("left", ROUND_TRIP[:4])
@pytest.mark.parametrize("right", ROUND_TRIP[4:])
def test_round_trip(left, right):
    further = camera_xml(5, kind="air", coefficients=PINHOLE_11, orientation=(0.5, 0.25, 0.125, 1, 2, 3))
    mappings = (f'<imap id="0">{spline_xml("fwd", 1, 2, RNG.uniform(-1, 1, 20), RNG.uniform(-1, 1, 20))}'
                f'{spline_xml("rev", 1, 2, RNG.uniform(-1, 1, 20), RNG.uniform(-1, 1, 20))}</imap>'
                f'<imap id="1">{spline_xml("rev", 2, 0, RNG.uniform(-1, 1, 25), RNG.uniform(-1, 1, 25))}</imap>')
    source = document(left, right, further, '<magnification id="0">0.1 0.2 0.30000000000000004</magnification>',
                      '<residualerror id="1" value="0.0625"/>', mappings)
    calibration = ProjectCalibration()
    calibration.read_calibration(source)
    first = written(calibration)
    again = ProjectCalibration()
    again.read_calibration(first)
    # What was written reads back to the same text.
    assert etree.tostring(written(again)) == etree.tostring(first)
    # And it holds the source's values within the writer's precision.
    for original in source.iter("camera"):
        copy = first.find(f"calibration/camera[@id='{original.get('id')}']")
        assert copy.get("type") == ("VRO" if original.get("type") == "VRO" else "pinhole")
        assert dict(copy.find("distortion").attrib) == dict(original.find("distortion").attrib)
        for tag in ("intrinsics", "distortion", "orientation"):
            assert numbers(copy.find(tag).text) == pytest.approx(numbers(original.find(tag).text), rel=6e-7,
                                                                 abs=1e-12)
    for tag in ("magnification", "residualerror"):
        assert etree.tostring(first.find(f"calibration/{tag}")) == etree.tostring(source.find(f"calibration/{tag}"))
    source.find("calibration/imap[@id='1']/spline").set("ny", "2")
    assert splines(first) == splines(source)


def splines(root):
    """(imap id, attributes, u values, v values) of every spline, exactly."""
    return [(s.getparent().get("id"), dict(s.attrib), numbers(s.find("u_coeff").text), numbers(s.find("v_coeff").text))
            for s in root.iter("spline")]


def test_coefficients_are_written_as_python_writes_floats():
    special = [0.0, -0.0, 1.0, -2.5, 1e16, 1e15, 9999999999999998.0, 1e-4, 1e-5, 0.00012345, 123456789012345678.0,
               5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 0.1, 1 / 3, float("nan"), float("inf"),
               float("-inf"), 20.0, 1e22, 1e-7, 1234.5]
    exponents = RNG.uniform(-315, 307, 2500 - len(special))
    values = special + (RNG.choice([-1, 1], exponents.size) * RNG.uniform(1, 10, exponents.size) *
                        10.0 ** exponents).tolist()
    calibration = read(camera(), f'<imap id="0">{spline_xml("fwd", 47, 47, values, values[::-1])}</imap>')
    spline = written(calibration).find("calibration/imap/spline")
    assert spline.find("u_coeff").text.split() == [repr(v) for v in values]
    assert spline.find("v_coeff").text.split() == [repr(v) for v in values[::-1]]


def test_spline_patch_counts_are_normalised():
    calibration = read(camera(), f'<imap id="2">{spline_xml("other", 4, 0, range(49), range(49))}</imap>')
    spline = written(calibration).find("calibration/imap/spline")
    assert (spline.getparent().get("id"), spline.get("dir"), spline.get("nx"), spline.get("ny")) == \
        ("1", "fwd", "4", "4")
    assert numbers(spline.find("u_coeff").text)[8] == 8.0
    with pytest.raises(ValueError):
        read(camera(), f'<imap id="0">{spline_xml("fwd", 4, 5, range(49), range(49))}</imap>')
    read(camera(), f'<imap id="0">{spline_xml("fwd", 4, 5, range(56), range(56))}</imap>')


# ---------------------------------------------------------------------------------------
# Queries.

def opencv_projection(calibration, camera_id, points, prismatic_swap=(0, 2, 1, 3)):
    k = calibration.intrinsic_matrix(camera_id)
    e = calibration.extrinsic_matrix(camera_id)
    radial = np.zeros(3)
    radial[:calibration.radial_distortion(camera_id).size] = calibration.radial_distortion(camera_id)
    tangential = np.zeros(4)
    tangential[:calibration.tangential_distortion(camera_id).size] = calibration.tangential_distortion(camera_id)
    prismatic = np.zeros(4)
    prismatic[:calibration.prismatic_distortion(camera_id).size] = calibration.prismatic_distortion(camera_id)
    coefficients = np.array([radial[0], radial[1], tangential[0], tangential[1], radial[2], 0, 0, 0,
                             *prismatic[list(prismatic_swap)]])
    rvec, _ = cv2.Rodrigues(e[:3, :3])
    pixels, _ = cv2.projectPoints(np.asarray(points, dtype=np.float64), rvec, e[:3, 3], k, coefficients)
    return pixels.reshape(-1, 2)


WORLD = np.column_stack([RNG.uniform(-150, 150, 40), RNG.uniform(-100, 100, 40), RNG.uniform(500, 1500, 40)])


def test_projection_agrees_with_opencv(stereo):
    left = opencv_projection(stereo, 0, WORLD)
    right = opencv_projection(stereo, 1, WORLD)
    for k, point in enumerate(WORLD):
        (lx, ly), (rx, ry) = stereo.project(list(point))
        assert abs(lx - left[k, 0]) < 1e-9 and abs(ly - left[k, 1]) < 1e-9
        assert abs(rx - right[k, 0]) < 1e-9 and abs(ry - right[k, 1]) < 1e-9


def test_matrices(stereo):
    np.testing.assert_array_equal(stereo.intrinsic_matrix(1), [[2410, 0, 790], [0, 2405, 610.5], [0, 0, 1]])
    e = stereo.extrinsic_matrix(1)
    np.testing.assert_allclose(e[:3, :3], rotation(1.5, -22.0, 0.75), atol=1e-15)
    np.testing.assert_array_equal(e[:3, 3], [310.0, -4.0, 60.0])
    np.testing.assert_array_equal(e[3], [0, 0, 0, 1])
    assert e.dtype == np.float64 and stereo.intrinsic_matrix(0).dtype == np.float64
    np.testing.assert_array_equal(stereo.radial_distortion(1), [-0.08, 0.03])
    np.testing.assert_array_equal(stereo.tangential_distortion(0), [-9e-4, 6e-4])
    np.testing.assert_array_equal(stereo.prismatic_distortion(1), [-8e-4, 2e-4])
    # Results are fresh arrays.
    stereo.intrinsic_matrix(0)[0, 0] = 0
    stereo.radial_distortion(0)[0] = 0
    assert stereo.intrinsic_matrix(0)[0, 0] == 2400 and stereo.radial_distortion(0)[0] == 0.12


def test_rays_and_triangulation(stereo):
    for point in WORLD[:10]:
        left, right = stereo.project(tuple(point))
        for camera_id, pixel in ((0, left), (1, right)):
            origin, direction = stereo.ray(camera_id, pixel)
            e = stereo.extrinsic_matrix(camera_id)
            in_camera = e[:3, :3] @ point + e[:3, 3]
            assert origin == (0.0, 0.0, 0.0) and direction[2] == 1.0
            # Undistorted to 1e-9 in normalised coordinates.
            np.testing.assert_allclose(direction, in_camera / in_camera[2], rtol=0, atol=1e-9)
        np.testing.assert_allclose(stereo.triangulate(left, right), point, rtol=1e-8)
    plain = read(camera(rtp=(0, 0, 0)))
    assert plain.ray(0, [801.5, 598.25]) == [[0.0, 0.0, 0.0], [0.0, 0.0, 1.0]]
    assert plain.ray(0, (801.5 + 2400.0, 598.25)) == ((0.0, 0.0, 0.0), (1.0, 0.0, 1.0))


def normalised(pixel, intrinsics):
    cx, cy, fx, fy, skew = intrinsics
    y = (pixel[1] - cy) / fy
    return np.array([(pixel[0] - cx - skew * y) / fx, y])


def eleven_terms(p, a):
    """The radial (a[0:3]), tangential (a[3:7]) and prismatic (a[7:11]) model."""
    x, y = p
    r2 = x * x + y * y
    radial = a[0] * r2 + a[1] * r2 ** 2 + a[2] * r2 ** 3
    t0, t1 = a[3] + a[5] * r2, a[4] + a[6] * r2
    return np.array([x + x * radial + 2 * t0 * x * y + t1 * (r2 + 2 * x * x) + a[7] * r2 + a[9] * r2 ** 2,
                     y + y * radial + 2 * t1 * x * y + t0 * (r2 + 2 * y * y) + a[8] * r2 + a[10] * r2 ** 2])


def polynomial(p, a, degree):
    x, y = p
    terms = [x ** (n - k) * y ** k for n in range(2, degree + 1) for k in range(n + 1)]
    half = len(terms)
    return np.array([x + np.dot(a[:half], terms), y + np.dot(a[half:2 * half], terms)])


@pytest.mark.parametrize("cs_type", [0, 1, 2, 3, 4, 5, 6])
def test_vro_rays_follow_the_model(cs_type):
    intrinsics = (640.0, 480.0, 1800.0, 1790.0, 0.5)
    first, second = VRO_COUNTS[cs_type]
    values = vro_coefficients(cs_type)
    calibration = read(camera_xml(0, kind="VRO", cs_type=cs_type, intrinsics=intrinsics, coefficients=values))
    first_set = np.zeros(11)
    first_set[:first] = values[:first]
    second_set = np.zeros(36)
    second_set[:second] = values[first:]
    for pixel in ([100.0, 50.0], [640.0, 480.0], [1200.0, 900.0]):
        n = normalised(pixel, intrinsics)
        origin, direction = calibration.ray(0, pixel)
        np.testing.assert_allclose(direction[:2], eleven_terms(n, first_set), rtol=1e-12, atol=1e-15)
        if cs_type in (1, 4):
            stage = eleven_terms(n, second_set)
        elif cs_type in (2, 5):
            stage = polynomial(n, second_set, 4)
        elif cs_type in (0, 3):
            stage = polynomial(n, second_set, 5)
        else:
            stage = n
        np.testing.assert_allclose(origin, [*(stage - n), 0.0], rtol=1e-10, atol=1e-15)
    with pytest.raises(AttributeError, match="^This is only valid for pinhole camera models.$"):
        calibration.prismatic_distortion(0)
    assert calibration.intrinsic_matrix(0)[0, 1] == 0.0


def test_a_camera_record_carries_nothing_over_from_the_one_before():
    full = camera_xml(0, kind="VRO", cs_type=0, coefficients=[0.01] * 47)
    short = camera_xml(0, kind="VRO", cs_type=4, coefficients=[0.0] * 18)
    calibration = read(full, short)
    origin, direction = calibration.ray(0, [700.0, 300.0])
    assert origin == [0.0, 0.0, 0.0]
    np.testing.assert_allclose(direction[:2], normalised([700.0, 300.0], (801.5, 598.25, 2400.0, 2395.5, 0.0)))


@pytest.mark.parametrize("call, error, message", [
    (lambda c: c.radial_distortion(-1), ValueError, "^camera_id should be either 0 or 1.$"),
    (lambda c: c.intrinsic_matrix(2), ValueError, "^camera_id should be either 0 or 1.$"),
    (lambda c: c.ray(2, [1, 2]), ValueError, "^camera_id should be either 0 or 1.$"),
    (lambda c: c.extrinsic_matrix("0"), TypeError, None),
    (lambda c: c.extrinsic_matrix(2 ** 31), OverflowError, None),
    (lambda c: c.project(np.zeros(3)), TypeError, "^Expected array or tuple.$"),
    (lambda c: c.project((1, 2)), ValueError, "^Position size should be 3.$"),
    (lambda c: c.project([1, 2, "3"]), TypeError, None),
    (lambda c: c.triangulate("ab", [1, 2]), TypeError, "^Expected array or tuple.$"),
    (lambda c: c.triangulate([1, 2], {1, 2}), TypeError, "^Expected array or tuple.$"),
    (lambda c: c.triangulate([1, 2], [1, 2, 3]), ValueError, "^Position size should be 2.$"),
    (lambda c: c.ray(0, [1]), ValueError, "^Position size should be 2.$"),
    (lambda c: c.ray(0, [1, None]), TypeError, None),
    (lambda c: c.ray(camera_id=0, pixel=[1, 2]), TypeError, "unexpected keyword argument 'pixel'"),
    (lambda c: c.project(), TypeError, None),
])
def test_query_argument_checks(stereo, call, error, message):
    with pytest.raises(error, match=message):
        call(stereo)


def test_query_result_kinds(stereo):
    class Pixels(list):
        pass
    assert stereo.radial_distortion(1.9).tolist() == [-0.08, 0.03]
    left, right = stereo.project([10.0, 20.0, 1000.0])
    assert type(stereo.triangulate(Pixels(left), tuple(right))) is list
    assert type(stereo.triangulate(tuple(left), list(right))) is tuple
    result = stereo.project(Pixels([10, 20, 1000]))
    assert type(result) is list and all(type(p) is list and type(p[0]) is float for p in result)
    assert stereo.project(world_position=(0.0, 0.0, 800.0)) == tuple(map(tuple, stereo.project([0, 0, 800.0])))
    assert stereo.ray(camera_id=True, pixel_position=[np.float32(3), 4]) == stereo.ray(1, [3.0, 4.0])


def test_failed_mappings_give_none():
    inside = spline_xml("fwd", 1, 1, [1.0] * 16, [1.0] * 16, domain=(0.0, 0.0, 10.0, 10.0))
    calibration = read(camera_xml(0, **LEFT), camera_xml(1, **RIGHT),
                       f'<imap id="0">{inside}{inside.replace("fwd", "rev")}</imap>')
    assert calibration.project([0.0, 0.0, 1000.0]) is None
    assert calibration.triangulate([500.0, 500.0], [600.0, 600.0]) is None


# ---------------------------------------------------------------------------------------
# ProjectFile access.

def test_project_calibration_access(make_project, tmp_path):
    members = {"pfs/analog.csv": b"t,v\n0,1\n", "images/ref.tif": bytes(range(256)) * 8}
    source = document(camera_xml(0, **LEFT), camera_xml(1, **LEFT))
    source.insert(0, etree.fromstring('<files lri="files"><reference>ref.tif</reference></files>'))
    path = make_project(etree.tostring(source), members)
    project = ProjectFile(path)
    first, second = project.get_project_calibration(), project.get_project_calibration()
    assert first is not second
    del first
    assert second.intrinsic_matrix(1)[0, 0] == 2400.0
    # A further camera without coefficients gets an empty distortion element, which the
    # saved document holds without text.
    project.set_project_calibration(read(camera_xml(0, **RIGHT), camera_xml(1, **RIGHT),
                                         camera_xml(5, kind="VRO", cs_type=7)))
    project.save_project()
    with zipfile.ZipFile(path) as archive:
        assert {name: archive.read(name) for name in members} == members
    saved = ProjectFile(path)
    assert saved.get_reference_image() == "ref.tif"
    assert saved.get_project_calibration().intrinsic_matrix(0)[0, 0] == 2410.0
    assert saved.root.find("calibration/camera[@id='5']/distortion").text is None
    assert ProjectCalibration(path).intrinsic_matrix(1)[0, 0] == 2410.0
    before = etree.tostring(saved.root)
    with pytest.raises(ValueError, match="has not been initialized properly"):
        saved.set_project_calibration(ProjectCalibration())
    assert etree.tostring(saved.root) == before


def test_project_calibration_access_checks(make_project):
    empty = ProjectFile()
    with pytest.raises(TypeError, match=r"^Argument 'project_calibration' has incorrect type \(expected "
                                        r"zelpyx.zelpy.zelpy.ProjectCalibration, got NoneType\)$"):
        empty.set_project_calibration(None)
    for call in (lambda: empty.get_project_calibration(), lambda: empty.set_project_calibration(read(camera()))):
        with pytest.raises(AttributeError, match="^ProjectFile is not initialized$"):
            call()
    project = ProjectFile(make_project("<project/>"))
    with pytest.raises(ValueError, match="^Could not process project file$"):
        project.get_project_calibration()


# ---------------------------------------------------------------------------------------
# Python code that runs inside a call and replaces the calibration being used.

def meddling_parser(action):
    class Meddling(etree.ElementBase):
        def keys(self):
            action()
            return super().keys()

        def set(self, key, value):
            action()
            super().set(key, value)
    parser = etree.XMLParser()
    parser.set_element_class_lookup(etree.ElementDefaultClassLookup(element=Meddling))
    return parser


def test_a_calibration_replaced_during_a_read_or_write_is_never_used_after_release():
    calibration = read(camera_xml(0, **LEFT))
    other = document(camera_xml(0, **RIGHT))
    parser = meddling_parser(lambda: calibration.read_calibration(other))
    # Reading: the outer read installs its own calibration last.
    source = etree.fromstring(etree.tostring(document(camera_xml(0, **LEFT), camera_xml(1, **LEFT))), parser)
    calibration.read_calibration(source)
    assert calibration.intrinsic_matrix(1)[0, 0] == 2400.0
    # Writing: what is written was copied out before the tree was touched.
    target = etree.fromstring("<project/>", parser)
    calibration.write_calibration(target)
    assert [c.get("id") for c in target.iter("camera")] == ["0", "1"]
    assert calibration.intrinsic_matrix(0)[0, 0] == 2410.0


def test_arguments_that_replace_the_calibration_while_they_convert():
    calibration = read(camera_xml(0, **LEFT), camera_xml(1, **LEFT))

    class Sneaky:
        def __float__(self):
            calibration.read_calibration(document(camera_xml(0, **RIGHT), camera_xml(1, **RIGHT)))
            return 1000.0
    assert calibration.project([0.0, 0.0, Sneaky()]) == [list(p) for p in calibration.project((0.0, 0.0, 1000.0))]
    assert calibration.ray(0, [Sneaky(), 598.25])[1][0] == pytest.approx((1000.0 - 790.0) / 2410.0, rel=1e-3)
