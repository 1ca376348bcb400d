"""simpleImage_tools: process/convert over many files, the simpleimage-convert command, Dask."""
import logging
import os
import shutil
import subprocess
import sys

import pytest
from PIL import Image

import Vorlanx.simpleImage_ext as ext
from Vorlanx.simpleImage_tools import process, to_array
from Vorlanx.simpleImage_tools._cli import main

S = ext.SimpleImage
PHOTO = os.path.join(os.path.dirname(__file__), "data", "png", "kodim23.png")


def command(*args, timeout=120):
    return subprocess.run([sys.executable, "-m", "Vorlanx.simpleImage_tools", *args], capture_output=True,
                          text=True, timeout=timeout)


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
    out = src / "converted"                                    # inside a source folder
    (out / "blocked.bmp").mkdir(parents=True)                  # a destination that cannot be written

    first = command(str(src), "-o", str(out), "--to", "bmp", "--jobs", "2")
    assert first.returncode == 1, first.stderr
    failures = sorted(first.stderr.splitlines())
    expected = sorted([
        f"{src / 'blocked.png'}: IsADirectoryError: [Errno 21] Is a directory: '{out / '.blocked.bmp.tmp-'}",
        f"{src / 'corrupt.png'}: ValueError: Corrupted PNG chunk detected",
        f"{src / 'palette.png'}: ValueError: Only RGB/RGBA PNG images are supported",
        f"{src / 'sub' / 'photo.png'}: same output as {src / 'sub' / 'photo.bmp'}",
    ])
    assert len(failures) == len(expected)
    assert all(line.startswith("simpleimage-convert: " + start) for line, start in zip(failures, expected)), failures
    assert first.stdout.startswith("converted 1, skipped 0, failed 4 in ")
    # Nothing left under a temporary name, and the one output is the photograph.
    assert files_under(out) == [os.path.join("sub", "photo.bmp")]
    assert S.open(str(out / "sub" / "photo.bmp"))._pixels == S.open(PHOTO)._pixels

    again = command(str(src), str(src / "sub" / "photo.png"), "-o", str(out), "--to", "bmp", "--quiet")
    assert again.returncode == 1 and again.stdout == "" and len(again.stderr.splitlines()) == 4
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
    (["a.png", "-o", "file/out"], 1, "", "simpleimage-convert: [Errno 20] Not a directory"),
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


def test_interrupted_run_leaves_no_partial_output_and_a_rerun_completes(tmp_path):
    src, out = tmp_path / "in", tmp_path / "out"
    src.mkdir()
    for width in range(1, 25):                   # several small files to each trip to a worker
        small(width).save(str(src / f"w{width:02d}.png"))
    inverted = {f"w{width:02d}.png": bytes(255 - b for b in small(width)._pixels) for width in range(1, 25)}

    first = process([src], out, edit, to="png", jobs=2, progress=False)
    # The files in flight when the worker died are tried again one by one: only the file that
    # kills its worker fails with the pool.
    failed = {os.path.basename(r.source): r.message.partition(":")[0] for r in first.results if r.status == "failed"}
    assert failed == {"w02.png": "ValueError", "w04.png": "BrokenProcessPool"}
    # No partial file under a final name: the dead writer's file is only under its temporary name.
    finals = sorted(name for name in os.listdir(out) if not name.startswith("."))
    assert finals == sorted(set(inverted) - {"w02.png", "w04.png"})
    assert all(S.open(str(out / name))._pixels == inverted[name] for name in finals)
    assert [name for name in os.listdir(out) if name.startswith(".w04.png.tmp-")]

    rerun = process(str(src), out, invert, jobs=2, progress=False)      # one path, as a plain string
    assert (rerun.converted, rerun.skipped, rerun.failed) == (24 - len(finals), len(finals), 0)
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

def test_command_on_a_local_cluster(tmp_path):
    distributed = pytest.importorskip("distributed")
    src, out = tmp_path / "in", tmp_path / "out"
    (src / "deep").mkdir(parents=True)
    for width in (1, 5):
        small(width).saveBmp(str(src / "deep" / f"w{width}.bmp"))
    (src / "corrupt.bmp").write_bytes(b"BM" + b"\0" * 10)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                  silence_logs=logging.ERROR) as cluster:
        run = command(str(src), "-o", str(out), "--scheduler", cluster.scheduler_address, timeout=240)
    assert run.returncode == 1, run.stderr
    assert f"{src / 'corrupt.bmp'}: " in run.stderr
    assert run.stdout.startswith("converted 2, skipped 0, failed 1 in ")
    assert files_under(out) == [os.path.join("deep", "w1.png"), os.path.join("deep", "w5.png")]
    assert S.open(str(out / "deep" / "w5.png"))._pixels == small(5)._pixels
