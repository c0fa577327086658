# The example scripts and the README's first Python snippet run as written.
import glob
import os
import re
import subprocess
import sys

import pytest

SOURCE = os.environ.get("LUMERIX_SOURCE_DIR",
                        os.path.join(os.path.dirname(__file__), os.pardir, os.pardir))
EXAMPLES = sorted(glob.glob(os.path.join(SOURCE, "examples", "python", "*.py")))


def run(args):
    done = subprocess.run([sys.executable] + args, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_there_is_an_example_per_theme():
    names = {os.path.basename(p) for p in EXAMPLES}
    assert {"numpy_round_trip.py", "filter_pipeline.py", "fft.py", "labelling.py"} <= names


@pytest.mark.parametrize("script", EXAMPLES, ids=os.path.basename)
def test_example_runs(script):
    assert run([script]).strip()


def test_the_readme_python_snippet_runs():
    readme = open(os.path.join(SOURCE, "README.md")).read()
    section = readme[readme.index("## Python"):]
    snippet = re.search(r"<<'EOF'\n(.*?)\nEOF\n", section, re.S).group(1)
    assert run(["-c", snippet]).strip()
