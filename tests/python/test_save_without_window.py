"""Saves over a file as other users and processes meet them while they run. A temporary
file opens to nobody whom the file's permissions refuse. Content copied into the file is
staged on the file's own file system, not in $TMPDIR or in memory. The file is looked at
again right before it is replaced, so that a change made meanwhile is seldom lost. Nobody is
refused a lock because a save looked for one. A lease holder is waited for as by a plain
open. In a user namespace, set-ID bits go as a plain write lets them go."""
import contextlib
import fcntl
import importlib.util
import json
import os
import random
import select
import shlex
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from zelpyx.zelpy.zelpy import ProjectFile

LIKE_A_WRITE_PATH = Path(__file__).resolve().parent / "test_save_like_a_write.py"


def _load_like_a_write():
    spec = importlib.util.spec_from_file_location("save_like_a_write", LIKE_A_WRITE_PATH)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


like_a_write = _load_like_a_write()
writers = like_a_write.writers
ALL, OWNER, GROUP, SAVER = like_a_write.ALL, like_a_write.OWNER, like_a_write.GROUP, like_a_write.SAVER
CHILD_SECONDS, needs_root = like_a_write.CHILD_SECONDS, like_a_write.needs_root
make_folder, make_file, in_child, mode_of, read = (like_a_write.make_folder, like_a_write.make_file,
                                                   like_a_write.in_child, like_a_write.mode_of, like_a_write.read)
reachable, writer = like_a_write.reachable, like_a_write.writer  # fixtures
append_only = like_a_write.append_only  # fixture


def in_namespaces(options, writer, actions, setup="true", size=None):
    """The results of actions (as in_mount_namespace of test_save_like_a_write takes them) in
    a child interpreter with writer (of size where given), started by unshare with options
    after the shell commands setup; skips where either is refused."""
    if not shutil.which("unshare"):
        pytest.skip("unshare is not installed")
    script = f"{setup} || exit 77; exec \"$@\""
    arguments = [str(like_a_write.WRITERS_PATH), writer.name, str(size or 0), json.dumps(actions)]
    result = subprocess.run(["unshare", *options, "sh", "-c", script, "sh", sys.executable, "-c",
                             like_a_write.NAMESPACE_CHILD, *arguments],
                            capture_output=True, text=True, timeout=CHILD_SECONDS)
    if result.returncode == 77 or result.stderr.startswith("unshare:"):
        pytest.skip("the namespace or its set-up is refused here: " + result.stderr.strip())
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stdout)


@contextlib.contextmanager
def forked(work, *arguments, user=None, groups=(), parent_ends=()):
    """Runs work(stop, *arguments) in a forked child, as user where one is given, until the
    body ends: stop() tells it then to end. The child closes the descriptors parent_ends.
    Yields result(), what work returned (JSON)."""
    stop_reader, stop_writer = os.pipe()
    report, report_end = os.pipe()
    child = os.fork()
    if child == 0:
        outcome = {"error": "no result"}
        try:
            for end in (stop_writer, report, *parent_ends):
                os.close(end)
            signal.alarm(CHILD_SECONDS)
            if user is not None:
                os.setgroups(list(groups))
                os.setgid(user)
                os.setuid(user)
            outcome = {"result": work(lambda: bool(select.select([stop_reader], [], [], 0)[0]), *arguments)}
        except BaseException as error:
            outcome = {"error": f"{type(error).__name__}: {error}"}
        finally:
            try:
                os.write(report_end, json.dumps(outcome).encode())
            finally:
                os._exit(0)
    os.close(stop_reader)
    os.close(report_end)
    outcome = {}

    def result():
        assert "error" not in outcome, outcome["error"]
        return outcome["result"]
    try:
        yield result
    finally:
        os.close(stop_writer)
        with open(report, "rb") as pipe:
            data = pipe.read()
        os.waitpid(child, 0)
        outcome.update(json.loads(data) if data else {"error": "the child reported nothing"})


# ---------------------------------------------------------------------------------------
# A temporary file opens to nobody whom the file's permissions refuse.

SAVES_WATCHED = 500


def open_temporaries(stop, folder, prefix):
    """Opens, until stop(), each file named prefix + ".tmp-..." that appears in folder, again
    and again while it is there: (the temporaries seen, the names opened)."""
    seen, opened = set(), []
    while not stop():
        for name in os.listdir(folder):
            if not name.startswith(prefix + ".tmp-"):
                continue
            seen.add(name)
            while True:
                try:
                    os.close(os.open(os.path.join(folder, name), os.O_RDONLY))
                    opened.append(name)
                except FileNotFoundError:
                    break
                except PermissionError:
                    continue
    return len(seen), opened


@needs_root
@pytest.mark.parametrize("name", ALL)
def test_no_temporary_opens_to_a_user_the_acl_excludes(reachable, name):
    """A, a member of group G, saves A's 0640 file of G, whose ACL excludes B, another
    member of G, 500 times, while B opens every temporary file it finds in the folder: B
    opens none. Each save replaced the file, which kept its owner, group, mode and ACL."""
    writer = writers.WRITERS[name](size=1 << 20)
    folder = make_folder(reachable / "shared", OWNER, 0o755)
    path = make_file(writer, folder / ("file" + writer.suffix), OWNER, GROUP, 0o640)
    if not shutil.which("setfacl") or subprocess.run(["setfacl", "-m", f"u:{SAVER}:---", path]).returncode:
        pytest.skip("no POSIX ACLs here")
    assert not in_child(os.access, str(path), os.R_OK, user=SAVER, groups=[GROUP])
    before = like_a_write.status_and_acl(path)
    original = os.open(path, os.O_RDONLY)

    def save_many():
        for _ in range(SAVES_WATCHED):
            writer.save(path)
    with forked(open_temporaries, str(folder), path.name, user=SAVER, groups=[GROUP]) as watched:
        in_child(save_many, user=OWNER, groups=[GROUP])
    seen, opened = watched()
    assert seen > 0, "the watcher never saw a temporary file"
    assert opened == []
    assert like_a_write.status_and_acl(path) == before
    assert os.fstat(original).st_nlink == 0, "the file was never replaced"
    os.close(original)
    assert writer.holds_save(read(path))
    assert os.listdir(folder) == [path.name]


# ---------------------------------------------------------------------------------------
# Content copied into the file is staged on its own file system.

def filesystem_type(path):
    return subprocess.run(["stat", "-f", "-c", "%T", str(path)], check=True, capture_output=True,
                          text=True).stdout.strip()


def shared_memory():
    """The system's shared memory (tmpfs and memfd pages), in bytes."""
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("Shmem:"):
                return int(line.split()[1]) * 1024
    raise LookupError("Shmem")


@contextlib.contextmanager
def shared_memory_watched():
    """Watches the system's shared memory from a thread while the body runs a save in
    another process. Yields rise(): how far it went above where it began, in bytes."""
    start, peak, done = shared_memory(), [0], threading.Event()

    def watch():
        while not done.wait(0.001):
            peak[0] = max(peak[0], shared_memory())
    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        yield lambda: peak[0] - start
    finally:
        done.set()
        watcher.join()


STAGED_SIZE = 16 << 20


@pytest.mark.parametrize("temporary_folder", ["a 4 MiB tmpfs", "missing"])
@pytest.mark.parametrize("name", ALL)
def test_staged_on_the_files_own_file_system(tmp_path, append_only, name, temporary_folder):
    """16 MB saved into a hard-linked file, a file with a user attribute, a locked file and a
    file in an append-only folder, with $TMPDIR a 4 MiB tmpfs or missing: each saved, and
    the system's shared memory does not grow by half of it."""
    if filesystem_type(tmp_path) in ("tmpfs", "ramfs"):
        pytest.skip("the test's folder is in memory itself")
    writer = writers.WRITERS[name](STAGED_SIZE)
    folder = make_folder(tmp_path / "files")
    linked, attributed, locked = (folder / (kind + writer.suffix) for kind in ("linked", "attributed", "locked"))
    logged = append_only / ("file" + writer.suffix)
    for path in (linked, attributed, locked, logged):
        writer.make(path)
    os.link(linked, folder / "second name")
    try:
        os.setxattr(attributed, "user.origin", b"camera 2")
    except OSError as error:
        pytest.skip(f"no user attributes here: {error}")
    temporary = tmp_path / "temporary"
    quoted = shlex.quote(str(temporary))
    setup = (f"mkdir {quoted} && mount -t tmpfs -o size=4m none {quoted} && export TMPDIR={quoted}"
             if temporary_folder == "a 4 MiB tmpfs" else f"export TMPDIR={quoted}")
    paths = [linked, attributed, locked, logged]
    with like_a_write.locked_by_another_process(locked, like_a_write.LOCKS["flock, exclusive"]), \
            shared_memory_watched() as rise:
        outcomes = in_namespaces(["-m", "--propagation", "private"], writer,
                                 [("save", str(path)) for path in paths], setup, size=STAGED_SIZE)
    assert outcomes == ["saved"] * len(paths)
    assert rise() < STAGED_SIZE // 2
    assert all(writer.holds_save(read(path)) for path in paths)
    assert os.path.samefile(linked, folder / "second name")
    assert os.getxattr(attributed, "user.origin") == b"camera 2"
    assert sorted(os.listdir(folder)) == sorted(["second name"] + [path.name for path in paths[:3]])
    assert os.listdir(append_only) == [logged.name]


# ---------------------------------------------------------------------------------------
# The file is looked at again right before it is replaced.

SAVES_CHANGED = 200


class Change:
    """A change that another process makes to the file at path while a save runs, once made
    (make(token)) kept or not (kept(token)), undone for the next save (undo(token)); the
    token of the save of index `index` is token(index)."""

    def __init__(self, path):
        self.path, self.other = path, path.with_name("other name")

    def undo(self, token):
        pass

    @staticmethod
    def token(index):
        return None


class ModeChange(Change):
    def make(self, token):
        os.chmod(self.path, token)

    def kept(self, token):
        return mode_of(self.path) == token

    @staticmethod
    def token(index):
        return 0o600 if index % 2 else 0o640


class LinkChange(Change):
    def make(self, token):
        os.link(self.path, self.other)

    def kept(self, token):
        return os.path.samefile(self.path, self.other)

    def undo(self, token):
        os.unlink(self.other)


class AttributeChange(Change):
    def make(self, token):
        os.setxattr(self.path, "user.change", token.encode())

    def kept(self, token):
        with contextlib.suppress(OSError):
            return os.getxattr(self.path, "user.change") == token.encode()
        return False

    def undo(self, token):
        with contextlib.suppress(OSError):
            os.removexattr(self.path, "user.change")

    @staticmethod
    def token(index):
        return str(index)


class LockChange(Change):
    """The lock stays held by the changing process until the change is undone."""
    held = None

    def make(self, token):
        self.held = os.open(self.path, os.O_RDONLY)
        fcntl.flock(self.held, fcntl.LOCK_SH)

    def kept(self, token):
        probe = os.open(self.path, os.O_RDONLY)
        try:
            fcntl.flock(probe, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return False
        except BlockingIOError:
            return True
        finally:
            os.close(probe)

    def undo(self, token):
        if self.held is not None:
            os.close(self.held)
            self.held = None


CHANGES = {"chmod": ModeChange, "ln": LinkChange, "setfattr": AttributeChange, "flock": LockChange}


def make_changes(stop, change, orders, answers):
    """Reads orders [action, delay, token], one a line, from the pipe end orders until it
    closes; does each after delay seconds (change.make or change.undo), then writes to
    answers when it was done (time.monotonic()), or null where it found no file to change
    (a link to the file that a rename had just replaced, as for ln)."""
    with open(orders) as lines:
        for line in lines:
            action, delay, token = json.loads(line)
            time.sleep(delay)
            try:
                getattr(change, action)(token)
                done = time.monotonic()
            except FileNotFoundError:
                done = None
            os.write(answers, json.dumps(done).encode() + b"\n")


class ChangingProcess:
    """Another process that makes a Change when told (make_changes): make_after(delay,
    token) has it made after delay seconds, made_at() waits for it and returns when it was
    made (None where it was not), undo(token) undoes it."""

    def __init__(self, change):
        self.change = change

    def _order(self, action, delay, token):
        os.write(self.orders, json.dumps([action, delay, token]).encode() + b"\n")

    def make_after(self, delay, token):
        self._order("make", delay, token)

    def made_at(self):
        answer = self.answers.readline()
        assert answer, "the changing process ended"
        return json.loads(answer)

    def undo(self, token):
        self._order("undo", 0, token)
        self.made_at()

    def __enter__(self):
        orders, self.orders = os.pipe()
        answers, answers_end = os.pipe()
        self.process = forked(make_changes, self.change, orders, answers_end, parent_ends=(self.orders, answers))
        self.process.__enter__()
        os.close(orders)
        os.close(answers_end)
        self.answers = open(answers)
        return self

    def __exit__(self, *exception):
        os.close(self.orders)
        self.process.__exit__(*exception)
        self.answers.close()


@pytest.mark.parametrize("kind", CHANGES)
def test_changes_made_during_a_synced_save_are_seldom_lost(tmp_path, kind):
    """A 4 MB project saved over a file while another process changes the file at a random
    moment of each save: of 200 changes made before the save returned, at most 15 % are lost
    (those made between the last look at the file and the rename)."""
    writer = writers.WRITERS["new project"](size=4 << 20)
    path = tmp_path / ("file" + writer.suffix)
    writer.make(path)
    change = CHANGES[kind](path)
    if kind == "setfattr":
        try:
            change.make("probe")
        except OSError as error:
            pytest.skip(f"no user attributes here: {error}")
        change.undo("probe")
    durations = []
    for _ in range(5):
        start = time.monotonic()
        writer.save(path)
        durations.append(time.monotonic() - start)
    duration, randomness = statistics.median(durations), random.Random(kind)
    made_during, lost = 0, 0
    with ChangingProcess(change) as changer:
        for index in range(4 * SAVES_CHANGED):
            token = change.token(index)
            changer.make_after(randomness.uniform(0, duration), token)
            writer.save(path)
            ended = time.monotonic()
            made = changer.made_at()
            if made is not None and made < ended:
                made_during += 1
                lost += not change.kept(token)
            changer.undo(token)
            if made_during == SAVES_CHANGED:
                break
    assert made_during == SAVES_CHANGED
    assert lost <= 0.15 * made_during, f"{lost} of {made_during} changes lost"
    assert writer.holds_save(read(path))


# ---------------------------------------------------------------------------------------
# Nobody is refused a lock because a save looked for one.

SAVES_POLLED = 500


def poll_flock(stop, path):
    """Takes and lets go an exclusive flock lock on the file at path, without waiting, until
    stop(): (the attempts, those refused)."""
    attempts, refused = 0, 0
    while not stop():
        with contextlib.suppress(FileNotFoundError):
            descriptor = os.open(path, os.O_RDONLY)
            try:
                fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                refused += 1
            finally:
                os.close(descriptor)
            attempts += 1
    return attempts, refused


def test_a_save_takes_no_lock_to_look_for_one(tmp_path):
    """Another process takes and lets go a flock lock on the file, as flock -n does, again
    and again while it is saved 500 times: it is refused none, as during plain writes."""
    writer = writers.WRITERS["data set"](size=64 << 10)
    path = tmp_path / ("file" + writer.suffix)
    writer.make(path)
    with forked(poll_flock, str(path)) as polled:
        for _ in range(SAVES_POLLED):
            writer.save(path)
    attempts, refused = polled()
    assert attempts > SAVES_POLLED
    assert refused == 0
    assert writer.holds_save(read(path))


def test_locked_file_in_a_pid_namespace_is_written_in_place(tmp_path, writer):
    """In a pid namespace of its own, whose /proc/locks leaves out the locks of processes
    outside, a save still finds a flock lock held outside (it takes one to look): the holder
    keeps its lock on the file at the name, which holds the save."""
    path = tmp_path / ("file" + writer.suffix)
    writer.make(path)
    inode = os.stat(path).st_ino
    with like_a_write.locked_by_another_process(path, like_a_write.LOCKS["flock, shared"]):
        outcome = in_namespaces(["-p", "-f", "--mount-proc"], writer, [("save", str(path))])
        assert (outcome, os.stat(path).st_ino) == (["saved"], inode)
        with open(path, "rb") as probe, pytest.raises(BlockingIOError):
            fcntl.flock(probe.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
    assert writer.holds_save(read(path))
    assert os.listdir(tmp_path) == [path.name]


# ---------------------------------------------------------------------------------------
# A lease holder is waited for as by a plain open.

def hold_write_lease(stop, path, original, lets_go, ready, report):
    """Takes a write lease on the file at path and writes b"leased" to ready. Told to let go
    (SIGIO), writes to report whether the file still holds original, then lets go unless
    lets_go is false. Holds on until stop()."""
    descriptor = os.open(path, os.O_RDONLY)

    def told(*_):
        unchanged = os.pread(descriptor, len(original) + 1, 0) == original
        os.write(report, b"old contents" if unchanged else b"changed")
        if lets_go:
            fcntl.fcntl(descriptor, fcntl.F_SETLEASE, fcntl.F_UNLCK)
    signal.signal(signal.SIGIO, told)
    fcntl.fcntl(descriptor, fcntl.F_SETLEASE, fcntl.F_WRLCK)
    os.write(ready, b"leased")
    while not stop():
        time.sleep(0.01)


@contextlib.contextmanager
def write_leased(path, original, lets_go=True):
    """Another process holding a write lease on the file at path (hold_write_lease). Yields
    report(seconds): what it reported once told to let go, waited for that long (b"" before
    it came)."""
    ready, ready_end = os.pipe()
    report, report_end = os.pipe()
    try:
        with forked(hold_write_lease, str(path), original, lets_go, ready_end, report_end,
                    parent_ends=(ready, report)):
            os.close(ready_end)
            os.close(report_end)
            assert os.read(ready, 16) == b"leased"
            yield lambda seconds: os.read(report, 100) if select.select([report], [], [], seconds)[0] else b""
    finally:
        os.close(ready)
        os.close(report)


@pytest.mark.parametrize("lease_test", [like_a_write.test_lease_holder_lets_go_before_the_file_changes,
                                        like_a_write.test_ctrl_c_ends_a_wait_for_a_lease_holder],
                         ids=["the holder lets go", "Ctrl-C ends the wait"])
def test_write_lease(monkeypatch, tmp_path, writer, no_hang, lease_test):
    """The lease tests of test_save_like_a_write with a write lease, which every open that
    a save makes breaks, those that read the archive a project save replaces included."""
    monkeypatch.setattr(like_a_write, "leased_by_another_process", write_leased)
    lease_test(tmp_path, writer, no_hang)


def test_project_loaded_before_a_write_lease_waits_for_its_holder(tmp_path, no_hang):
    """A project loaded before another process took a write lease on its file, then saved
    over it: the archive is read once the holder, told while the file held the old
    contents, lets go; a holder that never lets go is left at Ctrl-C."""
    writer = writers.WRITERS["project over its source"]()
    path = tmp_path / ("file" + writer.suffix)
    writer.make(path)
    project = ProjectFile(str(path))
    project.set_deformed_images(writer.images)
    with write_leased(path, writer.original, lets_go=False) as report:
        looks_since_told = 0

        def waits(child):
            """Asleep until the lease is broken (where wchan is hidden: ten looks after the holder was told)."""
            nonlocal looks_since_told
            looks_since_told += bool(looks_since_told or report(0))
            return "break_lease" in like_a_write.waiting_in(child) or looks_since_told > 10
        outcome, seconds = like_a_write.interrupt_when(project.save_project, waits)
    assert (outcome, seconds < 5, read(path)) == ("KeyboardInterrupt", True, writer.original)
    with write_leased(path, writer.original) as report:
        project.save_project()
        assert report(5) == b"old contents"
    assert writer.holds_save(read(path))
    assert os.listdir(tmp_path) == [path.name]


# ---------------------------------------------------------------------------------------
# Set-ID bits in a user namespace.

@pytest.mark.parametrize("mode", [0o4755, 0o6755, 0o2745, 0o6745], ids=oct)
def test_set_id_bits_in_a_user_namespace(tmp_path, writer, mode):
    """Under unshare -U -r, where the saver holds CAP_FSETID in its own user namespace only:
    the set-ID bits that a plain write of a twin keeps (set-user-ID never)."""
    path = make_file(writer, tmp_path / ("file" + writer.suffix), mode=mode)
    twin = make_file(writer, tmp_path / "twin", mode=mode)
    results = in_namespaces(["-U", "-r"], writer, [("save", str(path)), ("plain", str(twin)), ("mode", str(path)),
                                                   ("mode", str(twin))])
    assert results[:2] == ["saved", "saved"]
    assert results[2] == results[3] == oct(mode & ~0o4000 & (~0o2000 if mode & 0o010 else ~0))
    assert writer.holds_save(read(path))
    assert sorted(os.listdir(tmp_path)) == sorted([path.name, "twin"])
