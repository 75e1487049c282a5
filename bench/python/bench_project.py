"""Times a project of 10,000 images and 1,000 start points (one guess each), whose archive
also holds a 64 MB deflated image member and an analog CSV:

- open (ProjectFile(path)) against zipfile.read + lxml parse of the same member;
- listing the deformed images, data files and start points against one plain walk of the tree;
- save_project over the source against zipfile rewriting the archive (every member read
  and written again) and against a plain file copy of the archive;
- 1,000 set_startpoint_guess calls on the loaded project.
Peak Python memory of the save (tracemalloc) shows that the image is not decompressed.
"""
import os
import shutil
import tempfile
import timeit
import tracemalloc
import zipfile

import lxml.etree as etree
import numpy as np

from zelpyx.zelpy.zelpy import ProjectFile

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


if __name__ == "__main__":
    main()
