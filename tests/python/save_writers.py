"""The three writers of a file whose saves the tests compare with a plain write:

- "data set": ZelDataSet.save;
- "new project": ProjectFile().create_project_file(name), then save_project();
- "project over its source": ProjectFile(name).save_project(), the file it replaces loaded.

Each makes the file that its save replaces (make), saves (save) and tells whether a file holds
what it saved (holds_save). An outcome is "saved" or the errno's name ("refused" for a data
set, whose error carries none). Loaded by path, also in child interpreters: `WRITERS[name]()`
needs nothing else, and makes the same files in every process."""
import errno
import importlib.util
import io
import random
import zipfile
from pathlib import Path

from lxml import etree

from zelpyx.zelpy.zelpy import ProjectFile, ZelDataSet


def _load_encoder():
    path = Path(__file__).resolve().parents[2] / "examples" / "make_synthetic.py"
    spec = importlib.util.spec_from_file_location("make_synthetic", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


synthetic = _load_encoder()

# What the project archive replaced holds besides its document; a project save keeps it.
MEMBERS = {"pfs/analog.csv": b"time,volts\n0,1.5\n", "images/ref.tif": bytes(range(256)) * 16}
OLD_IMAGES = ["old.tif"]


def outcome_of(action, *arguments, **keywords):
    """"saved" when action(*arguments, **keywords) returns; the errno's name of its OSError
    otherwise ("refused" for an OSError without one)."""
    try:
        action(*arguments, **keywords)
    except OSError as error:
        return errno.errorcode.get(error.errno, "refused") if error.errno else "refused"
    return "saved"


def plain_write(path, text="plain"):
    """The plain write that saves are compared with: open(path, "w"), then a write."""
    with open(path, "w") as file:
        file.write(text)


def project_archive(images=OLD_IMAGES, payload=4096):
    """A project archive: its document naming images, then MEMBERS, deflated, and `payload`
    bytes stored, the same for the same size."""
    document = "<project><files>" + "".join(f"<deformed>{name}</deformed>" for name in images) + "</files></project>"
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("project.xml", document)
        for name, data in MEMBERS.items():
            archive.writestr(name, data)
        archive.writestr(zipfile.ZipInfo("images/payload.bin"), random.Random(payload).randbytes(payload))
    return buffer.getvalue()


def project_members(data):
    """{name: data} of the members after "project.xml", which must come first, of a valid
    archive; None where data holds none."""
    try:
        with zipfile.ZipFile(io.BytesIO(data)) as archive:
            names = archive.namelist()
            if archive.testzip() is not None or not names or names[0] != "project.xml":
                return None
            return {name: archive.read(name) for name in names[1:]}
    except zipfile.BadZipFile:
        return None


class DataSetWriter:
    name = "data set"
    suffix = ".out"

    def __init__(self, size=0):
        """A data set of two small areas, and of about `size` bytes more."""
        areas = [synthetic_area(2, 2), synthetic_area(2, 3, first=100)]
        if size:
            areas.append(synthetic_area(size // 8000 + 1, 1000))
        self.data_set = ZelDataSet()
        self.data_set.load_from_data(synthetic.encode_data_set(areas), "saved.out")
        self.image = self.data_set.export_raw()
        old = ZelDataSet()
        old.load_from_data(synthetic.encode_data_set([synthetic_area(1, 3, first=7)]), "old.out")
        self.original = old.export_raw()

    def make(self, path):
        Path(path).write_bytes(self.original)

    def save(self, path, source=None):
        self.data_set.save(str(path))

    def holds_save(self, data, kept=True):
        return data == self.image

    @staticmethod
    def expect(plain):
        """The outcome of a save where a plain write has the outcome plain."""
        return plain if plain == "saved" else "refused"


class NewProjectWriter:
    """A new project: it keeps the members of the project archive it replaces (kept)."""
    name = "new project"
    suffix = ".q3d"
    images = ["new.tif"]

    def __init__(self, size=4096):
        """Replaces an archive with a stored member of `size` bytes."""
        self.original = project_archive(payload=size)

    def make(self, path):
        Path(path).write_bytes(self.original)

    def save(self, path, source=None):
        project = ProjectFile()
        project.create_project_file(str(path))
        project.set_deformed_images(self.images)
        project.save_project()

    def holds_save(self, data, kept=True):
        members = project_members(data)
        return (members is not None and members == (project_members(self.original) if kept else {})
                and deformed_images(data) == self.images)

    @staticmethod
    def expect(plain):
        return plain


class ProjectOverItsSourceWriter(NewProjectWriter):
    """A project loaded from the file it replaces, or from `source` (the same file under
    another name, where the save's name cannot be read) and saved under the name."""
    name = "project over its source"
    images = ["saved.tif"]

    def save(self, path, source=None):
        project = ProjectFile(str(source or path))
        if source is not None:
            project.set_project_file_name(str(path))
        project.set_deformed_images(self.images)
        project.save_project()


def synthetic_area(rows, columns, first=0.0):
    """A planar area of x and y counting from first."""
    values = first + synthetic.np.arange(rows * columns, dtype=synthetic.np.float32)
    return synthetic.encode_area(rows, columns, [("x", "x [pixel]", synthetic.PIXEL_COORDINATE, values),
                                                 ("y", "y [pixel]", synthetic.PIXEL_COORDINATE, values + 1000)])


def deformed_images(data):
    """The deformed images that the document of the project archive data names."""
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        document = archive.read("project.xml")
    return [element.text for element in etree.fromstring(document).iter("deformed")]


WRITERS = {writer.name: writer for writer in (DataSetWriter, NewProjectWriter, ProjectOverItsSourceWriter)}
