"""What a data-set save (ZelDataSet.save) and a project save (ProjectFile.save_project) leave
behind when they replace a file or make a new one: names as long as the folder allows, and
the owner, group, mode and ACL that a plain write of the file keeps or gets."""
import os
import shutil
import stat
import subprocess
import tempfile
import zipfile
from pathlib import Path

import pytest

from zelpyx.zelpy.zelpy import ProjectFile, ZelDataSet


class DataSetSave:
    suffix = ".out"

    def __init__(self, data_set):
        self.data_set = data_set

    def save(self, path):
        self.data_set.save(str(path))

    def check(self, path):
        loaded = ZelDataSet()
        loaded.load(str(path))
        assert loaded.export_raw() == self.data_set.export_raw()


class ProjectSave:
    """A new project when nothing is at the path; otherwise a save over its source."""
    suffix = ".q3d"

    def save(self, path):
        ProjectFile(str(path)).save_project()

    def check(self, path):
        with zipfile.ZipFile(path) as archive:
            assert archive.testzip() is None
            assert archive.namelist() == ["project.xml"]


@pytest.fixture(params=["data set", "project"])
def saver(request, two_areas):
    return DataSetSave(two_areas) if request.param == "data set" else ProjectSave()


def other_entries(folder, *names):
    return sorted(set(os.listdir(folder)) - set(names))


# ---------------------------------------------------------------------------------------
# Names: wherever the target's name fits, the temporary file's name fits too.

def utf8_name(character, suffix, size):
    """A name of characters followed by suffix, as long as whole characters allow up to size bytes."""
    count = (size - len(suffix)) // len(character.encode())
    return character * count + suffix


@pytest.mark.parametrize("exists", [False, True], ids=["new", "replaced"])
@pytest.mark.parametrize("name", [
    lambda suffix: "n" * (254 - len(suffix)) + suffix,
    lambda suffix: "n" * (255 - len(suffix)) + suffix,
    lambda suffix: utf8_name("é", suffix, 255),
    lambda suffix: utf8_name("€", suffix, 255),
], ids=["254 bytes", "255 bytes", "2-byte characters", "3-byte characters"])
def test_names_as_long_as_the_folder_allows(tmp_path, saver, name, exists):
    path = tmp_path / name(saver.suffix)
    assert len(os.fsencode(path.name)) >= 253
    if exists:
        saver.save(path)
    saver.save(path)
    saver.check(path)
    assert os.listdir(tmp_path) == [path.name]


# ---------------------------------------------------------------------------------------
# Permissions: those of the file replaced, or those a plain open gives a new file.

@pytest.fixture
def acl(tmp_path):
    """setfacl with its arguments, after a check that the file system keeps ACLs."""
    if not (shutil.which("setfacl") and shutil.which("getfacl")):
        pytest.skip("setfacl and getfacl are not installed")
    probe = tmp_path / "acl-probe"
    probe.touch()
    if subprocess.run(["setfacl", "-m", "u:daemon:r", str(probe)], capture_output=True).returncode:
        pytest.skip("no POSIX ACLs on this file system")
    probe.unlink()
    return lambda *arguments: subprocess.run(["setfacl", *map(str, arguments)], check=True)


def permissions(path):
    """The mode and the ACL as getfacl prints it."""
    listing = subprocess.run(["getfacl", "--omit-header", "--absolute-names", str(path)], check=True,
                             capture_output=True, text=True).stdout
    return oct(stat.S_IMODE(os.stat(path).st_mode)), listing


@pytest.fixture
def umask_022():
    saved = os.umask(0o022)
    yield
    os.umask(saved)


@pytest.mark.parametrize("default_acl", ["u::rw,g::rw,o::-", "u::rw,g::rw,o::r,m::r", "u::rw,u:daemon:rw,g::r,o::-"])
def test_new_file_in_a_default_acl_folder_matches_a_plain_open(tmp_path, saver, acl, umask_022, default_acl):
    folder = tmp_path / "shared"
    folder.mkdir()
    acl("-d", "-m", default_acl, folder)
    open(folder / "plain", "w").close()
    saver.save(folder / ("new" + saver.suffix))
    assert permissions(folder / ("new" + saver.suffix)) == permissions(folder / "plain")
    assert other_entries(folder, "plain") == ["new" + saver.suffix]


def test_named_entry_survives(tmp_path, saver, acl):
    target = tmp_path / ("file" + saver.suffix)
    saver.save(target)
    acl("-m", "u:daemon:rw,g::r", target)
    before = permissions(target)
    assert "user:daemon:rw-" in before[1]
    saver.save(target)
    assert permissions(target) == before
    saver.check(target)


def test_target_without_acl_gains_no_entry(tmp_path, saver, acl):
    folder = tmp_path / "shared"
    folder.mkdir()
    acl("-d", "-m", "u::rw,u:daemon:rw,g::rw,o::-", folder)
    target = folder / ("file" + saver.suffix)
    saver.save(target)
    acl("-b", target)
    os.chmod(target, 0o640)
    before = permissions(target)
    saver.save(target)
    assert permissions(target) == before
    assert "daemon" not in before[1]


# ---------------------------------------------------------------------------------------
# Owner and group, as root.

OWNER, GROUP, SAVER = 4321, 4322, 1234

needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="needs root")


@pytest.fixture
def shared_folder():
    """A folder that every user may reach and write (pytest's own folders are root's alone)."""
    top = tempfile.mkdtemp()
    os.chmod(top, 0o755)
    folder = os.path.join(top, "shared")
    os.mkdir(folder)
    os.chmod(folder, 0o777)
    yield Path(folder)
    shutil.rmtree(top)


def save_as(user, save, path):
    """Runs save(path) in a child process as user (user and group)."""
    child = os.fork()
    if child == 0:
        code = 1
        try:
            os.setgroups([])
            os.setgid(user)
            os.setuid(user)
            save(path)
            code = 0
        finally:
            os._exit(code)
    return os.waitstatus_to_exitcode(os.waitpid(child, 0)[1])


@needs_root
def test_owner_group_and_set_user_id_bit(shared_folder, saver):
    """Root keeps the owner, group and set-user-ID bit; another user, who may not write the
    file, is refused as by a plain open, and the file stays as it is."""
    target = shared_folder / ("tool" + saver.suffix)
    saver.save(target)
    os.chown(target, OWNER, GROUP)
    os.chmod(target, 0o4755)
    before = target.read_bytes()
    assert save_as(SAVER, saver.save, target) == 1
    assert target.read_bytes() == before
    assert os.listdir(shared_folder) == [target.name]
    saver.save(target)
    status = os.stat(target)
    assert (status.st_uid, status.st_gid, stat.S_IMODE(status.st_mode)) == (OWNER, GROUP, 0o4755)
    saver.check(target)
