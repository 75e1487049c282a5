"""ProjectFile.save_project: which archive's members a save carries over, and how the new
file replaces the old one (owner-only temporary file, final mode, nothing left behind), or is
written into a FIFO or device in place."""
import errno
import io
import json
import os
import stat
import subprocess
import sys
import textwrap
import threading
import time
import zipfile
from pathlib import Path

import pytest

from zelpyx.zelpy.zelpy import ProjectFile

SOURCE_XML = "<project><files><deformed>source.tif</deformed></files></project>"
SOURCE_MEMBERS = {"pfs/analog.csv": b"time,volts\n0,1.5\n", "images/ref.tif": bytes(range(256)) * 8}
OTHER_MEMBERS = {"other/notes.txt": b"belongs to the other project"}


def members(path):
    """The members of the archive at path other than "project.xml", which must come first."""
    with zipfile.ZipFile(path) as archive:
        assert archive.testzip() is None
        names = archive.namelist()
        assert names[0] == "project.xml"
        return {name: archive.read(name) for name in names[1:]}


def deformed(path):
    return ProjectFile(str(path)).get_deformed_images()


@pytest.fixture
def projects(tmp_path, make_project):
    """The source project (src.q3d), another project (other.q3d) and a file that is no
    archive (text.q3d)."""
    (tmp_path / "text.q3d").write_text("not an archive")
    return (Path(make_project(SOURCE_XML, SOURCE_MEMBERS, name="src.q3d")),
            Path(make_project("<project/>", OTHER_MEMBERS, name="other.q3d")), tmp_path / "text.q3d")


def save_as_then_move_the_original(src, other, text):
    project = ProjectFile(str(src))
    project.set_project_file_name(str(src.with_name("copy.q3d")))
    project.save_project()
    src.rename(src.with_name("moved.q3d"))
    project.set_deformed_images(["second.tif"])
    project.save_project()
    return [("copy.q3d", SOURCE_MEMBERS, ["second.tif"])]


def save_over_the_source(src, other, text):
    project = ProjectFile(str(src))
    project.set_deformed_images(["changed.tif"])
    project.save_project()
    return [("src.q3d", SOURCE_MEMBERS, ["changed.tif"])]


def explicit_name_then_none(src, other, text):
    project = ProjectFile(str(src))
    project.set_project_file_name(str(src.with_name("default.q3d")))
    project.save_project(str(src.with_name("explicit.q3d")))
    project.save_project()
    src.unlink()
    project.save_project(str(src.with_name("after.q3d")))
    return [(name, SOURCE_MEMBERS, ["source.tif"]) for name in ("explicit.q3d", "default.q3d", "after.q3d")]


def new_project_over_a_file_that_is_no_archive(src, other, text):
    project = ProjectFile()
    project.create_project_file(str(text))
    project.save_project()
    return [("text.q3d", {}, [])]


def new_project_over_another_project(src, other, text):
    project = ProjectFile()
    project.create_project_file(str(other))
    project.set_deformed_images(["new.tif"])
    project.save_project()
    return [("other.q3d", OTHER_MEMBERS, ["new.tif"])]


def save_onto_another_project(src, other, text):
    project = ProjectFile(str(src))
    project.save_project(str(other))
    project.set_project_file_name(str(text))
    project.save_project()
    return [("other.q3d", SOURCE_MEMBERS, ["source.tif"]), ("text.q3d", SOURCE_MEMBERS, ["source.tif"])]


def save_after_the_source_was_removed(src, other, text):
    project = ProjectFile(str(src))
    src.unlink()
    project.save_project(str(other))
    project.save_project()
    return [("other.q3d", {}, ["source.tif"]), ("src.q3d", {}, ["source.tif"])]


def created_after_a_load(src, other, text):
    project = ProjectFile(str(src))
    project.create_project_file(str(src.with_name("fresh.q3d")))
    project.save_project()
    return [("fresh.q3d", {}, [])]


@pytest.mark.parametrize("scenario", [
    save_as_then_move_the_original, save_over_the_source, explicit_name_then_none,
    new_project_over_a_file_that_is_no_archive, new_project_over_another_project,
    save_onto_another_project, save_after_the_source_was_removed, created_after_a_load,
])
def test_members_carried_over(tmp_path, projects, scenario):
    for name, expected, images in scenario(*projects):
        assert members(tmp_path / name) == expected, name
        assert deformed(tmp_path / name) == images, name
    assert not [path.name for path in tmp_path.iterdir() if ".tmp" in path.name]


def test_public_state_is_unchanged(projects):
    src = projects[0]
    project = ProjectFile(str(src))
    project.save_project(str(src.with_name("x.q3d")))
    assert [name for name in vars(project) if not name.startswith("_")] == [
        "root", "project_file", "startpoint_list"]
    assert project.project_file == str(src)


@pytest.mark.parametrize("damage", [
    lambda path: path.write_text("no longer an archive"),
    lambda path: path.write_bytes(path.read_bytes()[:-30]),
    lambda path: path.write_bytes(path.read_bytes()[:100] + path.read_bytes()[-200:]),
])
@pytest.mark.parametrize("target", ["src.q3d", "other.q3d", "new.q3d"])
def test_unreadable_source_changes_nothing(tmp_path, projects, damage, target):
    src = projects[0]
    project = ProjectFile(str(src))
    damage(src)
    before = {path.name: path.read_bytes() for path in tmp_path.iterdir()}
    with pytest.raises(zipfile.BadZipFile):
        project.save_project(str(tmp_path / target))
    assert {path.name: path.read_bytes() for path in tmp_path.iterdir()} == before


# ---------------------------------------------------------------------------------------
# The new file and its temporary file.

WATCHER = textwrap.dedent("""
    import os, stat, sys, json
    directory, target, control = sys.argv[1:]
    seen, exposed = 0, []
    open(os.path.join(control, "ready"), "w").close()
    while not os.path.exists(os.path.join(control, "stop")):
        for entry in os.scandir(directory):
            if entry.name == target:
                continue
            try:
                mode = stat.S_IMODE(entry.stat(follow_symlinks=False).st_mode)
            except FileNotFoundError:
                continue
            if not seen:
                open(os.path.join(control, "seen"), "w").close()
            seen += 1
            if mode & 0o077:
                exposed.append((entry.name, oct(mode)))
    print(json.dumps([seen, exposed]))
""")


@pytest.fixture
def umask():
    """Sets the process umask for the test and restores it."""
    saved = os.umask(0o022)
    yield lambda mask: os.umask(mask)
    os.umask(saved)


def test_temporary_file_is_never_readable_by_others(tmp_path, make_project, umask):
    (tmp_path / "control").mkdir()
    (tmp_path / "data").mkdir()
    target = make_project(SOURCE_XML, {"image.bin": os.urandom(24 << 20)}, name="data/private.q3d", stored=True)
    os.chmod(target, 0o600)
    project = ProjectFile(target)
    watcher = subprocess.Popen([sys.executable, "-c", WATCHER, str(tmp_path / "data"), "private.q3d",
                                str(tmp_path / "control")], stdout=subprocess.PIPE, text=True)
    try:
        while not (tmp_path / "control" / "ready").exists():
            assert watcher.poll() is None
            time.sleep(0.01)
        # Saves until the watcher has seen a temporary file, and a few times at least.
        for count in range(200):
            project.save_project()
            if count >= 3 and (tmp_path / "control" / "seen").exists():
                break
    finally:
        (tmp_path / "control" / "stop").touch()
        seen, exposed = json.loads(watcher.communicate(timeout=60)[0])
    assert seen > 0, "the watcher never saw a temporary file"
    assert exposed == []
    assert stat.S_IMODE(os.stat(target).st_mode) == 0o600
    assert os.listdir(tmp_path / "data") == ["private.q3d"]


@pytest.mark.parametrize("mask", [0o022, 0o027, 0o077, 0o002, 0o777])
def test_new_file_mode(tmp_path, umask, mask):
    (tmp_path / "out").mkdir()
    project = ProjectFile(str(tmp_path / "out" / "new.q3d"))
    umask(mask)
    project.save_project()
    assert stat.S_IMODE(os.stat(tmp_path / "out" / "new.q3d").st_mode) == 0o666 & ~mask
    assert os.listdir(tmp_path / "out") == ["new.q3d"]


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o604])
def test_existing_file_keeps_its_mode(make_project, umask, mode):
    target = make_project(SOURCE_XML, SOURCE_MEMBERS)
    os.chmod(target, mode)
    umask(0o077)
    ProjectFile(target).save_project()
    assert stat.S_IMODE(os.stat(target).st_mode) == mode


READ_ONLY_SAVE = textwrap.dedent("""
    import encodings.cp437, os, sys  # the interpreter's own files may be root's alone
    from zelpyx.zelpy.zelpy import ProjectFile
    if os.geteuid() == 0:
        os.setgroups([])
        os.setgid(1234)
        os.setuid(1234)
    try:
        ProjectFile(sys.argv[1]).save_project()
    except PermissionError as error:
        print(error.errno, error.filename)
""")


def test_own_read_only_file_is_refused(tmp_path, make_project):
    """Without privilege, as a plain open is refused."""
    os.chmod(tmp_path, 0o777)
    target = make_project(SOURCE_XML, SOURCE_MEMBERS)
    if os.geteuid() == 0:
        os.chown(target, 1234, 1234)
    os.chmod(target, 0o444)
    before = Path(target).read_bytes()
    result = subprocess.run([sys.executable, "-c", READ_ONLY_SAVE, target], capture_output=True, text=True,
                            timeout=60)
    assert result.stdout.split() == [str(errno.EACCES), target], result.stderr
    assert Path(target).read_bytes() == before
    assert os.listdir(tmp_path) == ["project.q3d"]


FILE_SIZE_LIMIT = textwrap.dedent("""
    import os, resource, signal, sys
    from zelpyx.zelpy.zelpy import ProjectFile
    project = ProjectFile(sys.argv[1])
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, resource.RLIM_INFINITY))
    try:
        project.save_project()
    except OSError as error:
        print(type(error).__name__, error.errno)
""")


def test_failed_write_removes_the_temporary_file(tmp_path, make_project):
    target = make_project(SOURCE_XML, {"image.bin": os.urandom(4 << 20)}, stored=True)
    before = Path(target).read_bytes()
    result = subprocess.run([sys.executable, "-c", FILE_SIZE_LIMIT, target], capture_output=True, text=True,
                            timeout=120)
    assert result.stdout.split() == ["OSError", "27"], result.stderr[-2000:]
    assert Path(target).read_bytes() == before
    assert os.listdir(tmp_path) == ["project.q3d"]


def test_failed_rename_removes_the_temporary_file(tmp_path, make_project):
    project = ProjectFile(make_project(SOURCE_XML, SOURCE_MEMBERS))
    (tmp_path / "dir.q3d").mkdir()
    with pytest.raises(IsADirectoryError):
        project.save_project(str(tmp_path / "dir.q3d"))
    assert sorted(os.listdir(tmp_path)) == ["dir.q3d", "project.q3d"]
    assert os.listdir(tmp_path / "dir.q3d") == []


# ---------------------------------------------------------------------------------------
# Targets that are not regular files: a FIFO or character device is written in place and
# never read; anything else is refused and left as it is. Nothing waits for a FIFO's reader.

def make_character_device(path):
    """A twin of /dev/null; skips where devices cannot be made."""
    try:
        os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("devices cannot be made here")


NOT_REGULAR = {
    "FIFO without a reader": (os.mkfifo, errno.ENXIO, stat.S_ISFIFO),
    "directory": (os.mkdir, errno.EISDIR, stat.S_ISDIR),
    "character device": (make_character_device, None, stat.S_ISCHR),
}


def save_to(tmp_path, make_project, source, target):
    """Saves a project (one loaded from an archive with members, or a new one) to target."""
    if source:
        project = ProjectFile(make_project(SOURCE_XML, {**SOURCE_MEMBERS, "image.bin": os.urandom(1 << 20)},
                                           name="src.q3d"))
        project.set_project_file_name(str(target))
        project.save_project()
    else:
        project = ProjectFile()
        project.create_project_file(str(target))
        project.save_project()
    return project


@pytest.mark.parametrize("through_link", [False, True], ids=["target", "link"])
@pytest.mark.parametrize("source", [True, False], ids=["with a source", "new project"])
@pytest.mark.parametrize("kind", NOT_REGULAR)
def test_target_that_is_not_a_regular_file(tmp_path, make_project, no_hang, kind, source, through_link):
    make, expected, is_kind = NOT_REGULAR[kind]
    (tmp_path / "out").mkdir()
    target = tmp_path / "out" / "target.q3d"
    make(target)
    (tmp_path / "out" / "link.q3d").symlink_to(target)
    name = tmp_path / "out" / ("link.q3d" if through_link else "target.q3d")
    if expected is None:
        save_to(tmp_path, make_project, source, name)
    else:
        with pytest.raises(OSError) as raised:
            save_to(tmp_path, make_project, source, name)
        assert raised.value.errno == expected
        assert raised.value.filename == str(name)
    assert is_kind(os.lstat(target).st_mode)
    assert sorted(os.listdir(tmp_path / "out")) == ["link.q3d", "target.q3d"]
    if stat.S_ISDIR(os.lstat(target).st_mode):
        assert os.listdir(target) == []


@pytest.mark.parametrize("through_link", [False, True], ids=["target", "link"])
@pytest.mark.parametrize("source", [True, False], ids=["with a source", "new project"])
def test_fifo_with_a_reader_receives_a_valid_archive(tmp_path, make_project, no_hang, source, through_link):
    fifo = tmp_path / "pipe.q3d"
    os.mkfifo(fifo)
    (tmp_path / "link.q3d").symlink_to(fifo)
    # The reader is there before the save begins: a save finding none is refused. Until a
    # writer comes, reading gives nothing; once the data came, nothing means the end.
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    received, saved = io.BytesIO(), threading.Event()

    def read_all():
        while True:
            # Nothing read after the save ended is the end; before, it may come before the writer.
            ended = saved.is_set()
            try:
                chunk = os.read(reader, 1 << 16)
            except BlockingIOError:
                chunk = None
            if chunk:
                received.write(chunk)
            elif chunk == b"" and ended:
                break
            else:
                time.sleep(0.001)
    thread = threading.Thread(target=read_all)
    thread.start()
    try:
        project = save_to(tmp_path, make_project, source, tmp_path / ("link.q3d" if through_link else "pipe.q3d"))
    finally:
        saved.set()
        thread.join()
        os.close(reader)
    # The FIFO holds no archive that the next save would carry over: that save finds no reader.
    with pytest.raises(OSError) as raised:
        project.save_project()
    assert raised.value.errno == errno.ENXIO
    with zipfile.ZipFile(received) as archive:
        assert archive.testzip() is None
        assert archive.namelist()[0] == "project.xml"
        assert {name: archive.read(name) for name in archive.namelist()[1:]}.keys() == (
            {*SOURCE_MEMBERS, "image.bin"} if source else set())
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
