# Project files: ".q3d" zip archives whose member "project.xml" holds the project
# document (image lists, start points, AOI polygon masks, the analog-data reference),
# and the AOI polygons stored in them.

# The files elements in reading order; writing uses files_3d, then files, never files_2d.
_FILES_TAGS = ("files", "files_3d", "files_2d")
_STARTPOINT_SOURCES = ("startpoint", "startpoint_3d", "startpoint_2d")

_NOT_INITIALIZED = "ProjectFile is not initialized"
_NO_REFERENCE_IMAGE = "The project does not have a reference image"
_NOT_EVEN = "The size of the list must be even (x, y pairs)"


# ---------------------------------------------------------------------------------------
# Numbers in the document: blank-separated texts that float() reads back.

def _number_text(value):
    # A bool is written as its number: "True" would not read back.
    if isinstance(value, bool):
        return "1" if value else "0"
    return "{}".format(value)


def _read_numbers(text):
    return [float(part) for part in text.split()]


def _all_numbers(values):
    for value in values:
        if not isinstance(value, (float, int)):
            return False
    return True


def _check_coordinates(list values, str kind):
    if len(values) % 2:
        raise ValueError(_NOT_EVEN)
    if not _all_numbers(values):
        raise TypeError(kind + " coordinates must be numbers")


def _coordinates_text(values, str kind):
    """The text of a coordinate list; refuses one that would not read back."""
    if len(values) % 2:
        raise ValueError(_NOT_EVEN)
    texts = [_number_text(value) for value in values]
    try:
        for text in texts:
            float(text)
    except (TypeError, ValueError):
        raise TypeError(kind + " coordinates must be numbers")
    return " ".join(texts)


def _polygon_texts(polygon):
    """The step size, subset size, outline and non-empty cutout texts of a polygon, checked
    as the AOIPolygon setters check them, so that everything written reads back."""
    sizes = AOIPolygon()
    sizes.set_subset_size(polygon.subset_size)
    sizes.set_step_size(polygon.step_size)
    return (str(sizes.step_size), str(sizes.subset_size), _coordinates_text(polygon.outline, "Outline"),
            [_coordinates_text(cut, "Cutout") for cut in polygon.cutouts if len(cut) > 0])


def _check_pair(values, str name):
    if not isinstance(values, (list, tuple)):
        raise TypeError(name + " must be a tuple or list of size 2")
    if len(values) != 2:
        raise ValueError(name + " must be a tuple or list of size 2")
    if not _all_numbers(values):
        raise TypeError(name + " coordinates must be numbers")


def _startpoint_names(project):
    """The start-point name cache, read from the document when it is not filled yet."""
    if project.startpoint_list is None:
        project.get_startpoints()
    if project.startpoint_list is None:
        raise AttributeError("startpoint list should not be None at this point")
    return project.startpoint_list


def _child(parent, str tag):
    """The first child of that tag; a new one, with its lri attribute, when there is none."""
    element = parent.find(tag)
    if element is None:
        element = etree.SubElement(parent, tag)
        element.set("lri", tag)
    return element


def _check_initialized(project):
    if project.is_empty():
        raise AttributeError(_NOT_INITIALIZED)


def _files_entries(root, str path):
    """The whole texts of the elements at path below the first files element of each tag."""
    entries = []
    for tag in _FILES_TAGS:
        files = root.find(tag)
        if files is not None:
            entries.extend([_whole_text(element) for element in files.xpath(path)])
    return entries


def _whole_text(element):
    """All text below element, in document order."""
    if len(element) == 0:
        return element.text or ""
    return "".join(element.itertext())


def _files_for_writing(root):
    files = root.find("files_3d")
    if files is None:
        files = root.find("files")
    if files is None:
        files = etree.SubElement(root, "files_3d")
        files.set("lri", "files")
    return files


def _replace_files_entries(root, str tag, str path, list entries):
    files = _files_for_writing(root)
    if files.find(tag) is not None:
        for element in files.xpath(path):
            element.getparent().remove(element)
    for entry in entries:
        etree.SubElement(files, tag).text = entry


# ---------------------------------------------------------------------------------------

class AOIPolygon:
    """Implements a polygon with cutouts used to define AOIs.

    This class is used to define an AOI polygon that can include holes. It also defines the subset and step
    sizes used during correlation.
    """
    outline: list[float] | None
    cutouts: list[list[float]]
    subset_size: int
    step_size: int

    def __init__(self, outline: list[float] | None = None):
        """Initializes the instance using a list of points that specify the outline.

        Args:
            outline: The outline as a flat list of coordinates x0, y0, x1, y1, ...
        """
        self.outline = None
        self.cutouts = []
        self.subset_size = 29
        self.step_size = 7
        if outline is not None:
            self.set_outline(outline)

    def set_outline(self, outline: list[float]) -> None:
        """Sets the polygon outline.

        Args:
            outline: A flat list of coordinates x0, y0, x1, y1, ...
        """
        _check_coordinates(outline, "Outline")
        self.outline = outline

    def set_cutouts(self, cutouts: list) -> None:
        """Sets the polygon cutouts.

        Args:
            cutouts: A list of cutouts, each a flat list of coordinates like the outline.
        """
        self.cutouts.clear()
        for cutout in cutouts:
            self.add_cutout(cutout)

    def add_cutout(self, cutout: list[float]) -> None:
        """Adds a cutout to the polygon.

        Args:
            cutout: A flat list of coordinates x0, y0, x1, y1, ...
        """
        _check_coordinates(cutout, "Cutout")
        self.cutouts.append(cutout)

    def set_subset_size(self, subset_size: int) -> None:
        """Sets the subset size for the AOI.

        Args:
            subset_size: An odd number from 9 to 151.
        """
        if subset_size % 2 == 0:
            raise ValueError("The subset size should be an odd number")
        if subset_size > 151 or subset_size < 9:
            raise ValueError("The subset size should be between 9 and 151")
        self.subset_size = subset_size

    def set_step_size(self, step_size: int) -> None:
        """Sets the step size for the AOI.

        Args:
            step_size: A number from 1 to 30.
        """
        if step_size > 30 or step_size < 1:
            raise ValueError("The step size should be between 1 and 30")
        self.step_size = step_size


class ProjectFile:
    """Implements reading and writing some basic components of a Zel-3D project."""
    root: etree._Element | None
    project_file: str | None
    startpoint_list: list[str] | None
    # The absolute path of the archive the document comes from (its last load, or its
    # last save under project_file into a file), or None: a save carries over that archive's other
    # members, whatever name it writes to.

    def __init__(self, source: str | None = None):
        """Opens the project source when it exists, creates it in memory otherwise.

        Args:
            source: The project file (.q3d), or None for an empty object.
        """
        self.root = None
        self.project_file = None
        self.startpoint_list = None
        self._source = None
        if source is None:
            return
        if not source.endswith(".q3d"):
            raise ValueError(source + " is not a valid Zel3D project file.")
        if os.path.exists(source):
            self.load(source)
        else:
            self.create_project_file(source)

    def reset(self) -> None:
        """Drops the project: the object becomes empty."""
        if self.root is not None:
            self.root = None
        if self.project_file is not None:
            self.project_file = None
        self.startpoint_list = None
        self._source = None

    def is_empty(self) -> bool:
        """Returns True when no project is loaded or created."""
        return self.root is None

    def create_project_file(self, file_name: str, project_directory: str | None = None) -> None:
        """Creates a new project in memory; save_project writes it.

        Args:
            file_name: The project file name; .q3d is added when it has no extension.
            project_directory: The directory of the project's images; by default the directory
                of file_name.
        """
        self.reset()
        self.set_project_file_name(file_name)
        self.root = etree.Element("project")
        self.root.set("structure_version", "3")
        self.root.set("activeWorkspace", "main")
        if project_directory is None:
            project_directory = os.path.dirname(os.path.abspath(file_name))
        self.root.set("dir", project_directory)

    def set_project_file_name(self, file_name: str) -> None:
        """Sets the project file name that save_project writes by default.

        Args:
            file_name: The name; .q3d is added when it has no extension.
        """
        extension = os.path.splitext(file_name)[1]
        if extension == "":
            file_name = file_name + ".q3d"
        elif extension != ".q3d":
            raise ValueError(file_name + " is not a valid Zel3D project file.")
        _checked_file_name(file_name)
        self.project_file = file_name

    def load(self, source: str) -> None:
        """Loads a project file.

        Args:
            source: The project file (.q3d).
        """
        self.reset()
        if not source.endswith(".q3d"):
            raise ValueError(source + " is not a valid Zel3D project file.")
        try:
            with PyZipFile(source, "r") as archive:
                root = _read_project_document(archive)
            path = os.path.abspath(source)
        except Exception:
            raise ValueError("Could not process " + source)
        self.root = root
        self.project_file = source
        self._source = path

    def save_project(self, file_name: str | None = None) -> None:
        """Saves the project.

        The other members of the archive the project was loaded from are kept, whatever the
        name written; a new project keeps those of a project file already at that name.
        A save to the project file makes it the archive the project comes from, unless it
        went into a FIFO or device.

        A document too large to load again is refused with a ValueError before anything is
        written.

        Args:
            file_name: The file to write (.q3d is added when missing); by default the project file.
        """
        _check_initialized(self)
        if self.project_file is None:
            raise AttributeError(_NOT_INITIALIZED)
        name = self.project_file if file_name is None else file_name
        if not name.endswith(".q3d"):
            name = name + ".q3d"
        _checked_file_name(name)
        document = etree.tostring(self.root, encoding="utf-8", xml_declaration=True, pretty_print=True,
                                  doctype="<!DOCTYPE kdrx>")
        _check_loadable(document)
        # A new project keeps the members of an archive already at the target name.
        replaced = _write_project_archive(name, document, getattr(self, "_source", None))
        if file_name is None and replaced:
            self._source = os.path.abspath(name)

    def get_data_files(self) -> list[str]:
        """Returns the list of data files."""
        _check_initialized(self)
        return _files_entries(self.root, "./datafile")

    def set_data_files(self, data_files: list[str]) -> None:
        """Replaces the list of data files.

        Args:
            data_files: The data file names.
        """
        _check_initialized(self)
        _replace_files_entries(self.root, "datafile", "./datafile", data_files)

    def get_deformed_images(self) -> list[str]:
        """Returns the list of deformed images."""
        _check_initialized(self)
        return _files_entries(self.root, "./deformed")

    def set_deformed_images(self, deformed_images: list[str]) -> None:
        """Replaces the list of deformed images.

        Args:
            deformed_images: The deformed image names.
        """
        _check_initialized(self)
        _replace_files_entries(self.root, "deformed", "./deformed", deformed_images)

    def get_reference_image(self) -> str | None:
        """Returns the reference image, or None when the project has none."""
        _check_initialized(self)
        for tag in _FILES_TAGS:
            if self.root.find(tag + "/reference") is not None:
                return str(self.root.xpath("//" + tag + "/reference/text()")[0])
        return None

    def set_reference_image(self, reference_image: str) -> None:
        """Sets the reference image.

        Args:
            reference_image: The reference image name.
        """
        _check_initialized(self)
        files = _files_for_writing(self.root)
        reference = files.find("reference")
        if reference is None:
            reference = etree.SubElement(files, "reference")
        reference.text = reference_image

    def get_project_calibration(self) -> ProjectCalibration:
        """Returns the project calibration."""
        _check_initialized(self)
        calibration = _module_global("ProjectCalibration")()
        calibration.read_calibration(self.root)
        return calibration

    def set_project_calibration(self, project_calibration: ProjectCalibration) -> None:
        """Sets the project calibration.

        The document in memory changes; save_project writes it.

        Args:
            project_calibration: The project calibration as a ProjectCalibration object.
        """
        _check_initialized(self)
        project_calibration.write_calibration(self.root)

    def get_startpoints(self) -> list[str]:
        """Returns the list of startpoints."""
        _check_initialized(self)
        if self.startpoint_list is not None:
            return self.startpoint_list
        self.startpoint_list = []
        for tag in _STARTPOINT_SOURCES:
            if self.root.find("projectaois/" + tag) is not None:
                self.startpoint_list.extend(
                    [element.get("lri") for element in self.root.xpath("//projectaois/" + tag)])
        return self.startpoint_list

    def add_startpoint(self) -> str:
        """Adds a new startpoint.

        The name is kept in the startpoint list; it reaches the project with its first guess.

        Returns:
            The new startpoint's name.
        """
        _check_initialized(self)
        names = _startpoint_names(self)
        base = "startpoint_3d"
        if len(names) > 0 and "startpoint_3d" not in names[0]:
            base = "startpoint"
        try:
            taken = set(names)
        except TypeError:
            taken = names
        name = base
        name_try = 0
        while name in taken:
            name = f"{base}_{name_try}"
            name_try += 1
        names.append(name)
        return name

    def set_startpoint_guess(self, start_point: str, image_name: str,
                             position: tuple[float, float] | list[float, float],
                             du: tuple[float, float] | list[float, float],
                             dv: tuple[float, float] | list[float, float]) -> None:
        """Sets a startpoint guess for the image

        Args:
            start_point: The startpoint's name, from get_startpoints or add_startpoint.
            image_name: The image the guess is for.
            position: The position in the image (x, y).
            du: The u derivatives (du/dx, du/dy).
            dv: The v derivatives (dv/dx, dv/dy).
        """
        _check_initialized(self)
        _check_pair(position, "position")
        _check_pair(du, "du")
        _check_pair(dv, "dv")
        ref_image = self.get_reference_image()
        if ref_image is None:
            raise AttributeError(_NO_REFERENCE_IMAGE)
        if start_point not in _startpoint_names(self):
            raise AttributeError("The startpoint is not in the project. Use add_startpoint first")
        if "dir" not in self.root.keys():
            raise ValueError("Project does not contain directory parameter.")
        full_ref_image = os.path.join(self.root.get("dir"), ref_image)
        projectaois = _child(self.root, "projectaois")
        selected_startpoint = None
        for tag in _STARTPOINT_SOURCES:
            for element in projectaois.iterchildren(tag):
                if element.get("lri") == start_point:
                    selected_startpoint = element
                    break
        if selected_startpoint is None:
            selected_startpoint = etree.SubElement(projectaois, "startpoint")
            selected_startpoint.set("lri", start_point)
            selected_startpoint.set("ref_img", full_ref_image)
        selected_guess = None
        for guess in selected_startpoint.iterchildren("guess"):
            if guess.get("img") == image_name:
                selected_guess = guess
        if selected_guess is None:
            selected_guess = etree.SubElement(selected_startpoint, "guess")
            selected_guess.set("img", image_name)
        selected_guess.set("score", "-1")
        selected_guess.set("type", "ref" if image_name == ref_image else "user")
        selected_guess.text = " ".join([_number_text(value) for value in (*position, *du, *dv)])

    def get_aoi_polygon_masks(self) -> list[AOIPolygon]:
        """Returns the list of AOIPolygon masks.

        Returns:
            One AOIPolygon per stored polygon, of every mask, in document order.
        """
        _check_initialized(self)
        masks = []
        if self.root.find("projectaois/aoinode/polygonmask/polygon") is None:
            return masks
        for polygon in self.root.xpath("//projectaois/aoinode/polygonmask/polygon"):
            p = AOIPolygon()
            p.set_subset_size(int(polygon.get("subsetsize")))
            p.set_step_size(int(polygon.get("stepsize")))
            p.set_outline(_read_numbers(polygon.xpath("./outline/text()")[0]))
            for cutout in polygon.iterchildren("cutout"):
                p.add_cutout(_read_numbers(cutout.xpath("./text()")[0]))
            masks.append(p)
        return masks

    def set_aoi_polygon_masks(self, masks: list[AOIPolygon], width: int, height: int) -> None:
        """Sets the AOIPolygon masks

        Adds one polygon mask of the reference image holding the masks; polygons without an
        outline are left out.

        Args:
            masks: The AOIPolygon masks.
            width: The image width.
            height: The image height.
        """
        _check_initialized(self)
        if self.get_reference_image() is None:
            raise AttributeError(_NO_REFERENCE_IMAGE)
        # An empty outline or cutout, or a value that the setters refuse, would not read back.
        polygons = [_polygon_texts(p) for p in masks if p.outline is not None and len(p.outline) > 0]
        projectaois = _child(self.root, "projectaois")
        aoinode = projectaois.find("aoinode")
        if aoinode is None:
            aoinode = _child(projectaois, "aoinode")
            aoinode.set("img", self.get_reference_image())
        polygonmask = etree.SubElement(aoinode, "polygonmask")
        polygonmask.set("lri", "polygonmask")
        polygonmask.set("height", str(height))
        polygonmask.set("width", str(width))
        for step_size, subset_size, outline, cutouts in polygons:
            polygon = etree.SubElement(polygonmask, "polygon")
            polygon.set("stepsize", step_size)
            polygon.set("height", "7")
            polygon.set("selected", "false")
            polygon.set("subsetsize", subset_size)
            etree.SubElement(polygon, "outline").text = outline
            for cut in cutouts:
                etree.SubElement(polygon, "cutout").text = cut

    def get_analog_data_csv(self) -> dict | None:
        """Returns the analog data csv as a dictionary.

        The dictionary has a key 'header' that contains the csv header and then a key for each element
        in the header.
        """
        _check_initialized(self)
        if self.project_file is None:
            raise AttributeError("Project file is not initialized")
        reference = None
        for tag in _FILES_TAGS:
            if self.root.find(tag + "/csvfile") is not None:
                for element in self.root.xpath("//" + tag + "/csvfile"):
                    if "type" in element.keys() and element.get("type") == "tolvani":
                        reference = str(element.xpath("./text()")[0])
                        break
        if reference is None:
            return None
        member = "pfs" + reference[4:] if reference.startswith("prj:") else reference
        try:
            return _read_analog_csv(self.project_file, member)
        except Exception:
            raise ValueError("Could not process " + str(self.project_file))
