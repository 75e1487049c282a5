# ProjectCalibration: the stereo calibration of a project (an orvex::Calibration3D),
# read from and written to the "calibration" subtree of the project document, and the
# camera, projection, ray and triangulation queries on it.
#
# The object owns its calibration through a unique_ptr. A read releases the held
# calibration, builds a new one and installs it once the whole subtree has been read, so
# a failed read leaves the object without one; the writer copies everything out of the
# calibration before it runs any Python code on the tree, and the queries convert their
# arguments before they touch the calibration.
from libc.math cimport isnan
from libc.stdint cimport int64_t
from libcpp.memory cimport unique_ptr
cimport zelpyx.zelpy.calibration as calib

cdef extern from *:
    """
    #include <charconv>
    #include <cmath>
    #include <cstdio>
    #include <cstdlib>
    #include <string>

    // Camera records go in and out of a calibration by value: orvex::Camera has no
    // default constructor, so the binding never holds one.
    inline orvex::CameraData zelpy_camera_data(const orvex::Calibration3D& calibration, int id) {
        return calibration.camera(id).getRawData();
    }
    inline void zelpy_set_camera(orvex::Calibration3D& calibration, int id, const orvex::CameraData& record,
                                 const orvex::RigidTransform& orientation) {
        calibration.setCamera(id, orvex::Camera(record), orientation);
    }
    // Python's repr of a double (the shortest text that reads back to it): fixed notation
    // with at least one fractional digit for decimal exponents from -4 to 15, otherwise
    // d[.ddd]e±XX; nan, inf, -inf. Appended to out.
    inline void zelpy_append_repr(std::string& out, double value) {
        if (std::isnan(value)) { out += "nan"; return; }
        if (std::isinf(value)) { out += value < 0 ? "-inf" : "inf"; return; }
        char buffer[32];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer - 1, value, std::chars_format::scientific);
        *result.ptr = '\\0';
        const char* p = buffer;
        if (*p == '-') { out += '-'; ++p; }
        std::string digits;
        for (; p != result.ptr && *p != 'e'; ++p)
            if (*p != '.') digits += *p;
        const int exponent = std::atoi(p + 1);
        const int point = exponent + 1;  // digits before the decimal point
        if (point > -4 && point <= 16) {
            if (point <= 0) {
                out += "0.";
                out.append(static_cast<std::size_t>(-point), '0');
                out += digits;
            } else if (static_cast<std::size_t>(point) >= digits.size()) {
                out += digits;
                out.append(point - digits.size(), '0');
                out += ".0";
            } else {
                out.append(digits, 0, point);
                out += '.';
                out.append(digits, point, std::string::npos);
            }
            return;
        }
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1, std::string::npos);
        }
        char tail[8];
        std::snprintf(tail, sizeof tail, "e%c%02d", exponent < 0 ? '-' : '+', exponent < 0 ? -exponent : exponent);
        out += tail;
    }
    // The coefficient text of a spline: eight values a line, each line led by a line feed
    // and four blanks, one blank before every value.
    inline std::string zelpy_coefficient_text(const double* values, std::size_t count) {
        std::string text;
        text.reserve(count * 24);
        for (std::size_t k = 0; k < count; ++k) {
            if (k % 8 == 0) text += "\\n    ";
            text += ' ';
            zelpy_append_repr(text, values[k]);
        }
        return text;
    }
    inline void zelpy_camera_ray(const orvex::Calibration3D& calibration, int id, const orvex::Vector2& pixel,
                                 orvex::Vector3& origin, orvex::Vector3& direction) {
        calibration.camera(id).ray(pixel, origin, direction);
    }
    """
    string zelpy_coefficient_text(const double*, size_t) except +
    calib.CameraData zelpy_camera_data(calib.Calibration3D&, int) except +
    void zelpy_set_camera(calib.Calibration3D&, int, const calib.CameraData&, const core.RigidTransform&) except +
    void zelpy_camera_ray(calib.Calibration3D&, int, const core.Vector2&, core.Vector3&, core.Vector3&) except +

cdef core.Rotation.AngleType _DEGREES = <core.Rotation.AngleType>1
_ELEMENT_TYPE_MESSAGE = "The project_file must be an xml.etree.Element"
_NO_POSITION = "Expected array or tuple."


# ---------------------------------------------------------------------------------------
# Reading the subtree into a new calibration.

def _numbers(element, str path):
    """The numbers of the first text node that path selects below element."""
    return [float(token) for token in element.xpath(path)[0].split()]


def _has_keys(element, names):
    keys = element.keys()
    for name in names:
        if name not in keys:
            return False
    return True


cdef void _read_pinhole_distortion(calib.CameraData& record, distortion) except *:
    if not _has_keys(distortion, ("r",)):
        raise ValueError("Missing radial distortion parameters number.")
    cdef int radial = int(distortion.get("r"))
    if radial < 0 or radial > 3:
        raise ValueError("Radial distortion parameters number is wrong.")
    record.numRadial = radial
    if not _has_keys(distortion, ("t",)):
        raise ValueError("Missing tangential distortion parameters number")
    cdef int tangential = int(distortion.get("t"))
    if tangential not in (0, 2, 4):
        raise ValueError("Tangential distortion parameters number is wrong.")
    record.numTangential = tangential
    if not _has_keys(distortion, ("p",)):
        raise ValueError("Missing prismatic distortion parameters number")
    cdef int prismatic = int(distortion.get("p"))
    if prismatic not in (0, 2, 4):
        raise ValueError("Prismatic distortion parameters number is wrong.")
    record.numPrismatic = prismatic
    values = _numbers(distortion, "./text()")
    if len(values) != 11:
        raise ValueError("Could not read distortion parameters.")
    cdef int k
    for k in range(3):
        record.radial[k] = values[k]
    for k in range(4):
        record.tangential[k] = values[3 + k]
        record.prismatic[k] = values[7 + k]


cdef void _read_vro_distortion(calib.CameraData& record, distortion) except *:
    cdef unsigned int system_type = 0
    if _has_keys(distortion, ("cs_type",)):
        system_type = _enum_code(int(distortion.get("cs_type")), "orvex::VROSystemType")
    record.csType = <calib.VROSystemType>system_type
    cdef int first = calib.vroFirstSetCount(record.csType)
    cdef int second = calib.vroSecondSetCount(record.csType)
    # A system type without coefficients is written with an empty text, which a parsed
    # document holds as no text at all: it reads back as no values.
    values = [] if first + second == 0 and not distortion.xpath("./text()") else _numbers(distortion, "./text()")
    if len(values) != first + second:
        raise ValueError("Could not read distortion parameters.")
    cdef int k
    for k in range(first):
        record.vroFirst[k] = values[k]
    for k in range(second):
        record.vroSecond[k] = values[first + k]


cdef void _read_camera(calib.Calibration3D& calibration, camera) except *:
    if not _has_keys(camera, ("id", "type")):
        raise ValueError("The project contains an invalid camera type")
    cdef int camera_id = int(camera.get("id"))
    # A fresh record for every camera: no coefficient carries over from another one.
    cdef calib.CameraData record
    record.type = calib.CameraType.Pinhole if camera.get("type") in ("air", "pinhole") else calib.CameraType.VRO
    if camera.find("intrinsics") is None:
        raise ValueError("Missing required intrinsics element.")
    intrinsics = _numbers(camera, "./intrinsics/text()")
    record.cx = intrinsics[0]
    record.cy = intrinsics[1]
    record.fx = intrinsics[2]
    record.fy = intrinsics[3]
    record.skew = intrinsics[4]
    if camera.find("distortion") is None:
        raise ValueError("Missing required distortion element.")
    distortion = camera.xpath("./distortion")[0]
    if record.type == calib.CameraType.Pinhole:
        _read_pinhole_distortion(record, distortion)
    else:
        _read_vro_distortion(record, distortion)
    if camera.find("orientation") is None:
        raise ValueError("Could not read transformation parameters.")
    values = _numbers(camera, "./orientation/text()")
    if len(values) != 6:
        raise ValueError("Could not read transformation parameters.")
    cdef core.RigidTransform orientation = core.RigidTransform(
        core.Rotation(values[0], values[1], values[2], _DEGREES), core.Vector3(values[3], values[4], values[5]))
    zelpy_set_camera(calibration, camera_id, record, orientation)


cdef void _read_magnification(calib.Calibration3D& calibration, element) except *:
    if not _has_keys(element, ("id",)):
        raise ValueError("Missing camera id from magnification parameters.")
    cdef int camera_id = int(element.get("id"))
    values = _numbers(element, "./text()")
    if len(values) != 3:
        raise ValueError("Could not read magnification parameters.")
    calibration.setMagnification(camera_id, core.Vector3(values[0], values[1], values[2]))


cdef void _read_residual_error(calib.Calibration3D& calibration, element) except *:
    if not _has_keys(element, ("id", "value")):
        raise ValueError("Missing attribute in residual error.")
    cdef int camera_id = int(element.get("id"))
    cdef float value = float(element.get("value"))
    calibration.setResidualError(max(camera_id, -1), value)


cdef void _fill_coefficients(core.Spline2& spline, list values) except *:
    cdef core.Array2[double]* array = &spline.coefficients()
    if <int64_t>array.rows() * array.cols() != len(values):
        raise ValueError("Could not read horizontal spline coefficients.")
    cdef double* coefficients = array.data()
    cdef Py_ssize_t k
    for k in range(len(values)):
        coefficients[k] = values[k]


cdef core.SplineTransform _read_spline(spline) except *:
    """The spline transform of one spline element: cubic, its counts checked against the
    coefficients before anything is allocated."""
    if not _has_keys(spline, ("dir",)):
        raise ValueError("Missing direction attribute.")
    if not _has_keys(spline, ("nx", "ny")):
        raise ValueError("Missing number of coefficients for spline.")
    if not _has_keys(spline, ("tlx", "tly")) or not _has_keys(spline, ("brx", "bry")):
        raise ValueError("Missing definition domain for spline.")
    if spline.find("u_coeff") is None:
        raise ValueError("Missing spline u coefficients.")
    if spline.find("v_coeff") is None:
        raise ValueError("Missing spline v coefficients.")
    cdef int nx = int(spline.get("nx"))
    cdef int ny = int(spline.get("ny"))
    cdef core.Rect domain = core.Rect(float(spline.get("tlx")), float(spline.get("tly")),
                                      float(spline.get("brx")), float(spline.get("bry")))
    core.BSpline2.normalisePatchCounts(nx, ny)
    cdef int64_t rows = 3 + <int64_t>nx
    cdef int64_t columns = 3 + <int64_t>ny
    if rows > INT_MAX or columns > INT_MAX:
        raise OverflowError("value too large to convert to int")
    u = _numbers(spline, "./u_coeff/text()")
    if len(u) != rows * columns:
        raise ValueError("Could not read horizontal spline coefficients.")
    v = _numbers(spline, "./v_coeff/text()")
    if len(v) != len(u):
        raise ValueError("Could not read vertical spline coefficients.")
    cdef core.SplineTransform transform = core.SplineTransform(3, domain, nx, ny)
    _fill_coefficients(transform.splineX(), u)
    _fill_coefficients(transform.splineY(), v)
    return transform


cdef void _read_inverse_mappings(calib.Calibration3D& calibration, root) except *:
    # Forward 0, reverse 0, forward 1, reverse 1.
    cdef core.SplineTransform slots[4]
    cdef int slot
    for imap in root.xpath("//calibration/imap"):
        if not _has_keys(imap, ("id",)):
            raise ValueError("Missing camera id from magnification parameters.")
        mapping = 0 if int(imap.get("id")) == 0 else 1
        if imap.find("spline") is None:
            raise ValueError("Missing required spline element.")
        for spline in imap.xpath("./spline"):
            slot = 2 * mapping + (1 if spline.get("dir") == "rev" else 0)
            slots[slot] = _read_spline(spline)
    calibration.setInverseMapping0(slots[0], slots[1])
    calibration.setInverseMapping1(slots[2], slots[3])


cdef void _read_subtree(calib.Calibration3D& calibration, root) except *:
    """Fills the calibration from the calibration elements of root's document."""
    if root.find("calibration") is None:
        raise ValueError("The project does not contain a calibration")
    if root.find("calibration/camera") is None:
        raise ValueError("The project does not contain a valid calibration")
    for camera in root.xpath("//calibration/camera"):
        _read_camera(calibration, camera)
    if root.find("calibration/magnification") is not None:
        for element in root.xpath("//calibration/magnification"):
            _read_magnification(calibration, element)
    if root.find("calibration/residualerror") is not None:
        for element in root.xpath("//calibration/residualerror"):
            _read_residual_error(calibration, element)
    if root.find("calibration/imap") is not None:
        _read_inverse_mappings(calibration, root)


# ---------------------------------------------------------------------------------------
# Writing: the texts of the subtree are made from copies of the calibration's contents
# first; only then is the tree changed.

def _e_text(values):
    return " ".join(["{:e}".format(value) for value in values])


cdef bint _is_null_camera(const calib.CameraData& record):
    return isnan(record.cx) or isnan(record.cy) or isnan(record.fx) or isnan(record.fy)


cdef object _camera_texts(calib.Calibration3D& calibration, int camera_id):
    """(id, type, intrinsics, distortion attributes, distortion, orientation or None), or
    None for a camera that is not set."""
    cdef calib.CameraData record = zelpy_camera_data(calibration, camera_id)
    if _is_null_camera(record):
        return None
    cdef int first, second
    if record.type == calib.CameraType.Pinhole:
        camera_type = "pinhole"
        attributes = (("r", str(record.numRadial)), ("t", str(record.numTangential)),
                      ("p", str(record.numPrismatic)))
        values = [record.radial[k] for k in range(3)] + [record.tangential[k] for k in range(4)] + \
            [record.prismatic[k] for k in range(4)]
    else:
        camera_type = "VRO"
        attributes = (("cs_type", str(<unsigned int>record.csType)),)
        first = 0 if record.vroFirstOmitted else calib.vroFirstSetCount(record.csType)
        second = 0 if record.vroSecondOmitted else calib.vroSecondSetCount(record.csType)
        values = [record.vroFirst[k] for k in range(first)] + [record.vroSecond[k] for k in range(second)]
    cdef core.RigidTransform orientation = calibration.orientation(camera_id)
    cdef core.Vector3 angles, translation
    orientation_text = None
    if not orientation.isNull():
        angles = orientation.rotation().cardanBryant(_DEGREES)
        translation = orientation.translation()
        orientation_text = _e_text((angles.x, angles.y, angles.z, translation.x, translation.y, translation.z))
    return (str(camera_id), camera_type, _e_text((record.cx, record.cy, record.fx, record.fy, record.skew)),
            attributes, _e_text(values), orientation_text)


cdef str _coefficient_text(core.Spline2& spline):
    cdef core.Array2[double]* array = &spline.coefficients()
    return zelpy_coefficient_text(array.data(), <size_t>array.rows() * array.cols()).decode("ascii")


cdef object _spline_texts(core.SplineTransform& transform, str direction):
    """The attributes and the u and v texts of a spline element, or None for a null transform."""
    if transform.isNull():
        return None
    cdef core.Spline2* x = &transform.splineX()
    cdef core.Rect domain = x.domain()
    attributes = (("dir", direction), ("nx", str(x.nx())), ("ny", str(x.ny())), ("tlx", str(domain.x0)),
                  ("tly", str(domain.y0)), ("brx", str(domain.x1)), ("bry", str(domain.y1)))
    return (attributes, _coefficient_text(transform.splineX()), _coefficient_text(transform.splineY()))


cdef list _mapping_texts(calib.Calibration3D& calibration):
    """(id, splines) of each inverse mapping that has a transform: forward first, and a
    mapping with only a reverse transform keeps it."""
    cdef core.SplineTransform forward, reverse
    mappings = []
    for mapping in range(2):
        if mapping == 0:
            calibration.getInverseMapping0(forward, reverse)
        else:
            calibration.getInverseMapping1(forward, reverse)
        splines = [texts for texts in (_spline_texts(forward, "fwd"), _spline_texts(reverse, "rev"))
                   if texts is not None]
        if splines:
            mappings.append((str(mapping), splines))
    return mappings


cdef tuple _subtree_texts(calib.Calibration3D& calibration):
    cameras = []
    for camera_id in [0, 1] + list(calibration.externalCameraIds()):
        texts = _camera_texts(calibration, camera_id)
        if texts is not None:
            cameras.append(texts)
    cdef core.Vector3 m
    magnifications = []
    for camera_id in calibration.magnificationKeys():
        m = calibration.magnification(camera_id)
        magnifications.append((str(camera_id), "{} {} {}".format(m.x, m.y, m.z)))
    residuals = [(str(camera_id), str(<double>calibration.residualError(camera_id)))
                 for camera_id in calibration.residualKeys()]
    return cameras, magnifications, residuals, _mapping_texts(calibration)


def _set_attributes(element, attributes):
    for name, value in attributes:
        element.set(name, value)


def _write_subtree(parent, cameras, magnifications, residuals, mappings):
    for element in parent.xpath("//calibration"):
        element.getparent().remove(element)
    calibration = etree.SubElement(parent, "calibration")
    calibration.set("lri", "calibration")
    for camera_id, camera_type, intrinsics, attributes, distortion_text, orientation in cameras:
        camera = etree.SubElement(calibration, "camera")
        camera.set("id", camera_id)
        camera.set("type", camera_type)
        etree.SubElement(camera, "intrinsics").text = intrinsics
        distortion = etree.SubElement(camera, "distortion")
        _set_attributes(distortion, attributes)
        distortion.text = distortion_text
        if orientation is not None:
            etree.SubElement(camera, "orientation").text = orientation
    for camera_id, text in magnifications:
        magnification = etree.SubElement(calibration, "magnification")
        magnification.set("id", camera_id)
        magnification.text = text
    for camera_id, value in residuals:
        residual = etree.SubElement(calibration, "residualerror")
        residual.set("id", camera_id)
        residual.set("value", value)
    for mapping_id, splines in mappings:
        imap = etree.SubElement(calibration, "imap")
        imap.set("id", mapping_id)
        for attributes, u_text, v_text in splines:
            spline = etree.SubElement(imap, "spline")
            _set_attributes(spline, attributes)
            etree.SubElement(spline, "u_coeff").text = u_text
            etree.SubElement(spline, "v_coeff").text = v_text


# ---------------------------------------------------------------------------------------
# Query arguments.

cdef _check_camera_id(int camera_id):
    if camera_id != 0 and camera_id != 1:
        raise ValueError("camera_id should be either 0 or 1.")


cdef _check_position(object position, Py_ssize_t size):
    if not isinstance(position, (list, tuple)):
        raise TypeError(_NO_POSITION)
    if len(position) != size:
        raise ValueError(f"Position size should be {size}.")


cdef object _pair(const core.Vector2& p, bint as_list):
    return [p.x, p.y] if as_list else (p.x, p.y)


cdef object _triple(const core.Vector3& p, bint as_list):
    return [p.x, p.y, p.z] if as_list else (p.x, p.y, p.z)


cdef object _distortion(ProjectCalibration calibration, int camera_id, int kind):
    """Coefficients 0 radial, 1 tangential, 2 prismatic of a pinhole camera, as many as it uses."""
    calibration._ProjectCalibration__check_thisptr()
    _check_camera_id(camera_id)
    cdef calib.CameraData record = zelpy_camera_data(calibration._calibration()[0], camera_id)
    if record.type != calib.CameraType.Pinhole:
        raise AttributeError("This is only valid for pinhole camera models.")
    cdef const double* coefficients = record.radial
    cdef int count = min(record.numRadial, 3)
    if kind == 1:
        coefficients = record.tangential
        count = min(record.numTangential, 4)
    elif kind == 2:
        coefficients = record.prismatic
        count = min(record.numPrismatic, 4)
    count = max(count, 0)
    result = np.zeros(count)
    for k in range(count):
        result[k] = coefficients[k]
    return result


cdef class ProjectCalibration:
    """Holds a Zel-3D project's calibration data."""
    cdef unique_ptr[calib.Calibration3D] thisptr

    def __cinit__(self, project=None):
        if project is None:
            return
        if not os.path.exists(project):
            raise FileNotFoundError("Cannot find {}.".format(project))
        if not project.endswith(".q3d"):
            raise ValueError("{} is not a valid Zel3D project file.".format(project))
        try:
            with PyZipFile(project, "r") as archive:
                document = _read_project_document(archive)
            self.read_calibration(document)
        except Exception:
            self.thisptr.reset()
            raise ValueError("Could not process {}".format(project))

    cdef calib.Calibration3D* _calibration(self) except NULL:
        """The calibration held; the check above may be replaced by a subclass, so it is
        made again here."""
        if self.thisptr.get() == NULL:
            raise ValueError(_missing_object_message(self))
        return self.thisptr.get()

    def __check_thisptr(self):
        if self.thisptr.get() == NULL:
            raise ValueError(_missing_object_message(self))

    def read_calibration(self, project_file) -> None:
        """Reads the project calibration from an xml etree object 

        Args:
            project_file: The project file as an xml.etree.Element
        """
        if not isinstance(project_file, etree._Element):
            raise TypeError(_ELEMENT_TYPE_MESSAGE)
        cdef unique_ptr[calib.Calibration3D] calibration
        calibration.reset(new calib.Calibration3D())
        # The held calibration goes now, whatever the read's outcome. The new one stays
        # local until it is complete: Python code that runs during the read (the
        # element's own methods) may read into this object again or release it.
        self.thisptr.reset()
        try:
            _read_subtree(calibration.get()[0], project_file)
        except Exception:
            raise ValueError("Could not process project file")
        self.thisptr.swap(calibration)

    def write_calibration(self, project_file) -> None:
        """Writes the project calibration to an xml etree object.

        Args:
            project_file: The project file as an xml.etree Element
        """
        self.__check_thisptr()
        if not isinstance(project_file, etree._Element):
            raise TypeError(_ELEMENT_TYPE_MESSAGE)
        _write_subtree(project_file, *_subtree_texts(self._calibration()[0]))

    def triangulate(self, position_left, position_right) -> tuple[double, double, double] | list[double] | None:
        """Triangulates a 3D point from its image coordinates

        Args:
            position_left: The pixel position (x, y) in camera 0, a list or tuple.
            position_right: The pixel position (x, y) in camera 1, a list or tuple.

        Returns:
            The world point (x, y, z), a list for a list position_left and a tuple for a
            tuple, or None when the point cannot be triangulated.
        """
        self.__check_thisptr()
        if not isinstance(position_left, (list, tuple)) or not isinstance(position_right, (list, tuple)):
            raise TypeError(_NO_POSITION)
        if len(position_left) != 2 or len(position_right) != 2:
            raise ValueError("Position size should be 2.")
        cdef core.Vector2 left = core.Vector2(position_left[0], position_left[1])
        cdef core.Vector2 right = core.Vector2(position_right[0], position_right[1])
        cdef core.Vector3 world
        if not self._calibration().triangulate(world, left, right):
            return None
        return _triple(world, isinstance(position_left, list))

    def project(self, world_position) -> tuple[tuple[double, double], tuple[double, double]] | list[list[double]] | None:
        """Computes the projection of a 3D point into the camera coordinate systems

        Args:
            world_position: The world point (x, y, z), a list or tuple.

        Returns:
            The pixel positions (x, y) in camera 0 and in camera 1: a list of two lists for a
            list, a tuple of two tuples for a tuple; None when the point cannot be projected.
        """
        self.__check_thisptr()
        _check_position(world_position, 3)
        cdef core.Vector3 world = core.Vector3(world_position[0], world_position[1], world_position[2])
        cdef core.Vector2 left, right
        if not self._calibration().reproject(left, right, world):
            return None
        as_list = isinstance(world_position, list)
        if as_list:
            return [_pair(left, True), _pair(right, True)]
        return (_pair(left, False), _pair(right, False))

    def ray(self, int camera_id, pixel_position) -> tuple[tuple[double, double, double], tuple[double, double, double]] | list[list[double]]:
        """Computes the ray for a specific pixel position and camera

        Args:
            camera_id: The camera, 0 or 1.
            pixel_position: The pixel position (x, y), a list or tuple.

        Returns:
            The ray's origin and direction (x, y, z) in the camera's own frame, the direction
            with z = 1: a list of two lists for a list, a tuple of two tuples for a tuple.
        """
        self.__check_thisptr()
        _check_camera_id(camera_id)
        _check_position(pixel_position, 2)
        cdef core.Vector2 pixel = core.Vector2(pixel_position[0], pixel_position[1])
        cdef core.Vector3 origin, direction
        zelpy_camera_ray(self._calibration()[0], camera_id, pixel, origin, direction)
        if isinstance(pixel_position, list):
            return [_triple(origin, True), _triple(direction, True)]
        return (_triple(origin, False), _triple(direction, False))

    def intrinsic_matrix(self, int camera_id) -> np.ndarray:
        """Returns the intrinsic matrix for the selected camera

        Args:
            camera_id: The camera, 0 or 1.
        """
        self.__check_thisptr()
        _check_camera_id(camera_id)
        cdef calib.CameraData record = zelpy_camera_data(self._calibration()[0], camera_id)
        K = np.identity(3)
        K[0, 0] = record.fx
        K[1, 1] = record.fy
        K[0, 2] = record.cx
        K[1, 2] = record.cy
        return K

    def extrinsic_matrix(self, int camera_id) -> np.ndarray:
        """Returns the extrinsic matrix for the selected camera

        [R t; 0 0 0 1] of the camera's orientation: camera point = R · world point + t.

        Args:
            camera_id: The camera, 0 or 1.
        """
        self.__check_thisptr()
        _check_camera_id(camera_id)
        cdef core.Matrix4x4 m = self._calibration().orientation(camera_id).matrix4x4()
        return _square_array(m.data(), 4)

    def radial_distortion(self, int camera_id) -> np.ndarray:
        """Returns the radial distrortion coefficients for the selected camera.

        Only valid for pinhole camera models

        Args:
            camera_id: The camera, 0 or 1.
        """
        return _distortion(self, camera_id, 0)

    def tangential_distortion(self, int camera_id) -> np.ndarray:
        """Returns the tangential distrortion coefficients for the selected camera.

        Only valid for pinhole camera models

        Args:
            camera_id: The camera, 0 or 1.
        """
        return _distortion(self, camera_id, 1)

    def prismatic_distortion(self, int camera_id) -> np.ndarray:
        """Returns the prismatic distrortion coefficients for the selected camera.

        Only valid for pinhole camera models

        Args:
            camera_id: The camera, 0 or 1.
        """
        return _distortion(self, camera_id, 2)
