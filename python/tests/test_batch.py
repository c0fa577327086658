# lumerix-batch over a folder: the tool's own bytes, failures reported one per line, reruns,
# and a worker killed mid-batch.
import glob
import os
import re
import signal
import subprocess
import sys

import numpy as np
import pytest

from dask_cluster import LIMIT_S, client  # noqa: F401
from lumerix import batch

TOOL = os.environ.get("LUMERIX_TOOL") or batch.find_tool()
pytestmark = pytest.mark.skipif(not TOOL, reason="the lumerix tool was not built")
PIPELINE = ["gauss", "1", "threshold", "100", "label"]


def write_pgm(path, pixels):
    with open(path, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (pixels.shape[1], pixels.shape[0]))
        f.write(pixels.astype(np.uint8).tobytes())


def make_inputs(folder, n):
    os.makedirs(folder)
    rng = np.random.default_rng(11)
    for i in range(n):
        write_pgm(os.path.join(folder, "scan%02d.pgm" % i), rng.integers(0, 256, (40 + i, 52)))


def tool_output(source, folder, ext=".png"):
    target = os.path.join(folder, os.path.splitext(os.path.basename(source))[0] + ext)
    subprocess.run([TOOL, source] + PIPELINE + ["-o", target], check=True, timeout=LIMIT_S)
    return open(target, "rb").read()


def run_batch_command(*args):
    command = os.environ.get("LUMERIX_BATCH")
    command = [command] if command else [sys.executable, "-m", "lumerix.batch"]
    return subprocess.run(command + list(args), capture_output=True, text=True,
                          timeout=LIMIT_S, env=dict(os.environ, LUMERIX_TOOL=TOOL))


def test_a_batch_writes_the_tools_bytes_and_reports_the_corrupt_file(tmp_path):
    make_inputs(tmp_path / "in", 5)
    (tmp_path / "in" / "broken.pgm").write_bytes(b"P5\n40 40\n255\n" + b"\x01" * 99)
    out = tmp_path / "out"
    done = run_batch_command(str(tmp_path / "in" / "*.pgm"), "--out", str(out), "--ext", "png",
                             "--workers", "2", "--", *PIPELINE)
    assert done.returncode == 2, done.stderr
    failures = [line for line in done.stderr.splitlines() if "broken.pgm: lumerix:" in line]
    assert len(failures) == 1
    assert "5 written, 1 failed, 0 skipped" in done.stderr
    expected = tmp_path / "expected"
    expected.mkdir()
    for source in sorted(glob.glob(str(tmp_path / "in" / "scan*.pgm"))):
        name = os.path.basename(source)[:-4] + ".png"
        assert (out / name).read_bytes() == tool_output(source, str(expected)), name
    assert sorted(os.listdir(out)) == sorted(os.listdir(expected))  # nothing half-written

    # A rerun does only what is missing: the removed output and the file that failed.
    os.remove(out / "scan03.png")
    before = {p: os.stat(out / p).st_mtime_ns for p in os.listdir(out)}
    again = run_batch_command(str(tmp_path / "in" / "*.pgm"), "--out", str(out), "--ext", "png",
                              "--skip-existing", "--workers", "1", "--quiet", "--", *PIPELINE)
    assert again.returncode == 2 and "1 written, 1 failed, 4 skipped" in again.stderr
    assert {p: os.stat(out / p).st_mtime_ns for p in before} == before
    assert (out / "scan03.png").read_bytes() == (expected / "scan03.png").read_bytes()


@pytest.mark.parametrize("args, message", [
    (["x.pgm", "--out", "o"], "no steps"),
    (["x.pgm", "--out", "o", "--tool", "/nonexistent/lumerix", "--", "abs"], "not found"),
])
def test_a_batch_that_cannot_start_says_why(tmp_path, args, message):
    done = subprocess.run([sys.executable, "-m", "lumerix.batch"] + args, cwd=tmp_path,
                          capture_output=True, text=True, timeout=LIMIT_S)
    assert done.returncode == 2 and message in done.stderr


def test_a_worker_killed_mid_batch_leaves_no_half_written_output(client, tmp_path):
    make_inputs(tmp_path / "in", 8)
    slow = tmp_path / "slow-lumerix"
    slow.write_text("#!/bin/sh\nsleep 0.7\nexec '%s' \"$@\"\n" % TOOL)
    slow.chmod(0o755)
    sources = sorted(glob.glob(str(tmp_path / "in" / "*.pgm")))
    out = tmp_path / "out"
    out.mkdir()
    targets = [str(out / (os.path.basename(s)[:-4] + ".png")) for s in sources]

    class KillOnFirst:
        killed = False

        def step(self, failed):
            busy = [w for w, keys in client.processing().items() if keys]
            if not KillOnFirst.killed and busy:  # a worker with a file in hand
                KillOnFirst.killed = True
                (pid,) = client.run(os.getpid, workers=busy[:1]).values()
                os.kill(pid, signal.SIGKILL)

    results = batch.run_batch(client, str(slow), sources, targets, PIPELINE, KillOnFirst())
    assert KillOnFirst.killed
    assert set(results) == set(sources)
    expected = tmp_path / "expected"
    expected.mkdir()
    for source, target in zip(sources, targets):
        if results[source] is None:
            assert open(target, "rb").read() == tool_output(source, str(expected))
        else:  # reported lost: then it has no output at all
            assert results[source].startswith("lost:") and not os.path.exists(target)
    assert all(name.endswith(".png") and not name.startswith(".") or ".partial-" in name
               for name in os.listdir(out))


def readme_section():
    source = os.environ.get("LUMERIX_SOURCE_DIR",
                            os.path.join(os.path.dirname(__file__), os.pardir, os.pardir))
    readme = open(os.path.join(source, "README.md")).read()
    return readme[readme.index("## Dask"):readme.index("## The lumerix tool")]


def test_the_readme_large_image_example_runs(tmp_path):
    snippet = re.search(r"<<'EOF'\n(.*?)\nEOF\n", readme_section(), re.S).group(1)
    (tmp_path / "large_image.py").write_text(snippet)
    done = subprocess.run([sys.executable, "large_image.py"], cwd=tmp_path, capture_output=True,
                          text=True, timeout=LIMIT_S)
    assert done.returncode == 0, done.stderr
    count, mean = done.stdout.split()
    assert float(count) >= 1 and 120 < float(mean) < 135


@pytest.mark.skipif("LUMERIX_BATCH" not in os.environ, reason="run from the build's CTest")
def test_the_readme_batch_example_runs(tmp_path):
    block = re.findall(r"```sh\n(.*?)```", readme_section(), re.S)[1]
    commands = [line for line in block.splitlines() if not line.startswith("export ")]
    folders = [os.path.dirname(TOOL), os.path.dirname(os.environ["LUMERIX_BATCH"])]
    env = dict(os.environ, PATH=os.pathsep.join(folders + [os.environ["PATH"]]))
    for command in commands:
        done = subprocess.run(["bash", "-c", command], cwd=tmp_path, env=env,
                              capture_output=True, text=True, timeout=LIMIT_S)
        assert done.returncode == 0, (command, done.stderr)
    pictures = sorted(p for p in os.listdir(tmp_path / "scans") if p.endswith(".png"))
    assert pictures and sorted(os.listdir(tmp_path / "results")) == pictures
    assert "0 written, 0 failed, %d skipped" % len(pictures) in done.stderr
