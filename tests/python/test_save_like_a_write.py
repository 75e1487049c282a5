"""Every save over a file, by each writer (a data set, a new project, a project over its
source), does what a plain open(name, "w") and write by the same process would do: the
kernel's access, link and sticky-folder rules decide; the file written keeps its owner,
group, mode, other names, attributes, flags, locks and leases, and set-ID bits as a write
keeps them, also where they change during the save; magic links and mounts lead where they
lead a plain write. Besides, a save that fails (no space) leaves the old contents, a killed
one at most its temporary file, and Ctrl-C ends a save that a FIFO or a lease holder holds up."""
import contextlib
import encodings.cp437  # noqa: F401  children running as other users may not read the interpreter's files
import errno
import fcntl
import functools
import importlib.util
import json
import os
import re
import select
import shlex
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import termios
import textwrap
import threading
import time
import types
import zipfile
from pathlib import Path

import pytest

WRITERS_PATH = Path(__file__).resolve().parent / "save_writers.py"


def _load_writers():
    spec = importlib.util.spec_from_file_location("save_writers", WRITERS_PATH)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


writers = _load_writers()
outcome_of, plain_write = writers.outcome_of, writers.plain_write

ALL = list(writers.WRITERS)
NEW_NAME = ["data set", "new project"]  # the writers that can save to a name where no file is
# (writer, whether a file is at the name): every writer over a file, those of NEW_NAME to a new name.
EXISTING_AND_NEW = [(name, True) for name in ALL] + [(name, False) for name in NEW_NAME]
EXISTING_AND_NEW_IDS = [f"{name}, {'existing file' if exists else 'new name'}" for name, exists in EXISTING_AND_NEW]
OWNER, GROUP, SAVER = 4321, 4322, 1234
CHILD_SECONDS = 60

is_root = os.geteuid() == 0
needs_root = pytest.mark.skipif(not is_root, reason="needs root")


@pytest.fixture(params=ALL)
def writer(request):
    return writers.WRITERS[request.param]()


def read(path):
    return Path(path).read_bytes()


def snapshot(path):
    """The contents, inode, owner, group, mode and link count of the file at path."""
    status = os.stat(path)
    return read(path), status.st_ino, status.st_uid, status.st_gid, stat.S_IMODE(status.st_mode), status.st_nlink


def mode_of(path):
    return stat.S_IMODE(os.stat(path).st_mode)


@pytest.fixture
def reachable():
    """A folder that every user may reach (pytest's own folders are root's alone); its
    content is removed whatever modes it was given."""
    top = Path(tempfile.mkdtemp())
    os.chmod(top, 0o755)
    yield top
    for folder, _, _ in os.walk(top):
        os.chmod(folder, 0o700)
    shutil.rmtree(top)


def make_folder(path, owner=None, mode=0o755):
    path.mkdir()
    if owner is not None:
        os.chown(path, owner, owner)
    os.chmod(path, mode)
    return path


def make_file(writer, path, owner=None, group=None, mode=0o644):
    writer.make(path)
    if owner is not None:
        os.chown(path, owner, owner if group is None else group)
    os.chmod(path, mode)  # after chown, which clears set-ID bits
    return path


def in_child(action, *arguments, user=None, groups=()):
    """What action(*arguments) returns (JSON) when run in a forked child, as user (user and
    group, with the supplementary groups) where one is given; fails with the child's
    exception. The child ends within CHILD_SECONDS."""
    reader, writer_end = os.pipe()
    child = os.fork()
    if child == 0:
        report = {"error": "no result"}
        try:
            os.close(reader)
            signal.alarm(CHILD_SECONDS)
            if user is not None:
                os.setgroups(list(groups))
                os.setgid(user)
                os.setuid(user)
            report = {"result": action(*arguments)}
        except BaseException as error:
            report = {"error": f"{type(error).__name__}: {error}"}
        finally:
            try:
                os.write(writer_end, json.dumps(report).encode())
            finally:
                os._exit(0)
    os.close(writer_end)
    with open(reader, "rb") as pipe:
        data = pipe.read()
    status = os.waitpid(child, 0)[1]
    report = json.loads(data) if data else {"error": f"the child ended with status {status}"}
    assert "error" not in report, report["error"]
    return report["result"]


def own_user():
    """The user that saves its own files: another one under root, for root writes everything."""
    return SAVER if is_root else None


# ---------------------------------------------------------------------------------------
# Who may write the file: the kernel's access rules, as for a plain open.

@pytest.mark.parametrize("situation", [
    # (folder owner, folder mode, file owner, file group, file mode, the saver's supplementary groups)
    pytest.param((SAVER, 0o755, SAVER, SAVER, 0o444, []), id="own 0444 file"),
    pytest.param((OWNER, 0o775, OWNER, GROUP, 0o640, [GROUP]), marks=needs_root,
                 id="group member, 0640 file, group-writable folder"),
    pytest.param((OWNER, 0o777, OWNER, OWNER, 0o644, []), marks=needs_root,
                 id="another user's 0644 file, world-writable folder"),
])
def test_refused_where_a_plain_write_is(reachable, writer, situation):
    """Refused with EACCES, nothing changed, nothing left, although the folder allows a rename."""
    folder_owner, folder_mode, owner, group, mode, groups = situation
    if not is_root:
        folder_owner = owner = group = None
    folder = make_folder(reachable / "folder", folder_owner, folder_mode)
    path = make_file(writer, folder / ("file" + writer.suffix), owner, group, mode)
    before = snapshot(path)
    outcome, plain = in_child(lambda: [outcome_of(writer.save, path), outcome_of(plain_write, path)],
                              user=own_user(), groups=groups)
    assert (outcome, plain) == (writer.expect("EACCES"), "EACCES")
    assert snapshot(path) == before
    assert os.listdir(folder) == [path.name]


@needs_root
def test_group_member_keeps_the_owner_group_and_mode(reachable, writer):
    """User B of group G saves user A's 0660 file of G: still A:G and 0660, with B's contents."""
    folder = make_folder(reachable / "shared", mode=0o777)
    path = make_file(writer, folder / ("file" + writer.suffix), OWNER, GROUP, 0o660)
    assert in_child(outcome_of, writer.save, path, user=SAVER, groups=[GROUP]) == "saved"
    status = os.stat(path)
    assert (status.st_uid, status.st_gid, stat.S_IMODE(status.st_mode)) == (OWNER, GROUP, 0o660)
    assert writer.holds_save(read(path))
    assert os.listdir(folder) == [path.name]


def test_hard_link_reads_the_new_contents(tmp_path, writer):
    path = tmp_path / ("file" + writer.suffix)
    writer.make(path)
    os.link(path, tmp_path / "other name")
    writer.save(path)
    assert writer.holds_save(read(tmp_path / "other name"))
    assert os.path.samefile(path, tmp_path / "other name")
    assert sorted(os.listdir(tmp_path)) == sorted([path.name, "other name"])


@pytest.mark.parametrize("mode, group, groups, expected", [
    pytest.param(0o6775, None, [], 0o775, id="06775, own group"),
    pytest.param(0o2664, None, [], 0o2664, id="02664, own group"),
    pytest.param(0o2664, GROUP, [GROUP], 0o2664, marks=needs_root, id="02664, a supplementary group"),
    pytest.param(0o2664, GROUP, [], 0o664, marks=needs_root, id="02664, not a member"),
])
def test_set_id_bits_as_a_write_keeps_them(reachable, writer, mode, group, groups, expected):
    """As the owner without privilege: the set-ID bits that a plain write of a twin keeps
    (group None: the owner's own)."""
    folder = make_folder(reachable / "own", own_user(), 0o755)
    path = make_file(writer, folder / ("file" + writer.suffix), own_user(), group, mode)
    twin = make_file(writer, folder / "twin", own_user(), group, mode)
    outcomes = in_child(lambda: [outcome_of(writer.save, path), outcome_of(plain_write, twin)],
                        user=own_user(), groups=groups)
    assert outcomes == ["saved", "saved"]
    assert (mode_of(path), mode_of(twin)) == (expected, expected)
    assert os.stat(path).st_gid == os.stat(twin).st_gid
    assert writer.holds_save(read(path))
    assert sorted(os.listdir(folder)) == sorted([path.name, "twin"])


@pytest.mark.parametrize("folder_owner, folder_mode, file_mode", [
    pytest.param(SAVER, 0o555, 0o644, id="own 0555 folder, own 0644 file"),
    pytest.param(OWNER, 0o755, 0o666, marks=needs_root, id="another user's 0755 folder, own 0666 file"),
])
def test_folder_that_refuses_a_new_name(reachable, writer, folder_owner, folder_mode, file_mode):
    """Saved in place, as the plain write writes it; a project over its source keeps every
    member in a valid archive."""
    folder = reachable / "folder"
    folder.mkdir()
    path = make_file(writer, folder / ("file" + writer.suffix), own_user(), mode=file_mode)
    if is_root:
        os.chown(folder, folder_owner, folder_owner)
    os.chmod(folder, folder_mode)
    inode = os.stat(path).st_ino
    assert in_child(outcome_of, writer.save, path, user=own_user()) == "saved"
    assert writer.holds_save(read(path))
    assert (os.stat(path).st_ino, mode_of(path)) == (inode, file_mode)
    assert os.listdir(folder) == [path.name]


# ---------------------------------------------------------------------------------------
# Magic links: /proc/self/fd/N and /dev/stdout lead where they lead a plain write.

MAGIC_NAMES = ["/proc/self/fd/{}", "/dev/stdout"]


@contextlib.contextmanager
def magic_name(folder, writer, text, descriptor):
    """The name text (formatted with descriptor) while descriptor is the standard output
    where the name is /dev/stdout; a project's through a link named folder/target.q3d, for
    a project's name ends in .q3d."""
    name = text.format(descriptor)
    if writer.suffix != ".out":
        (folder / ("target" + writer.suffix)).symlink_to(name)
        name = folder / ("target" + writer.suffix)
    saved = None
    if text == "/dev/stdout":
        sys.stdout.flush()
        saved = os.dup(1)
        os.dup2(descriptor, 1)
    try:
        yield name
    finally:
        if saved is not None:
            os.dup2(saved, 1)
            os.close(saved)


@pytest.fixture
def fixed_clock(monkeypatch):
    """Archive members written meanwhile all carry the same time."""
    clock = types.SimpleNamespace(**{name: getattr(time, name) for name in dir(time) if not name.startswith("_")})
    clock.time = lambda: 1_700_000_000.0
    monkeypatch.setattr(zipfile, "time", clock)


@pytest.mark.parametrize("text", MAGIC_NAMES)
def test_magic_link_to_a_pipe(tmp_path, writer, text, fixed_clock, no_hang):
    """A reader thread gets exactly the bytes of the same save to a file."""
    source = tmp_path / ("source" + writer.suffix)  # a project over its source: one of its own
    writer.make(source)
    writer.save(tmp_path / ("reference" + writer.suffix), source=source)
    reader, writer_end = os.pipe()
    received = []
    read_all = functools.partial(os.read, reader, 1 << 16)
    thread = threading.Thread(target=lambda: received.append(b"".join(iter(read_all, b""))))
    thread.start()
    try:
        with magic_name(tmp_path, writer, text, writer_end) as name:
            writer.save(name, source=source)
    finally:
        os.close(writer_end)
        thread.join()
        os.close(reader)
    assert received == [read(tmp_path / ("reference" + writer.suffix))]


@pytest.mark.parametrize("text", MAGIC_NAMES)
def test_magic_link_to_an_unlinked_file(tmp_path, writer, text):
    """Its open descriptor reads the save; no file appears in its folder."""
    gone = make_folder(tmp_path / "gone")
    writer.make(gone / "file")
    descriptor = os.open(gone / "file", os.O_RDWR)
    try:
        os.unlink(gone / "file")
        with magic_name(tmp_path, writer, text, descriptor) as name:
            writer.save(name)
        assert writer.holds_save(os.pread(descriptor, 1 << 24, 0))
    finally:
        os.close(descriptor)
    assert os.listdir(gone) == []
    assert sorted(os.listdir(tmp_path)) == (["gone"] if writer.suffix == ".out" else ["gone", "target.q3d"])


def test_standard_output_redirected_to_a_file(tmp_path, writer):
    """A child whose output goes to the file (">>") saves to /dev/stdout: the same file holds
    the save, and what the child writes next follows it."""
    path = tmp_path / ("out" + writer.suffix)
    writer.make(path)
    inode = os.stat(path).st_ino
    name = "/dev/stdout"
    if writer.suffix != ".out":
        name = tmp_path / ("link" + writer.suffix)
        name.symlink_to("/dev/stdout")

    def save_to_standard_output():
        os.dup2(os.open(path, os.O_WRONLY | os.O_APPEND), 1)
        outcome = outcome_of(writer.save, name)
        os.write(1, b"later\n")
        return [outcome, os.fstat(1).st_ino]
    assert in_child(save_to_standard_output) == ["saved", inode]
    data = read(path)
    assert os.stat(path).st_ino == inode
    assert data.endswith(b"later\n") and writer.holds_save(data[:-len(b"later\n")])
    assert sorted(os.listdir(tmp_path)) == sorted([path.name] + ([] if name == "/dev/stdout" else [name.name]))


# ---------------------------------------------------------------------------------------
# Links: the kernel counts every link of the name, in its folders too.

def link_chain(folder, prefix, count, end, suffix=""):
    """Links folder/prefix0 -> prefix1 -> ... -> end, count of them; the first."""
    names = [f"{prefix}{index}{suffix}" for index in range(count)] + [end]
    for name, target in zip(names, names[1:]):
        (folder / name).symlink_to(target)
    return folder / names[0]


def links_in_one_folder(count):
    def make(folder, suffix):
        return link_chain(folder, "l", count, "target" + suffix, suffix)
    return make


def links_across_folders(folder, suffix):
    """30 links to the folder, 30 to the file in it: 60 for the name, none more than 30 in a row."""
    (folder / "real").mkdir()
    link_chain(folder / "real", "l", 30, "target" + suffix, suffix)
    return link_chain(folder, "d", 30, "real") / ("l0" + suffix)


LINKS = {"40 links": links_in_one_folder(40), "41 links": links_in_one_folder(41), "60 links": links_across_folders}


def target_of(folder, suffix):
    return (folder / "real" if (folder / "real").exists() else folder) / ("target" + suffix)


@pytest.mark.parametrize("links", LINKS)
def test_links_of_an_existing_file(tmp_path, writer, links):
    """40 links are followed, 41 or 60 refused with ELOOP, as by a plain write."""
    name = LINKS[links](tmp_path, writer.suffix)
    target = target_of(tmp_path, writer.suffix)
    writer.make(target)
    outcome = outcome_of(writer.save, name, source=None if links == "40 links" else target)
    saved = writer.holds_save(read(target))
    plain = outcome_of(plain_write, name)
    assert plain == ("saved" if links == "40 links" else "ELOOP")
    assert (outcome, saved) == (writer.expect(plain), plain == "saved")
    assert stat.S_ISREG(os.lstat(target).st_mode) and os.path.islink(name)


@pytest.mark.parametrize("writer", NEW_NAME, indirect=True)
@pytest.mark.parametrize("links", LINKS)
def test_links_to_a_new_name(tmp_path, writer, links):
    name = LINKS[links](tmp_path, writer.suffix)
    target = target_of(tmp_path, writer.suffix)
    outcome = outcome_of(writer.save, name)
    saved = target.exists() and writer.holds_save(read(target), kept=False)
    leftovers = os.listdir(target.parent)
    plain = outcome_of(plain_write, name)
    assert plain == ("saved" if links == "40 links" else "ELOOP")
    assert (outcome, saved) == (writer.expect(plain), plain == "saved")
    assert not [entry for entry in leftovers if ".tmp-" in entry]


# ---------------------------------------------------------------------------------------
# The kernel's rules for sticky world-writable folders, which apply to root too.

@pytest.fixture(params=["as found", "set to 1"])
def protection(request):
    """protect(name): makes fs.<name> 1 ("set to 1", restored afterwards; skips where
    refused), or skips where it reads less ("as found")."""
    restore = []

    def protect(name):
        setting = Path("/proc/sys/fs") / name
        value = setting.read_text()
        if request.param == "as found":
            if int(value) < 1:
                pytest.skip(f"fs.{name} is {value.strip()}")
            return
        try:
            setting.write_text("1")
        except OSError as error:
            pytest.skip(f"fs.{name} cannot be set: {error}")
        restore.append((setting, value))
    try:
        yield protect
    finally:
        for setting, value in restore:
            setting.write_text(value)


@pytest.fixture
def sticky_folder(reachable):
    """A sticky world-writable folder of root, as /tmp, beside root's private folder."""
    make_folder(reachable / "private", mode=0o700)
    return make_folder(reachable / "sticky", mode=0o1777)


@needs_root
@pytest.mark.parametrize("writer, exists", EXISTING_AND_NEW, ids=EXISTING_AND_NEW_IDS, indirect=["writer"])
def test_another_users_link_in_a_sticky_folder(reachable, sticky_folder, writer, protection, exists):
    """Root's save through another user's link there is refused (protected_symlinks), to a
    file or to a new name in root's private folder."""
    protection("protected_symlinks")
    secret = reachable / "private" / ("secret" + writer.suffix)
    if exists:
        make_file(writer, secret, mode=0o600)
    link = sticky_folder / ("link" + writer.suffix)
    link.symlink_to(secret)
    os.lchown(link, OWNER, OWNER)
    before = snapshot(secret) if exists else None
    outcome = outcome_of(writer.save, link, source=secret)
    plain = outcome_of(plain_write, link)
    assert (outcome, plain) == (writer.expect("EACCES"), "EACCES")
    assert (snapshot(secret) if exists else None) == before
    assert os.listdir(secret.parent) == ([secret.name] if exists else [])
    assert os.listdir(sticky_folder) == [link.name]


@needs_root
@pytest.mark.parametrize("kind", ["regular file", "FIFO"])
def test_another_users_file_in_a_sticky_folder(reachable, sticky_folder, writer, protection, kind):
    """Root's save onto another user's 0666 file there is refused (protected_regular), as
    onto its FIFO (protected_fifos), which gets nothing."""
    protection("protected_regular" if kind == "regular file" else "protected_fifos")
    path = sticky_folder / ("file" + writer.suffix)
    source = reachable / "private" / ("source" + writer.suffix)
    writer.make(source)
    if kind == "FIFO":
        os.mkfifo(path)
    else:
        writer.make(path)
    os.chown(path, OWNER, OWNER)
    os.chmod(path, 0o666)
    identity = (lambda: snapshot(path)) if kind == "regular file" else (lambda: os.lstat(path)[:5])
    before = identity()
    reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)  # a plain write into the FIFO waits for none
    try:
        outcome = outcome_of(writer.save, path, source=source)
        plain = outcome_of(plain_write, path)
        received = os.read(reader, 1 << 16) if kind == "FIFO" else b""
    finally:
        os.close(reader)
    assert (outcome, plain, received) == (writer.expect("EACCES"), "EACCES", b"")
    assert identity() == before
    assert os.listdir(sticky_folder) == [path.name]


# ---------------------------------------------------------------------------------------
# What a write into the file keeps: attributes, locks.

def test_user_attribute_is_kept(tmp_path, writer):
    path = tmp_path / ("file" + writer.suffix)
    writer.make(path)
    try:
        os.setxattr(path, "user.origin", b"camera 2")
    except OSError as error:
        if error.errno in (errno.ENOTSUP, errno.EOPNOTSUPP, errno.EPERM):
            pytest.skip("no user attributes here")
        raise
    writer.save(path)
    assert os.getxattr(path, "user.origin") == b"camera 2"
    assert writer.holds_save(read(path))
    assert os.listdir(tmp_path) == [path.name]


def inode_flags(path):
    """The file's attribute flags as lsattr lists them."""
    return subprocess.run(["lsattr", str(path)], check=True, capture_output=True, text=True).stdout.split()[0]


def test_attribute_flags_are_kept(tmp_path, writer):
    """Flags set with chattr (nodump, noatime) stay, as through a plain write of a twin."""
    path, twin = tmp_path / ("file" + writer.suffix), tmp_path / "twin"
    for name in (path, twin):
        writer.make(name)
        if not shutil.which("chattr") or subprocess.run(["chattr", "+dA", name], capture_output=True).returncode:
            pytest.skip("no attribute flags here")
    before = inode_flags(path)
    writer.save(path)
    plain_write(twin)
    assert (inode_flags(path), inode_flags(twin)) == (before, before)
    assert writer.holds_save(read(path))


LOCKS = {
    "flock, exclusive": (fcntl.flock, fcntl.LOCK_EX),
    "flock, shared": (fcntl.flock, fcntl.LOCK_SH),
    "fcntl, write": (fcntl.lockf, fcntl.LOCK_EX),
}


@contextlib.contextmanager
def locked_by_another_process(path, lock):
    """Another process holding lock (function, operation) on the file at path."""
    function, operation = lock
    ready, ready_end = os.pipe()
    done, done_end = os.pipe()
    child = os.fork()
    if child == 0:
        try:
            os.close(ready)
            os.close(done_end)
            signal.alarm(CHILD_SECONDS)
            descriptor = os.open(path, os.O_RDWR)
            function(descriptor, operation)
            os.write(ready_end, b"locked")
            os.read(done, 1)
        finally:
            os._exit(0)
    os.close(ready_end)
    os.close(done)
    try:
        assert os.read(ready, 16) == b"locked"
        yield
    finally:
        os.close(done_end)
        os.close(ready)
        os.waitpid(child, 0)


@pytest.mark.parametrize("lock", LOCKS)
def test_locked_file_is_written_in_place(tmp_path, writer, lock):
    """The holder still holds its lock on the file at the name, which holds the save."""
    path = tmp_path / ("file" + writer.suffix)
    writer.make(path)
    inode = os.stat(path).st_ino
    function, _ = LOCKS[lock]
    with locked_by_another_process(path, LOCKS[lock]):
        writer.save(path)
        assert os.stat(path).st_ino == inode
        with open(path, "r+b") as probe, pytest.raises(OSError) as refused:
            function(probe.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        assert refused.value.errno in (errno.EAGAIN, errno.EACCES)
    assert writer.holds_save(read(path))
    assert os.listdir(tmp_path) == [path.name]


@contextlib.contextmanager
def leased_by_another_process(path, original, lets_go=True):
    """Another process holding a read lease on the file at path. Told to let go (SIGIO), it
    reports whether the file still holds original, then lets go unless lets_go is false.
    Yields report(seconds): that report, waited for that long (b"" before it came)."""
    ready, ready_end = os.pipe()
    report, report_end = os.pipe()
    done, done_end = os.pipe()
    child = os.fork()
    if child == 0:
        try:
            for end in (ready, report, done_end):
                os.close(end)
            signal.alarm(CHILD_SECONDS)
            descriptor = os.open(path, os.O_RDONLY)

            def told(*_):
                unchanged = os.pread(descriptor, len(original) + 1, 0) == original
                os.write(report_end, b"old contents" if unchanged else b"changed")
                if lets_go:
                    fcntl.fcntl(descriptor, fcntl.F_SETLEASE, fcntl.F_UNLCK)
            signal.signal(signal.SIGIO, told)
            fcntl.fcntl(descriptor, fcntl.F_SETLEASE, fcntl.F_RDLCK)
            os.write(ready_end, b"leased")
            os.read(done, 1)
        finally:
            os._exit(0)
    for end in (ready_end, report_end, done):
        os.close(end)
    try:
        assert os.read(ready, 16) == b"leased"
        yield lambda seconds: os.read(report, 100) if select.select([report], [], [], seconds)[0] else b""
    finally:
        for end in (ready, report, done_end):
            os.close(end)
        os.kill(child, signal.SIGKILL)
        os.waitpid(child, 0)


def test_lease_holder_lets_go_before_the_file_changes(tmp_path, writer, no_hang):
    """Another process's read lease is broken as by a plain write: the holder is told
    (SIGIO) while the file still holds the old contents, and the save waits for it to let go."""
    path = tmp_path / ("file" + writer.suffix)
    writer.make(path)
    with leased_by_another_process(path, writer.original) as report:
        writer.save(path)
        assert report(5) == b"old contents"
    assert writer.holds_save(read(path))
    assert os.listdir(tmp_path) == [path.name]


# ---------------------------------------------------------------------------------------
# Folders that refuse renames, files that are mount points, running executables.

@pytest.fixture
def append_only(tmp_path):
    """A folder that takes new names but never loses one (chattr +a); skips where refused."""
    folder = make_folder(tmp_path / "log")
    if not shutil.which("chattr") or subprocess.run(["chattr", "+a", folder], capture_output=True).returncode:
        pytest.skip("no append-only folders here")
    try:
        yield folder
    finally:
        subprocess.run(["chattr", "-a", folder], check=True)


@pytest.mark.parametrize("writer, exists", EXISTING_AND_NEW, ids=EXISTING_AND_NEW_IDS, indirect=["writer"])
def test_append_only_folder(append_only, writer, exists):
    """Saved as by a plain write, no temporary file left."""
    path, plain = append_only / ("file" + writer.suffix), append_only / "plain"
    if exists:
        writer.make(path)
        writer.make(plain)
    plain = outcome_of(plain_write, plain)
    assert (outcome_of(writer.save, path), plain) == ("saved", "saved")
    assert writer.holds_save(read(path), kept=exists)
    assert sorted(os.listdir(append_only)) == sorted([path.name, "plain"])


NAMESPACE_CHILD = textwrap.dedent("""
    import importlib.util, json, os, sys
    spec = importlib.util.spec_from_file_location("save_writers", sys.argv[1])
    writers = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(writers)
    size = int(sys.argv[3])
    writer = writers.WRITERS[sys.argv[2]](size) if size else writers.WRITERS[sys.argv[2]]()
    results = []
    for action, path in json.loads(sys.argv[4]):
        if action == "save":
            results.append(writers.outcome_of(writer.save, path))
        elif action == "plain":
            results.append(writers.outcome_of(writers.plain_write, path))
        elif action == "make":
            results.append(writer.make(path))
        elif action == "is original":
            results.append(open(path, "rb").read() == writer.original)
        elif action == "fill":  # all but 64 KiB of the file system
            with open(path, "wb") as filler:
                filler.write(bytes(os.statvfs(path).f_bavail * os.statvfs(path).f_frsize - (64 << 10)))
            results.append(None)
        elif action == "mode":
            results.append(oct(os.stat(path).st_mode & 0o7777))
        else:
            results.append(sorted(os.listdir(path)))
    print(json.dumps(results))
""")


def in_mount_namespace(mounts, writer, actions, size=None):
    """The results of actions (action, path) in a child interpreter with writer (the same
    kind, of size where given), in a mount namespace of its own where the shell commands
    mounts ran first; skips where either is refused. The actions: "save", "plain" (write),
    "make" (the file that a save replaces), "is original" (whether it holds that file),
    "fill" (a file taking all but 64 KiB of its file system), "mode", "list" (a folder)."""
    if not shutil.which("unshare"):
        pytest.skip("unshare is not installed")
    script = f"{mounts} || exit 77; exec \"$@\""
    arguments = [str(WRITERS_PATH), writer.name, str(size or 0), json.dumps(actions)]
    result = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", sys.executable,
                             "-c", NAMESPACE_CHILD, *arguments], capture_output=True, text=True, timeout=CHILD_SECONDS)
    if result.returncode == 77 or result.stderr.startswith("unshare:"):
        pytest.skip("mount namespaces or mounts are refused here: " + result.stderr.strip())
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stdout)


def test_bind_mounted_file(tmp_path, writer):
    """Saved into the file mounted on the name, as by a plain write into a twin mount;
    nothing left beside it."""
    for name in ("mounted", "twin mounted", "file" + writer.suffix, "twin"):
        writer.make(tmp_path / name)
    path, twin = tmp_path / ("file" + writer.suffix), tmp_path / "twin"
    mounts = " && ".join(f"mount --bind {shlex.quote(str(tmp_path / source))} {shlex.quote(str(target))}"
                         for source, target in (("mounted", path), ("twin mounted", twin)))
    results = in_mount_namespace(mounts, writer, [("save", str(path)), ("plain", str(twin)), ("list", str(tmp_path))])
    assert results == ["saved", "saved", sorted(["mounted", "twin mounted", path.name, "twin"])]
    assert writer.holds_save(read(tmp_path / "mounted"))
    assert (read(path), read(tmp_path / "twin mounted")) == (writer.original, b"plain")


@pytest.mark.parametrize("writer, exists", EXISTING_AND_NEW, ids=EXISTING_AND_NEW_IDS, indirect=["writer"])
def test_without_proc(tmp_path, writer, exists):
    """With a tmpfs over /proc: saves over files work, and new files get the mode of a plain write's."""
    path = tmp_path / ("file" + writer.suffix)
    if exists:
        make_file(writer, path, mode=0o640)
    plain = tmp_path / "plain"
    results = in_mount_namespace("mount -t tmpfs none /proc", writer, [
        ("list", "/proc"), ("save", str(path)), ("plain", str(plain)), ("mode", str(path)), ("mode", str(plain))])
    assert results[:3] == [[], "saved", "saved"]
    assert results[3] == (oct(0o640) if exists else results[4])
    assert writer.holds_save(read(path), kept=exists)
    assert sorted(os.listdir(tmp_path)) == sorted([path.name, "plain"])


@pytest.mark.parametrize("name", ALL)
def test_no_space_for_the_new_contents(tmp_path, name):
    """On a full file system the save fails (ENOSPC) before the file is touched, for it needs
    room for the old and the new contents at once; no temporary file stays. (A plain write
    frees the old contents first: it fits where the new ones take no more room, and leaves
    the file cut where they take more than is free.)"""
    writer = writers.WRITERS[name](512 << 10)
    folder = make_folder(tmp_path / "small")
    path, filler = folder / ("file" + writer.suffix), folder / "filler"
    results = in_mount_namespace(f"mount -t tmpfs -o size=2m none {shlex.quote(str(folder))}", writer, [
        ("make", str(path)), ("fill", str(filler)), ("save", str(path)), ("is original", str(path)),
        ("list", str(folder))], size=512 << 10)
    assert results == [None, None, writer.expect("ENOSPC"), True, sorted([path.name, filler.name])]


def test_running_executable_is_refused(tmp_path, writer):
    """ETXTBSY, unchanged, as for a plain write. A project archive follows the program, which
    still runs, and loads."""
    path = tmp_path / ("tool" + writer.suffix)
    path.write_bytes(read(shutil.which("sleep")) + writer.original)
    path.chmod(0o755)
    before = snapshot(path)
    running = subprocess.Popen([path, str(CHILD_SECONDS)])
    try:
        outcome = outcome_of(writer.save, path)
        plain = outcome_of(plain_write, path)
    finally:
        running.kill()
        running.wait(timeout=CHILD_SECONDS)
    assert (outcome, plain) == (writer.expect("ETXTBSY"), "ETXTBSY")
    assert snapshot(path) == before
    assert os.listdir(tmp_path) == [path.name]


# ---------------------------------------------------------------------------------------
# Saves held up, stopped or killed midway: Ctrl-C, kill -9, changes made meanwhile.

def waiting_in(child):
    """The kernel function where child sleeps; "" where that is not shown."""
    try:
        text = Path(f"/proc/{child}/wchan").read_text()
    except OSError:
        return ""
    return "" if text == "0" else text


def interrupt_when(save, waits, handler=signal.default_int_handler):
    """Runs save() in a child, whose SIGINT handler is handler, and sends it SIGINT once
    waits(child) holds: what the save ended with ("saved", "KeyboardInterrupt" or the
    exception) and the seconds from the signal to that report (10 at most)."""
    report, report_end = os.pipe()
    child = os.fork()
    if child == 0:
        message = "no outcome"
        try:
            os.close(report)
            signal.alarm(CHILD_SECONDS)
            signal.signal(signal.SIGINT, handler)
            try:
                save()
                message = "saved"
            except KeyboardInterrupt:
                message = "KeyboardInterrupt"
            except BaseException as error:
                message = f"{type(error).__name__}: {error}"
        finally:
            try:
                os.write(report_end, message.encode())
            finally:
                os._exit(0)
    os.close(report_end)
    try:
        deadline = time.monotonic() + 20
        while not waits(child):
            assert os.waitpid(child, os.WNOHANG) == (0, 0), "the save ended before it waited"
            assert time.monotonic() < deadline, "the save never waited"
            time.sleep(0.02)
        os.kill(child, signal.SIGINT)
        sent = time.monotonic()
        ready = select.select([report], [], [], 10)[0]
        return os.read(report, 1000).decode() if ready else "no report", time.monotonic() - sent
    finally:
        os.close(report)
        with contextlib.suppress(ProcessLookupError):
            os.kill(child, signal.SIGKILL)
        with contextlib.suppress(ChildProcessError):
            os.waitpid(child, 0)


@pytest.mark.parametrize("name", ["data set", "project over its source"])
def test_ctrl_c_ends_a_save_into_a_full_fifo(tmp_path, name, no_hang):
    """A child saves into a FIFO whose reader never reads; SIGINT ends it with KeyboardInterrupt."""
    writer = writers.WRITERS[name](size=1 << 20)
    assert interrupt_full_fifo(tmp_path, writer) == ("KeyboardInterrupt", True)


def test_ctrl_c_handler_that_reloads_the_data_set(tmp_path, no_hang):
    """A SIGINT handler that reloads the data set being saved, and raises nothing, runs once
    the library has stopped reading the set: the save ends, failed."""
    writer = writers.WRITERS["data set"](size=1 << 20)
    small = writers.WRITERS["data set"]().data_set.export_raw()

    def reload(*_):
        writer.data_set.load_from_data(small, "small.out")
    outcome, in_time = interrupt_full_fifo(tmp_path, writer, reload)
    assert (outcome.startswith("OSError: Unable to save file"), in_time) == (True, True), outcome


def interrupt_full_fifo(tmp_path, writer, handler=signal.default_int_handler):
    """Saves writer's file into a FIFO whose reader never reads, in a child that gets SIGINT
    once the FIFO is full: what the save ended with, and whether within 5 s. Checks that the
    folder holds only the source and the FIFO."""
    source = tmp_path / ("source" + writer.suffix)
    writer.make(source)
    fifo = tmp_path / ("pipe" + writer.suffix)
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    pending = []

    def waits(child):
        """The FIFO filled, and the child waits to write more (where wchan is hidden: nothing more came)."""
        pending.append(int.from_bytes(fcntl.ioctl(reader, termios.FIONREAD, bytes(4)), sys.byteorder))
        waiting = waiting_in(child)
        return pending[-1] > 0 and ("pipe_write" in waiting or not waiting and pending[-2:-1] == pending[-1:])
    try:
        outcome, seconds = interrupt_when(functools.partial(writer.save, fifo, source=source), waits, handler)
    finally:
        os.close(reader)
    assert sorted(os.listdir(tmp_path)) == sorted([source.name, fifo.name])
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    return outcome, seconds < 5


def test_ctrl_c_ends_a_wait_for_a_lease_holder(tmp_path, writer, no_hang):
    """A save waiting for a lease holder that never lets go ends with KeyboardInterrupt at
    SIGINT, long before the kernel breaks the lease; the file stays as it was."""
    path = tmp_path / ("file" + writer.suffix)
    writer.make(path)
    before = snapshot(path)
    with leased_by_another_process(path, writer.original, lets_go=False) as report:
        told, looks = False, 0

        def waits(child):
            """Asleep until the lease is broken (where wchan is hidden: ten looks after the holder was told)."""
            nonlocal told, looks
            told = told or bool(report(0))
            looks += told
            return "break_lease" in waiting_in(child) or told and not waiting_in(child) and looks > 10
        outcome, seconds = interrupt_when(functools.partial(writer.save, path), waits)
    assert (outcome, seconds < 5) == ("KeyboardInterrupt", True)
    assert snapshot(path) == before
    assert os.listdir(tmp_path) == [path.name]


def written_temporary(folder, prefix):
    """The name of a file in folder named prefix + ".tmp-..." that has content, if any."""
    for entry in os.scandir(folder):
        with contextlib.suppress(FileNotFoundError):
            if entry.name.startswith(prefix + ".tmp-") and entry.stat().st_size:
                return entry.name
    return None


@contextlib.contextmanager
def stopped_while_writing(save, folder, prefix, wanted=lambda temporary: True):
    """Runs save() in a child a step (about 0.2 ms) at a time, looking between steps, the
    child stopped (SIGSTOP), for a file named prefix + ".tmp-..." with content in folder for
    which wanted(its name) holds. Yields a namespace: temporary, that file's name (None where
    the save ended first), and end, the signal that ends the stop (SIGKILL unless changed;
    SIGCONT lets the save go on); then status, the child's exit code (1 where save raised)."""
    go, go_end = os.pipe()
    child = os.fork()
    if child == 0:
        code = 1
        try:
            signal.alarm(CHILD_SECONDS)
            os.close(go_end)
            os.read(go, 1)
            save()
            code = 0
        finally:
            os._exit(code)
    os.close(go)
    stopped = types.SimpleNamespace(temporary=None, end=signal.SIGKILL, status=None)
    try:
        os.close(go_end)
        while True:
            os.kill(child, signal.SIGSTOP)
            _, status = os.waitpid(child, os.WUNTRACED)
            if not os.WIFSTOPPED(status):
                stopped.status = os.waitstatus_to_exitcode(status)
                break
            temporary = written_temporary(folder, prefix)
            if temporary is not None and wanted(temporary):
                stopped.temporary = temporary
                break
            os.kill(child, signal.SIGCONT)
            time.sleep(0.0002)
        yield stopped
    finally:
        if stopped.status is None:
            os.kill(child, stopped.end)
            if stopped.end != signal.SIGKILL:
                os.kill(child, signal.SIGCONT)
            stopped.status = os.waitstatus_to_exitcode(os.waitpid(child, 0)[1])


def attempts(folder, count=3):
    """Numbers the attempts to stop a save, which a busy machine may let end first: the
    folder emptied before each one after the first; fails after count."""
    for attempt in range(count):
        if attempt:
            for entry in os.listdir(folder):
                os.unlink(folder / entry)
        yield attempt
    pytest.fail(f"every save of {count} ended before it could be stopped")


@functools.lru_cache(maxsize=None)
def stoppable(name):
    """A writer whose save takes steps enough to be stopped while it writes: a data set,
    written in fewer and without a sync, larger."""
    return writers.WRITERS[name](size=(32 if name == "data set" else 16) << 20)


@pytest.mark.parametrize("name, exists", [
    ("data set", True), ("new project", True), ("project over its source", True),
    ("data set", False), ("project over its source", False),
], ids=["data set, replacing", "new project, replacing", "project over its source, replacing",
        "data set, new name", "project with a source, new name"])
def test_killed_midway(tmp_path, name, exists):
    """Killed while the temporary file is written or synced: the old contents, or no file at
    a new name. What stays is that temporary: readable by its owner alone, or, once complete,
    with the mode the file at the name has or a new file gets."""
    writer = stoppable(name)
    source = tmp_path / ("source" + writer.suffix)
    writer.make(source)
    folder = make_folder(tmp_path / "out")
    path = folder / ("file" + writer.suffix)
    for attempt in attempts(folder):
        if exists:
            writer.make(path)
        before = snapshot(path) if exists else None
        with stopped_while_writing(functools.partial(writer.save, path, source=None if exists else source), folder,
                                   path.name) as stopped:
            pass
        if stopped.temporary is not None:
            break
    assert (snapshot(path) if exists else path.exists()) == (before if exists else False)
    assert sorted(os.listdir(folder)) == sorted([stopped.temporary] + ([path.name] if exists else []))
    assert re.fullmatch(re.escape(path.name) + r"\.tmp-[A-Za-z0-9]{6}", stopped.temporary)
    plain_write(tmp_path / "plain")
    assert mode_of(folder / stopped.temporary) in (0o600, before[4] if exists else mode_of(tmp_path / "plain"))


def change_mode(path):
    os.chmod(path, 0o600)


def add_acl_entry(path):
    if not shutil.which("setfacl") or subprocess.run(["setfacl", "-m", "u:daemon:r", path]).returncode:
        pytest.skip("no POSIX ACLs here")


def change_owner(path):
    if not is_root:
        pytest.skip("needs root")
    os.chown(path, OWNER, GROUP)


def status_and_acl(path):
    """The owner, group and mode, and the extended attribute that holds the access ACL."""
    status = os.stat(path)
    with contextlib.suppress(OSError):
        return status.st_uid, status.st_gid, stat.S_IMODE(status.st_mode), os.getxattr(path, "system.posix_acl_access")
    return status.st_uid, status.st_gid, stat.S_IMODE(status.st_mode), None


@pytest.mark.parametrize("change", [change_mode, add_acl_entry, change_owner], ids=["chmod 600", "setfacl", "chown"])
@pytest.mark.parametrize("name", ALL)
def test_permissions_changed_during_the_save(tmp_path, name, change):
    """A change to the file's mode, ACL or owner while the new contents are written stays."""
    writer = stoppable(name)
    folder = make_folder(tmp_path / "out")
    path = folder / ("file" + writer.suffix)
    reference = tmp_path / ("reference" + writer.suffix)
    writer.make(reference)
    writer.save(reference)
    for attempt in attempts(folder):
        writer.make(path)
        # Stopped before the content is complete, the save has not yet looked at the file.
        with stopped_while_writing(functools.partial(writer.save, path), folder, path.name,
                                   lambda temporary: os.stat(folder / temporary).st_size < reference.stat().st_size
                                   ) as stopped:
            if stopped.temporary is not None:
                change(path)
                changed = status_and_acl(path)
                stopped.end = signal.SIGCONT
        if stopped.temporary is not None:
            break
    assert stopped.status == 0
    assert status_and_acl(path) == changed
    assert writer.holds_save(read(path))
    assert os.listdir(folder) == [path.name]
