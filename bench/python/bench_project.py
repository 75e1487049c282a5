"""Times a project of 10,000 images and 1,000 start points (one guess each), whose archive
also holds a 64 MB deflated image member and an analog CSV:

- open (ProjectFile(path)) against zipfile.read + lxml parse of the same member;
- listing the deformed images, data files and start points against one plain walk of the tree;
- save_project over the source against zipfile rewriting the archive (every member read
  and written again) and against a plain file copy of the archive;
- 1,000 set_startpoint_guess calls on the loaded project.
Peak Python memory of the save (tracemalloc) shows that the image is not decompressed.

Then the open of a project of 100,000 images, and of one of 680,000 images and data files
saved by the module (58 MB, counted in full), against zipfile.read + lxml parse: medians of
runs taken in turn. Then the time and peak resident memory (growth of VmHWM, in a child
process) of hostile archives and of the largest projects:
- a "project.xml" (or an analog CSV) that declares 1,000 bytes and inflates to 1 GiB,
  deflated, bzip2- or LZMA-compressed, read by ProjectFile, ProjectCalibration or
  get_analog_data_csv;
- 16 MiB and 64 MiB of empty elements; elements with text over the node budget in UTF-7
  and in UTF-16; one entity referenced 8 million times;
- 400 namespace declarations that a document type defaults on 27,374 elements, after 33 MB
  of elements and text (64 MiB); 52,779 attributes declared for one element (1.2 MB);
- a deflated analog CSV of 96 MiB of "10,10" rows, of one 96 MiB line of commas after its
  header, and of a 96 MiB header;
- the save of an archive whose 100 entries share one 10 MB member, and of a tree of 6
  million empty elements;
- the load of a project of 1,100,000 images saved by the module, and of 64 MiB of
  start-point guesses;
- the load of the costliest trees within the node budget: empty comments, namespace
  declarations that a document type defaults, attributes of names of their own, IDREF
  attributes of values of their own;
- the load of 5,375,000 IDREF attributes (2.8 GB as lxml's tree), and of 4,000,000
  elements with an attribute that a document type defaults, which the tree leaves out.
"""
import importlib.util
import itertools
import os
import shutil
import string
import subprocess
import sys
import tempfile
import textwrap
import timeit
import tracemalloc
import zipfile
from pathlib import Path

import lxml.etree as etree
import numpy as np

from zelpyx.zelpy.zelpy import ProjectFile


def load_module(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


ROOT = Path(__file__).resolve().parents[2]
archives = load_module("project_archives", ROOT / "tests" / "python" / "project_archives.py")

IMAGES = 10_000
START_POINTS = 1_000
IMAGE_BYTES = 64 << 20


def best_ms(function, repeat=5):
    return min(timeit.repeat(function, number=1, repeat=repeat)) * 1e3


def make_project(path):
    project = ProjectFile(path)
    project.set_reference_image("ref_00000_0.tif")
    project.set_deformed_images([f"def_{n:05d}_0.tif" for n in range(1, IMAGES)])
    project.set_data_files([f"run-{n:05d}_0.out" for n in range(IMAGES)])
    projectaois = etree.SubElement(project.root, "projectaois", lri="projectaois")
    for n in range(START_POINTS):
        point = etree.SubElement(projectaois, "startpoint", lri=f"startpoint_3d_{n}", ref_img="/d/ref.tif")
        etree.SubElement(point, "guess", img="def_00001_0.tif", score="-1", type="user").text = "1 2 0 0 0 0"
    project.save_project()
    # A 12-bit camera image: smooth rows with noise in the low bits.
    rng = np.random.default_rng(1)
    image = (np.arange(IMAGE_BYTES // 2, dtype=np.uint32) % 4096 + rng.integers(0, 16, IMAGE_BYTES // 2)
             ).astype(np.uint16).tobytes()
    with zipfile.ZipFile(path, "a", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("pfs/analog.csv", "time,volts\n" + "".join(f"{n},{n / 10}\n" for n in range(10_000)))
        archive.writestr("images/ref_00000_0.tif", image)


def rewrite_with_zipfile(source, target):
    with zipfile.ZipFile(source) as archive, zipfile.ZipFile(target, "w") as output:
        for info in archive.infolist():
            output.writestr(info, archive.read(info))


def main():
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "bench.q3d")
        make_project(path)
        print(f"nproc {os.cpu_count()}; archive {os.path.getsize(path) / 1e6:.1f} MB; "
              f"project.xml {zipfile.ZipFile(path).getinfo('project.xml').file_size / 1e6:.2f} MB")

        open_ms = best_ms(lambda: ProjectFile(path))
        plain_open_ms = best_ms(lambda: etree.fromstring(
            zipfile.ZipFile(path).read("project.xml"), etree.XMLParser(remove_blank_text=True)))
        print(f"open:                       {open_ms:8.2f} ms   zipfile.read + lxml parse {plain_open_ms:8.2f} ms")

        project = ProjectFile(path)

        def listing():
            project.startpoint_list = None
            return project.get_deformed_images(), project.get_data_files(), project.get_startpoints()
        images, files, points = listing()
        assert (len(images), len(files), len(points)) == (IMAGES - 1, IMAGES, START_POINTS)
        list_ms = best_ms(listing)
        plain_list_ms = best_ms(lambda: ([e.text for e in project.root.iter("deformed", "datafile")],
                                         [e.get("lri") for e in project.root.iter("startpoint")]))
        print(f"list images, files, points: {list_ms:8.2f} ms   one plain tree walk        {plain_list_ms:8.2f} ms")

        save_ms = best_ms(project.save_project)
        copy = os.path.join(directory, "copy.q3d")
        rewrite_ms = best_ms(lambda: rewrite_with_zipfile(path, copy), repeat=3)
        file_copy_ms = best_ms(lambda: shutil.copyfile(path, copy))
        print(f"save over the source:       {save_ms:8.2f} ms   zipfile rewrite {rewrite_ms:8.2f} ms, "
              f"file copy {file_copy_ms:8.2f} ms")
        tracemalloc.start()
        project.save_project()
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        print(f"save peak Python memory:    {peak / 1e6:8.2f} MB   (image member {IMAGE_BYTES / 1e6:.0f} MB)")

        guesses_ms = best_ms(lambda: [project.set_startpoint_guess(name, "def_00002_0.tif", (1, 2), (0, 0), (0, 0))
                                      for name in points], repeat=3)
        print(f"{START_POINTS} set_startpoint_guess:    {guesses_ms:8.2f} ms")


def write_project_xml(path, text, **options):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("project.xml", text, **options)


def large_project(path, images=100_000):
    write_project_xml(path, "<?xml version='1.0' encoding='utf-8'?>\n<!DOCTYPE kdrx>\n<project dir='/d'>\n"
                      '  <files_3d lri="files">\n    <reference>ref_000000_0.tif</reference>\n'
                      + "".join(f"    <deformed>def_{n:06d}_0.tif</deformed>\n" for n in range(1, images))
                      + "".join(f"    <datafile>run-{n:06d}_0.out</datafile>\n" for n in range(images))
                      + "  </files_3d>\n</project>\n")


def shared_member_project(path):
    """100 entries over the bytes of one stored 10 MB member."""
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("project.xml", "<project/>")
        archive.writestr("data.bin", os.urandom(10 << 20))
    with open(path, "rb") as raw:
        data = archives.repeated_member(raw.read(), 100)
    with open(path, "wb") as output:
        output.write(data)


def module_built_project(path, images, data_files=0):
    project = ProjectFile(path)
    project.set_reference_image("ref_0000000_0.tif")
    project.set_deformed_images([f"def_{n:07d}_0.tif" for n in range(1, images + 1)])
    project.set_data_files([f"run-{n:07d}_0.out" for n in range(data_files)])
    project.save_project()


PEAK = textwrap.dedent("""
    import os, sys, time
    import lxml.etree as etree
    from zelpyx.zelpy.zelpy import ProjectCalibration, ProjectFile

    def peak():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) << 10

    path, action = sys.argv[1:]
    saved = path + ".saved.q3d"
    before = peak()
    start = time.perf_counter()
    try:
        if action == "calibration":
            ProjectCalibration(path)
        elif action == "csv":
            ProjectFile(path).get_analog_data_csv()
        elif action == "save tree":
            project = ProjectFile(path)
            project.root.extend(etree.Element("a") for _ in range(6_000_000))
            before = peak()
            start = time.perf_counter()
            project.save_project(saved)
        else:
            project = ProjectFile(path)
            if action == "save":
                project.save_project(saved)
        outcome = "accepted"
    except Exception as error:
        cause = error.__context__ or error
        outcome = f"refused ({type(cause).__name__}: {str(cause)[:60]})"
    seconds = time.perf_counter() - start
    written = os.path.getsize(saved) if os.path.exists(saved) else 0
    print(f"{seconds:6.2f} s {(peak() - before) / 1e6:8.1f} MB, written {written / 1e6:.1f} MB, {outcome}")
""")


def own_attribute_names(count):
    """count empty attributes, each of a name of its own, ten to an element."""
    names = ("".join(letters) for letters in itertools.product(string.ascii_letters, repeat=5))
    elements = (b"<a" + "".join(f" {next(names)}=''" for _ in range(10)).encode() + b"/>" for _ in range(count // 10))
    return b"<p>" + b"".join(elements) + b"</p>"


def namespaces_defaulted(count):
    """A document type that defaults 400 namespace declarations on each of count elements "a",
    after blanks up to 64 MiB."""
    head = ("<!DOCTYPE r [<!ATTLIST a " + " ".join(f"xmlns:p{n} CDATA 'u'" for n in range(400)) + ">]><r>").encode()
    body = b"<a/>" * count
    return head + b" " * ((64 << 20) - 100 - len(head) - len(body)) + body + b"</r>"


def lying(name, compression):
    return lambda path: archives.lying_member(path, name, 1 << 30, compression=compression)


HOSTILE = [
    ("1 GiB in 1,000 declared bytes", lying("project.xml", zipfile.ZIP_DEFLATED), "load"),
    ("1 GiB in 1,000 declared bytes, bzip2", lying("project.xml", zipfile.ZIP_BZIP2), "load"),
    ("1 GiB in 1,000 declared bytes, bzip2", lying("project.xml", zipfile.ZIP_BZIP2), "calibration"),
    ("1 GiB in 1,000 declared bytes, LZMA", lying("project.xml", zipfile.ZIP_LZMA), "load"),
    ("analog CSV, 1 GiB in 1,000 declared bytes, bzip2", lying("pfs/analog.csv", zipfile.ZIP_BZIP2), "csv"),
    ("16 MiB of empty elements", lambda path: write_project_xml(path, b"<p>" + b"<a/>" * (4 << 20) + b"</p>"),
     "load"),
    ("64 MiB of empty elements", lambda path: write_project_xml(path, b"<p>" + b"<a/>" * ((16 << 20) - 2) + b"</p>"),
     "load"),
    ("63 MiB of elements with text in UTF-7", lambda path: write_project_xml(path, archives.utf7_elements(7 << 20)),
     "load"),
    ("60 MiB of elements with text in UTF-16", lambda path: write_project_xml(path, archives.utf16_elements(6 << 20)),
     "load"),
    ("one entity referenced 8 million times",
     lambda path: write_project_xml(path, archives.entity_references(8_000_000)), "load"),
    ("400 namespace declarations defaulted on 27,374 elements",
     lambda path: write_project_xml(path, archives.namespace_defaults()), "load"),
    ("400 namespace declarations defaulted on 27,374 elements",
     lambda path: write_project_xml(path, archives.namespace_defaults()), "calibration"),
    ("52,779 attributes declared for one element",
     lambda path: write_project_xml(path, archives.attribute_declarations(52_779)), "load"),
    ("analog CSV, 96 MiB of 10,10 rows",
     lambda path: archives.analog_csv(path, [b"a,b\n", *archives.repeated(b"10,10\n", 96 << 20)]), "csv"),
    ("analog CSV, a 96 MiB line of commas",
     lambda path: archives.analog_csv(path, [b"a,b\n", *archives.repeated(b",", 96 << 20), b"\n"]), "csv"),
    ("analog CSV, a 96 MiB header",
     lambda path: archives.analog_csv(path, [*archives.repeated(b"a,", 96 << 20), b"\n1,2\n"]), "csv"),
    ("100 entries over one 10 MB member", shared_member_project, "save"),
    ("a tree of 6 million empty elements (12 million nodes)", lambda path: None, "save tree"),
    ("1,100,000 images saved by the module", lambda path: module_built_project(path, 1_100_000), "load"),
    ("64 MiB of start-point guesses",
     lambda path: write_project_xml(path, archives.start_point_guesses(64 << 20)), "load"),
    # The costliest trees within the node budget.
    ("9,586,000 empty comments", lambda path: write_project_xml(path, b"<p>" + b"<!---->" * 9_586_000 + b"</p>"),
     "load"),
    ("10,000,000 namespace declarations defaulted by a document type",
     lambda path: write_project_xml(path, namespaces_defaulted(25_000)), "load"),
    ("5,000,000 attributes of names of their own", lambda path: write_project_xml(path, own_attribute_names(5_000_000)),
     "load"),
    ("2,708,400 IDREF attributes, each value its own",
     lambda path: write_project_xml(path, archives.references(54_168, "IDREF")), "load"),
    # Trees of more nodes than their markup shows, and of fewer.
    ("5,375,000 IDREF attributes, each value its own",
     lambda path: write_project_xml(path, archives.references(107_500, "IDREF")), "load"),
    ("4,000,000 elements with an attribute the document type defaults",
     lambda path: write_project_xml(path, archives.defaulted_attributes(4_000_000)), "load"),
]


def hostile(directory):
    print("hostile archives and the largest projects, peak resident growth of a child process:")
    for name, build, action in HOSTILE:
        path = os.path.join(directory, "hostile.q3d")
        build(path)
        size = f"{os.path.getsize(path) / 1e6:6.2f} MB" if os.path.exists(path) else "     none"
        result = subprocess.run([sys.executable, "-c", PEAK, path, action], capture_output=True, text=True)
        print(f"  {name + ' (' + action + ')':66s} archive {size}: "
              f"{result.stdout.strip() or result.stderr[-300:]}")
        for leftover in (path, path + ".saved.q3d"):
            if os.path.exists(leftover):
                os.unlink(leftover)


def open_against_plain(name, path, runs=11):
    """The medians of the open of path and of zipfile.read + lxml parse, timed in turn."""
    def plain():
        etree.fromstring(zipfile.ZipFile(path).read("project.xml"),
                         etree.XMLParser(remove_blank_text=True, huge_tree=True))
    times = [(timeit.timeit(lambda: ProjectFile(path), number=1), timeit.timeit(plain, number=1))
             for _ in range(runs)]
    open_ms, plain_open_ms = (np.median(column) * 1e3 for column in zip(*times))
    size = zipfile.ZipFile(path).getinfo("project.xml").file_size / 1e6
    print(f"open, {name} ({size:.1f} MB project.xml), medians of {runs}: {open_ms:8.2f} ms   "
          f"zipfile.read + lxml parse {plain_open_ms:8.2f} ms, ratio {open_ms / plain_open_ms:.2f}")


def large(directory):
    path = os.path.join(directory, "large.q3d")
    large_project(path)
    open_against_plain("100,000 images", path)
    # Counted in full: over twice the node budget in bytes.
    module_built_project(path, 680_000, data_files=680_000)
    open_against_plain("680,000 images and data files saved by the module", path, runs=5)


if __name__ == "__main__":
    main()
    with tempfile.TemporaryDirectory() as scratch:
        large(scratch)
        hostile(scratch)
