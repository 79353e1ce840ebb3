"""save and load: file handling, the atomic replacement of an existing file,
permissions, links and special files, and the exact error texts."""

import os
import pathlib
import shutil
import stat
import subprocess
import sys
import textwrap

import pytest

from orlo_kiv import KivIndex

import kiv_format as fmt


def small_index(chunks=3, d=4):
    index = KivIndex.cosine(d)
    for i in range(chunks):
        index.add([float(i + j) for j in range(d)])
    return index


def os_error_text(call, *args):
    with pytest.raises(OSError) as caught:
        call(*args)
    error = caught.value
    assert type(error) is OSError and error.errno is None and error.args == (str(error),)
    return str(error)


def entries(directory):
    return sorted(os.listdir(directory))


def run_python(code, unprivileged=False, limit_file_size=None):
    """Runs `code` in a new interpreter, optionally subject to file permissions
    (as root: without the capabilities that override them) or to a file-size limit."""
    command = [sys.executable, "-c", textwrap.dedent(code)]
    if unprivileged and os.geteuid() == 0:
        if shutil.which("setpriv") is None:
            pytest.skip("needs setpriv to drop root's file capabilities")
        command = [
            "setpriv",
            "--bounding-set",
            "-dac_override,-dac_read_search,-fowner",
            "--",
            *command,
        ]

    def limit():
        import resource

        resource.setrlimit(resource.RLIMIT_FSIZE, (limit_file_size, limit_file_size))

    result = subprocess.run(
        command,
        capture_output=True,
        text=True,
        timeout=60,
        preexec_fn=limit if limit_file_size is not None else None,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


# --- Round trips and replacement -------------------------------------------------------


def test_save_and_load_round_trip(tmp_path):
    index = small_index()
    index.new_document()
    path = tmp_path / "memory.kiv"
    assert index.save(str(path)) is None
    assert path.read_bytes() == index.to_bytes()
    loaded = KivIndex.load(str(path))
    assert fmt.same_content(loaded.to_bytes(), index.to_bytes())
    assert repr(loaded) == repr(index)


def test_save_replaces_the_whole_content_and_leaves_no_temporary_file(tmp_path):
    path = tmp_path / "memory.kiv"
    path.write_bytes(b"x" * 100_000)
    index = small_index()
    index.save(str(path))
    assert path.stat().st_size == len(index.to_bytes())
    assert path.read_bytes() == index.to_bytes()
    assert entries(tmp_path) == ["memory.kiv"]


def test_relative_paths_are_relative_to_the_working_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    small_index().save("relative.kiv")
    assert len(KivIndex.load("relative.kiv")) == 3
    assert entries(tmp_path) == ["relative.kiv"]


@pytest.mark.parametrize("limit", [0, 4096, 20_000])
def test_failed_write_keeps_the_old_file_and_removes_the_temporary(tmp_path, limit):
    path = tmp_path / "memory.kiv"
    small_index(chunks=1).save(str(path))
    old = path.read_bytes()
    output = run_python(
        f"""
        from orlo_kiv import KivIndex
        index = KivIndex.cosine(64)
        for i in range(60):
            index.add([float(i)] * 64)
        assert len(index.to_bytes()) > {limit}
        for target in [{str(path)!r}, {str(tmp_path / "new.kiv")!r}]:
            try:
                index.save(target)
            except OSError as error:
                print(error)
    """,
        limit_file_size=limit,
    )
    assert output.splitlines() == ["IO error: File too large (os error 27)"] * 2
    assert path.read_bytes() == old
    assert entries(tmp_path) == ["memory.kiv"]


# --- Error texts -------------------------------------------------------------------


def test_missing_directory_and_missing_file(tmp_path):
    missing = "IO error: No such file or directory (os error 2)"
    assert os_error_text(small_index().save, str(tmp_path / "no" / "such.kiv")) == missing
    assert os_error_text(KivIndex.load, str(tmp_path / "such.kiv")) == missing
    assert os_error_text(small_index().save, "") == missing
    assert os_error_text(KivIndex.load, "") == missing
    assert entries(tmp_path) == []


def test_directories_are_neither_read_nor_replaced(tmp_path):
    (tmp_path / "dir").mkdir()
    assert os_error_text(KivIndex.load, str(tmp_path)) == "IO error: Is a directory (os error 21)"
    assert (
        os_error_text(small_index().save, str(tmp_path / "dir"))
        == "IO error: Is a directory (os error 21)"
    )
    assert (
        os_error_text(small_index().save, str(tmp_path / "dir") + "/")
        == "IO error: Is a directory (os error 21)"
    )
    assert entries(tmp_path) == ["dir"] and entries(tmp_path / "dir") == []


@pytest.mark.parametrize(
    "content, message",
    [
        (b"", "IO error: failed to fill whole buffer"),
        (b"abcd", "Invalid KIV file magic bytes"),
        (b"KIV\0\x05\0\0\0", "Unsupported KIV version: 5"),
        (
            fmt.encode(1, [], count=1)[:36] + bytes(16) + b"\x09",
            "Data corruption: Invalid level: 9",
        ),
    ],
)
def test_load_reports_the_decoding_error(tmp_path, content, message):
    path = tmp_path / "bad.kiv"
    path.write_bytes(content)
    assert os_error_text(KivIndex.load, str(path)) == message


def test_nul_in_path_fails_before_anything_is_opened(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    message = "IO error: file name contained an unexpected NUL byte"
    assert os_error_text(small_index().save, "a\x00b") == message
    assert os_error_text(KivIndex.load, "a\x00b") == message
    assert entries(tmp_path) == []


def test_path_argument_must_be_a_str(tmp_path):
    for call in (small_index().save, KivIndex.load):
        with pytest.raises(TypeError) as caught:
            call(pathlib.Path(tmp_path / "x"))
        assert (
            str(caught.value)
            == "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"
        )
        with pytest.raises(UnicodeEncodeError):
            call(str(tmp_path / "bad\udc80"))
    assert entries(tmp_path) == []


def test_oversized_index_is_refused_before_the_file_is_touched(tmp_path):
    path = tmp_path / "memory.kiv"
    path.write_bytes(b"old")
    assert os_error_text(KivIndex.cosine(2**32).save, str(path)).startswith(
        "IO error: dimensionality"
    )
    assert path.read_bytes() == b"old"


# --- Permissions ---------------------------------------------------------------------


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002, 0o000])
def test_new_file_gets_0666_reduced_by_the_umask(tmp_path, umask):
    old = os.umask(umask)
    try:
        small_index().save(str(tmp_path / "new.kiv"))
    finally:
        os.umask(old)
    assert stat.S_IMODE((tmp_path / "new.kiv").stat().st_mode) == 0o666 & ~umask


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o644, 0o664, 0o755, 0o2750])
def test_replaced_file_keeps_its_mode(tmp_path, mode):
    path = tmp_path / "memory.kiv"
    path.write_bytes(b"old")
    path.chmod(mode)
    index = small_index()
    old = os.umask(0o077)
    try:
        index.save(str(path))
    finally:
        os.umask(old)
    assert stat.S_IMODE(path.stat().st_mode) == mode
    assert path.read_bytes() == index.to_bytes()


@pytest.mark.skipif(os.geteuid() != 0, reason="only a privileged process may give files away")
def test_replaced_file_keeps_its_owner_and_group(tmp_path):
    path = tmp_path / "memory.kiv"
    path.write_bytes(b"old")
    os.chown(path, 65534, 65534)
    path.chmod(0o640)
    small_index().save(str(path))
    status = path.stat()
    assert (status.st_uid, status.st_gid, stat.S_IMODE(status.st_mode)) == (65534, 65534, 0o640)


def shared_directory(tmp_path):
    """A directory that a process without root's file capabilities may enter."""
    directory = tmp_path / "shared"
    directory.mkdir()
    for part in [tmp_path, *tmp_path.parents]:
        if part == pathlib.Path("/"):
            break
        part.chmod(part.stat().st_mode | 0o111)
    directory.chmod(0o777)
    return directory


def test_file_the_process_may_not_write_is_refused_and_kept(tmp_path):
    directory = shared_directory(tmp_path)
    path = directory / "memory.kiv"
    path.write_bytes(b"old")
    path.chmod(0o444)
    output = run_python(
        f"""
        from orlo_kiv import KivIndex
        index = KivIndex.cosine(2)
        index.add([1.0, 2.0])
        try:
            index.save({str(path)!r})
        except OSError as error:
            print(error)
    """,
        unprivileged=True,
    )
    assert output == "IO error: Permission denied (os error 13)"
    assert path.read_bytes() == b"old"
    assert entries(directory) == ["memory.kiv"]


def test_writable_file_in_a_read_only_directory_is_still_saved(tmp_path):
    directory = shared_directory(tmp_path)
    path = directory / "memory.kiv"
    path.write_bytes(b"old" * 1000)
    path.chmod(0o666)
    directory.chmod(0o555)
    try:
        output = run_python(
            f"""
            from orlo_kiv import KivIndex
            index = KivIndex.cosine(2)
            index.add([1.0, 2.0])
            index.save({str(path)!r})
            print(len(index.to_bytes()))
        """,
            unprivileged=True,
        )
    finally:
        directory.chmod(0o777)
    assert path.stat().st_size == int(output) == 333
    assert len(KivIndex.load(str(path))) == 1
    assert entries(directory) == ["memory.kiv"]


def test_bind_mounted_file_is_written_in_place(tmp_path):
    """A file mounted over another cannot be renamed over; it is overwritten instead."""
    source, mounted = tmp_path / "source.kiv", tmp_path / "mounted.kiv"
    source.write_bytes(b"old")
    mounted.write_bytes(b"")
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True)
    if shutil.which("unshare") is None or probe.returncode != 0:
        pytest.skip("needs a private mount namespace")
    code = f"""
from orlo_kiv import KivIndex
index = KivIndex.cosine(2)
index.add([1.0, 2.0])
index.save({str(mounted)!r})
print(index.to_bytes().hex())
"""
    result = subprocess.run(
        [
            "unshare",
            "-m",
            "sh",
            "-c",
            'mount --bind "$0" "$1" && exec "$2" -c "$3"',
            str(source),
            str(mounted),
            sys.executable,
            code,
        ],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert source.read_bytes() == bytes.fromhex(result.stdout.strip())
    assert entries(tmp_path) == ["mounted.kiv", "source.kiv"]


@pytest.mark.parametrize("room", ["file-size limit", "full file system"])
def test_in_place_save_that_runs_out_of_room_keeps_the_old_file(tmp_path, room):
    """An immutable directory forces the in-place write; it fails before
    changing a byte, and a later save (shorter than the old file) still works."""
    if shutil.which("unshare") is None or subprocess.run(["unshare", "-m", "true"]).returncode:
        pytest.skip("needs a private mount namespace")
    mount = tmp_path / "mnt"
    mount.mkdir()
    code = f"""
import os, resource, subprocess
from orlo_kiv import KivIndex

mount, full = {str(mount)!r}, {room == "full file system"}
if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", mount]).returncode:
    raise SystemExit("unsupported: no tmpfs")
directory = os.path.join(mount, "d")
os.mkdir(directory)
path = os.path.join(directory, "memory.kiv")
old = bytes(range(256)) * 80
with open(path, "wb") as f:
    f.write(old)
filler = os.open(os.path.join(mount, "filler"), os.O_WRONLY | os.O_CREAT)
if full:
    try:
        while True:
            os.write(filler, bytes(4096))
    except OSError:
        pass
else:
    resource.setrlimit(resource.RLIMIT_FSIZE, (25_000, 25_000))
if subprocess.run(["chattr", "+i", directory]).returncode:
    raise SystemExit("unsupported: no immutable directories")

index = KivIndex.cosine(64)
for i in range(60):
    index.add([float(i + j) for j in range(64)])
assert len(index.to_bytes()) > len(old)
try:
    index.save(path)
except OSError as error:
    print(error)
print(open(path, "rb").read() == old, os.listdir(directory))

os.ftruncate(filler, 0)
small = KivIndex.cosine(2)
small.add([1.0, 2.0])
small.save(path)
print(open(path, "rb").read() == small.to_bytes(), len(KivIndex.load(path)))
subprocess.run(["chattr", "-i", directory], check=True)
"""
    result = subprocess.run(
        ["unshare", "-m", sys.executable, "-c", code], capture_output=True, text=True, timeout=60
    )
    if "unsupported: " in result.stderr:
        pytest.skip(result.stderr.strip().splitlines()[-1])
    assert result.returncode == 0, result.stderr
    error = (
        "IO error: No space left on device (os error 28)"
        if room == "full file system"
        else "IO error: File too large (os error 27)"
    )
    assert result.stdout.splitlines() == [error, "True ['memory.kiv']", "True 1"]


# --- Links and special files --------------------------------------------------------------


def test_symbolic_link_is_followed_and_kept(tmp_path):
    (tmp_path / "data").mkdir()
    real = tmp_path / "data" / "real.kiv"
    real.write_bytes(b"old")
    real.chmod(0o600)
    link = tmp_path / "link.kiv"
    link.symlink_to("data/real.kiv")
    index = small_index()
    index.save(str(link))
    assert link.is_symlink() and os.readlink(link) == "data/real.kiv"
    assert real.read_bytes() == index.to_bytes()
    assert stat.S_IMODE(real.stat().st_mode) == 0o600
    assert entries(tmp_path) == ["data", "link.kiv"] and entries(tmp_path / "data") == ["real.kiv"]
    assert len(KivIndex.load(str(link))) == 3


def test_chain_of_links_ending_nowhere_creates_the_final_target(tmp_path):
    (tmp_path / "sub").mkdir()
    (tmp_path / "first").symlink_to("sub/second")
    (tmp_path / "sub" / "second").symlink_to(str(tmp_path / "sub" / "final.kiv"))
    small_index().save(str(tmp_path / "first"))
    assert (tmp_path / "sub" / "second").is_symlink()
    assert len(KivIndex.load(str(tmp_path / "sub" / "final.kiv"))) == 3


def test_link_loop_is_reported(tmp_path):
    (tmp_path / "a").symlink_to("b")
    (tmp_path / "b").symlink_to("a")
    message = "IO error: Too many levels of symbolic links (os error 40)"
    assert os_error_text(small_index().save, str(tmp_path / "a")) == message
    assert os_error_text(KivIndex.load, str(tmp_path / "a")) == message


def test_other_hard_links_keep_the_old_content(tmp_path):
    path = tmp_path / "memory.kiv"
    path.write_bytes(b"old")
    os.link(path, tmp_path / "other.kiv")
    index = small_index()
    index.save(str(path))
    assert (tmp_path / "other.kiv").read_bytes() == b"old"
    assert path.read_bytes() == index.to_bytes()


def test_fifo_is_written_into_directly(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    # The reader is another process: save holds the interpreter lock while it
    # waits for the pipe to open.
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
    index = small_index()
    index.save(str(fifo))
    received, _ = reader.communicate(timeout=30)
    assert received == index.to_bytes()
    assert stat.S_ISFIFO(fifo.lstat().st_mode) and entries(tmp_path) == ["pipe"]


def test_load_reads_a_stream_of_unknown_size(tmp_path):
    index = small_index(chunks=300, d=16)
    source = tmp_path / "source.kiv"
    index.save(str(source))
    assert source.stat().st_size > 50_000
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    writer = subprocess.Popen(["sh", "-c", 'cat "$0" > "$1"', str(source), str(fifo)])
    loaded = KivIndex.load(str(fifo))
    assert writer.wait(timeout=30) == 0
    assert fmt.same_content(loaded.to_bytes(), index.to_bytes())


def test_character_device_is_written_into_directly():
    small_index().save("/dev/null")
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


# --- Interruption and endless input -------------------------------------------------------

BLOCKED_CALLS = {
    # The call waits in open() for the FIFO's other end.
    "load, no writer": ("", "KivIndex.load(fifo)"),
    "save, no reader": ("", "index.save(fifo)"),
    # Both ends are open but the data never comes, or is never read.
    "load, silent writer": ("other_end = os.open(fifo, os.O_RDWR)", "KivIndex.load(fifo)"),
    "save, idle reader": ("other_end = os.open(fifo, os.O_RDWR)", "index.save(fifo)"),
}


@pytest.mark.parametrize("case", BLOCKED_CALLS)
def test_ctrl_c_ends_a_call_blocked_on_a_fifo(tmp_path, case):
    setup, call = BLOCKED_CALLS[case]
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    # A real SIGINT, sent by another process while the call waits (a thread of
    # this interpreter could not run: the call keeps the interpreter lock).
    # The child takes Ctrl-C as an interactive interpreter does even when its
    # parent ignores SIGINT (as a shell's background jobs do), which it would
    # inherit.
    code = f"""
        import os, signal, stat, subprocess
        from orlo_kiv import KivIndex
        signal.signal(signal.SIGINT, signal.default_int_handler)

        fifo = {str(fifo)!r}
        index = KivIndex.cosine(64)
        for i in range(300):
            index.add([float(i + j) for j in range(64)])
        assert len(index.to_bytes()) > 1 << 17  # more than a pipe holds
        {setup}

        timer = subprocess.Popen(["sh", "-c", "sleep 0.5; kill -INT " + str(os.getpid())])
        try:
            {call}
        except KeyboardInterrupt:
            print("KeyboardInterrupt")
        timer.wait()
        print(stat.S_ISFIFO(os.lstat(fifo).st_mode), len(index), len(index.near([1.0] * 64, 3)))
    """
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=30
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["KeyboardInterrupt", "True 300 3"]
    assert entries(tmp_path) == ["pipe"]


def test_load_stops_reading_at_a_wrong_magic_or_version(tmp_path):
    # Streams that never end: the first bytes decide, and nothing more is read.
    for name in ("magic", "version"):
        os.mkfifo(tmp_path / name)
    output = run_python(f"""
        import os
        from orlo_kiv import KivIndex

        writers = [os.open({str(tmp_path / "magic")!r}, os.O_RDWR),
                   os.open({str(tmp_path / "version")!r}, os.O_RDWR)]
        os.write(writers[0], b"abcd")
        os.write(writers[1], b"KIV\\0\\x07\\0\\0\\0")
        for path in ({str(tmp_path / "magic")!r}, {str(tmp_path / "version")!r}, "/dev/zero"):
            try:
                KivIndex.load(path)
            except OSError as error:
                print(error)
    """)
    assert output.splitlines() == [
        "Invalid KIV file magic bytes",
        "Unsupported KIV version: 7",
        "Invalid KIV file magic bytes",
    ]
