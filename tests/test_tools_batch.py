"""simpleImage_tools: process/convert over many files, the simpleimage-convert command, Dask."""
import http.server
import logging
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest
from PIL import Image

import Vorlanx.simpleImage_ext as ext
from Vorlanx.simpleImage_tools import process, to_array
from Vorlanx.simpleImage_tools import _cli
from Vorlanx.simpleImage_tools._cli import main

S = ext.SimpleImage
PHOTO = os.path.join(os.path.dirname(__file__), "data", "png", "kodim23.png")


# Root reads anything; the command runs without the capabilities that allow it, so that a
# folder or file without permissions is unreadable to it as to anyone else.
AS_ANYONE = ["setpriv", "--inh-caps=-all", "--bounding-set=-all", "--"] if os.geteuid() == 0 else []


def command(*args, timeout=120, run=subprocess.run):
    return run([*AS_ANYONE, sys.executable, "-m", "Vorlanx.simpleImage_tools", *args], stdout=subprocess.PIPE,
               stderr=subprocess.PIPE, text=True, **({"timeout": timeout} if run is subprocess.run else {}))


def files_under(folder):
    return sorted(os.path.relpath(os.path.join(root, name), folder)
                  for root, _, names in os.walk(folder) for name in names)


def small(width):
    return S(width, 2, bytes((width * 7 + i) % 256 for i in range(width * 6)))


# ---- the command ---------------------------------------------------------------------------

def test_command_end_to_end(tmp_path):
    src = tmp_path / "in"
    (src / "sub").mkdir(parents=True)
    shutil.copy(PHOTO, src / "sub" / "photo.png")
    S.open(PHOTO).saveBmp(str(src / "sub" / "photo.bmp"))      # the same output name as photo.png
    (src / "corrupt.png").write_bytes(b"\x89PNG\r\n\x1a\n" + b"\0" * 40)
    palette = Image.new("P", (4, 4))
    palette.putpalette(bytes(range(256)) * 3)               # 256 entries: an 8-bit palette PNG
    palette.save(src / "palette.png")
    small(3).save(str(src / "blocked.png"))
    (src / "notes.txt").write_text("not an image")
    (src / "locked").mkdir()
    small(2).save(str(src / "locked" / "hidden.png"))
    small(2).save(str(src / "sub" / "locked.png"))
    for locked in (src / "locked", src / "sub" / "locked.png"):   # neither listable nor readable
        locked.chmod(0)
    out = src / "converted"                                    # inside a source folder
    (out / "blocked.bmp").mkdir(parents=True)                  # a destination that cannot be written

    first = command(str(src), "-o", str(out), "--to", "bmp", "--jobs", "2")
    assert first.returncode == 1, first.stderr
    failures = first.stderr.splitlines()                       # in the order of the sources, every time
    expected = [
        f"{src / 'blocked.png'}: IsADirectoryError: [Errno 21] Is a directory: '{out / '.blocked.bmp.tmp-'}",
        f"{src / 'corrupt.png'}: ValueError: Corrupted PNG chunk detected",
        f"{src / 'palette.png'}: ValueError: Only RGB/RGBA PNG images are supported",
        f"{src / 'locked'}: PermissionError: [Errno 13] Permission denied: '{src / 'locked'}'",
        f"{src / 'sub' / 'locked.png'}: PermissionError: [Errno 13] Permission denied",
        f"{src / 'sub' / 'photo.png'}: ValueError: same output as {src / 'sub' / 'photo.bmp'}",
    ]
    assert len(failures) == len(expected), failures
    assert all(line.startswith("simpleimage-convert: " + start) for line, start in zip(failures, expected)), failures
    assert first.stdout.startswith("converted 1, skipped 0, failed 6 in ")
    # Nothing left under a temporary name, and the one output is the photograph.
    assert files_under(out) == [os.path.join("sub", "photo.bmp")]
    assert S.open(str(out / "sub" / "photo.bmp"))._pixels == S.open(PHOTO)._pixels

    again = command(str(src), str(src / "sub" / "photo.png"), "-o", str(out), "--to", "bmp", "--quiet")
    assert again.returncode == 1 and again.stdout == "" and len(again.stderr.splitlines()) == 6
    assert files_under(out) == sorted([os.path.join("sub", "photo.bmp"), "photo.bmp"])


@pytest.mark.parametrize("args, status, stdout, stderr", [
    (["--version"], 0, "simpleimage-convert ", ""),
    (["--help"], 0, "usage: simpleimage-convert", ""),
    ([], 2, "", "the following arguments are required: SOURCE, -o/--out"),
    (["a.png"], 2, "", "the following arguments are required: -o/--out"),
    (["a.png", "-o", "out", "--to", "gif"], 2, "", "argument --to: invalid choice: 'gif'"),
    (["a.png", "-o", "out", "--jobs", "0"], 2, "", "argument --jobs: expected a positive integer, got '0'"),
    (["a.png", "-o", "out", "--jobs", "2", "--scheduler", "tcp://x:1"], 2, "", "not allowed with argument --jobs"),
    (["missing.png", "-o", "out"], 1, "converted 0, skipped 0, failed 1", "missing.png: FileNotFoundError"),
    (["a.png", "-o", "file/out"], 1, "", "simpleimage-convert: NotADirectoryError: [Errno 20] Not a directory"),
    (["a.png", "-o", "file"], 2, "", "argument -o/--out: 'file' is a file, not a folder"),
])
def test_command_statuses(tmp_path, monkeypatch, capsys, args, status, stdout, stderr):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "file").write_text("")
    try:
        code = main(args)
    except SystemExit as e:
        code = e.code
    out, err = capsys.readouterr()
    assert code == status
    assert stdout in out and stderr in err


# In place, and into a folder where an output is a source under another name. UPPER.png is
# refused beside UPPER.PNG: on a case-insensitive disk it is the same file.
@pytest.mark.parametrize("out, refused", [
    (".", ["UPPER.PNG", "alpha.png", "converted/alpha.png"]),
    ("converted", ["alpha.png"]),
])
def test_sources_are_never_replaced(tmp_path, capsys, out, refused):
    photos = tmp_path / "photos"
    (photos / "converted").mkdir(parents=True)
    Image.new("RGBA", (3, 2), (9, 8, 7, 100)).save(photos / "alpha.png")
    small(4).save(str(photos / "UPPER.PNG"))
    small(5).saveBmp(str(photos / "plain.bmp"))
    os.link(photos / "alpha.png", photos / "converted" / "alpha.png")     # one file, two names
    before = {path: path.read_bytes() for path in photos.rglob("*.*")}

    code = main([str(photos), "-o", str(photos / out), "--to", "png", "--overwrite", "--jobs", "1", "--quiet"])
    assert code == 1 and capsys.readouterr().err.splitlines() == [
        f"simpleimage-convert: {photos / name}: ValueError: output would replace its source" for name in refused]
    assert {path: path.read_bytes() for path in before} == before
    assert S.open(str(photos / out / "plain.png"))._pixels == small(5)._pixels


@pytest.mark.parametrize("listener", ["an HTTP server", "a silent socket", "nothing"])
def test_a_wrong_scheduler_address_fails_in_bounded_time(tmp_path, monkeypatch, capsys, listener):
    pytest.importorskip("distributed")
    monkeypatch.setattr(_cli, "CONNECT_SECONDS", 2.0)     # 30 s outside the tests
    if listener == "an HTTP server":
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), http.server.SimpleHTTPRequestHandler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        port = server.server_port

        def close():
            server.shutdown()
            server.server_close()
    else:
        sock = socket.create_server(("127.0.0.1", 0))
        port = sock.getsockname()[1]
        if listener == "nothing":
            sock.close()
        close = sock.close
    started = time.monotonic()
    try:
        code = main([PHOTO, "-o", str(tmp_path), "--scheduler", f"tcp://127.0.0.1:{port}"])
    finally:
        close()
    assert code == 1 and time.monotonic() - started < 10
    assert capsys.readouterr().err.startswith(f"simpleimage-convert: cannot reach the scheduler at tcp://127.0.0.1:{port}: ")


@pytest.mark.parametrize("signum, status", [(signal.SIGTERM, 128 + signal.SIGTERM), (signal.SIGKILL, -signal.SIGKILL)])
def test_a_stopped_command_leaves_no_worker_and_no_partial_file(tmp_path, signum, status):
    psutil = pytest.importorskip("psutil")
    src, out = tmp_path / "in", tmp_path / "out"
    src.mkdir()
    for i in range(40):
        shutil.copy(PHOTO, src / f"p{i:02d}.png")
    run = command(str(src), "-o", str(out), "--jobs", "2", run=subprocess.Popen)
    deadline = time.monotonic() + 60
    while not (out.is_dir() and any(not name.startswith(".") for name in os.listdir(out))):
        assert run.poll() is None and time.monotonic() < deadline
        time.sleep(0.01)
    workers = psutil.Process(run.pid).children(recursive=True)
    assert len(workers) == 2
    run.send_signal(signum)
    stdout, stderr = run.communicate(timeout=60)
    assert run.returncode == status, stderr
    if signum == signal.SIGTERM:
        assert stderr.splitlines()[-1] == "simpleimage-convert: terminated"
    gone, alive = psutil.wait_procs(workers, timeout=10)
    assert alive == []
    names = os.listdir(out)
    assert 0 < len(names) < 40 and not [name for name in names if name.startswith(".")]
    assert all(S.open(str(out / name))._pixels == S.open(PHOTO)._pixels for name in names)


# ---- the general form, interrupted -----------------------------------------------------------

def half_a_file_then_die(path, width, height, pixels):
    with open(path, "wb") as f:
        f.write(b"\x89PNG half")
        f.flush()
        os._exit(3)


def invert(img):
    view = to_array(img)
    view[...] = 255 - view
    return img


def edit(img):
    """Inverts the image, refuses width 2, kills its worker in the middle of writing width 4."""
    if img.width == 2:
        raise ValueError("no thanks")
    if img.width == 4:
        ext._writePng = half_a_file_then_die       # only in the worker that is about to die
    return invert(img)


@pytest.fixture(scope="module")
def cluster():
    """Two single-threaded worker processes that Dask gives up on at the first death of a task,
    and one task each at a time: only the task running on a dying worker fails with it."""
    distributed = pytest.importorskip("distributed")
    import dask

    with dask.config.set({"distributed.scheduler.allowed-failures": 0, "distributed.scheduler.worker-saturation": 1.0}):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                      silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as client:
            yield client


@pytest.mark.parametrize("where, death", [("pool", "BrokenProcessPool"), ("cluster", "KilledWorker")])
def test_interrupted_run_leaves_no_partial_output_and_a_rerun_completes(request, tmp_path, where, death):
    src, out = tmp_path / "in", tmp_path / "out"
    src.mkdir()
    for width in range(1, 25):                   # several small files to each trip to a worker
        small(width).save(str(src / f"w{width:02d}.png"))
    inverted = {f"w{width:02d}.png": bytes(255 - b for b in small(width)._pixels) for width in range(1, 25)}
    if where == "pool":
        first = process([src], out, edit, to="png", jobs=2, progress=False)
    else:
        cloudpickle = pytest.importorskip("cloudpickle")
        cloudpickle.register_pickle_by_value(sys.modules[__name__])     # the workers cannot import tests
        try:
            first = process([src], out, edit, to="png", progress=False, client=request.getfixturevalue("cluster"))
        finally:
            cloudpickle.unregister_pickle_by_value(sys.modules[__name__])
    # The files in flight when the worker died are tried again one by one: only the file that
    # kills its worker fails.
    failed = {os.path.basename(r.source): r.message.partition(":")[0] for r in first.results if r.status == "failed"}
    assert failed == {"w02.png": "ValueError", "w04.png": death}
    # No partial file under a final name: the dead writer's file is only under its temporary name.
    finals = sorted(name for name in os.listdir(out) if not name.startswith("."))
    assert finals == sorted(set(inverted) - {"w02.png", "w04.png"})
    assert all(S.open(str(out / name))._pixels == inverted[name] for name in finals)
    assert [name for name in os.listdir(out) if name.startswith(".w04.png.tmp-")]

    # The rerun removes what the dead writer left, and converts what is missing.
    rerun = process(str(src), out, invert, jobs=2, progress=False)      # one path, as a plain string
    assert (rerun.converted, rerun.skipped, rerun.failed) == (24 - len(finals), len(finals), 0)
    assert sorted(os.listdir(out)) == sorted(inverted)
    assert all(S.open(str(out / name))._pixels == pixels for name, pixels in inverted.items())


@pytest.mark.parametrize("kwargs, kind, message", [
    ({"to": "gif"}, ValueError, "to must be 'png' or 'bmp', not 'gif'"),
    ({"jobs": 0}, ValueError, "jobs must be at least 1, not 0"),
    ({"fn": lambda img: img, "jobs": 2}, TypeError, "fn must be a module-level function"),
])
def test_process_refusals(tmp_path, kwargs, kind, message):
    kwargs.setdefault("fn", None)
    with pytest.raises(kind, match=message):
        process([PHOTO], tmp_path, **kwargs)


# ---- on a cluster --------------------------------------------------------------------------

def test_command_on_a_local_cluster(cluster, tmp_path, monkeypatch):
    src, out = tmp_path / "in", tmp_path / "out"
    (src / "deep").mkdir(parents=True)
    for width in (1, 5):
        small(width).saveBmp(str(src / "deep" / f"w{width}.bmp"))
    (src / "corrupt.bmp").write_bytes(b"BM" + b"\0" * 10)
    run = command(str(src), "-o", str(out), "--scheduler", cluster.scheduler.address, timeout=240)
    assert run.returncode == 1, run.stderr
    assert f"{src / 'corrupt.bmp'}: " in run.stderr
    assert run.stdout.startswith("converted 2, skipped 0, failed 1 in ")
    assert files_under(out) == [os.path.join("deep", "w1.png"), os.path.join("deep", "w5.png")]
    assert S.open(str(out / "deep" / "w5.png"))._pixels == small(5)._pixels

    # A function whose module only this process can import: the report says how to send it.
    (tmp_path / "only_here.py").write_text("def same(img):\n    return img\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    import only_here

    with pytest.raises(ImportError, match=r"^the cluster cannot load fn \(ModuleNotFoundError: No module named "
                       r"'only_here'\): does every worker have only_here, its module\? "
                       rf"client.upload_file\('{tmp_path / 'only_here.py'}'\) sends it$"):
        process([src / "deep"], out, only_here.same, progress=False, client=cluster)
