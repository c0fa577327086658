"""lumerix-batch: the lumerix tool's pipeline over many files, on a Dask cluster.

    lumerix-batch 'scans/*.tif' --out results/ -- gauss 2 threshold 100 label

Every input file is run through the ``lumerix`` tool itself (one process per file, on the
workers), so the results are the tool's to the bit and the pipeline takes the tool's syntax:
steps and options (``--normalise``, ``--colour``, ``--depth``...) after ``--``.  Outputs go to
OUT under the input's name (``--ext`` changes the extension, and with it the format), written
under a temporary name and renamed, so an output is never half-written: a file whose worker
dies mid-run is redone elsewhere or reported lost.  A file that fails is reported with its
one-line error while the others go on; the summary follows, and the exit status is 2 when any
file failed or was lost, 0 otherwise.

The tool is found through ``$LUMERIX_TOOL``, then beside the package (an installed prefix's
``bin/`` or a build folder's ``tools/``), then on ``PATH``.
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import time
import uuid

__all__ = ["main", "find_tool", "run_file", "run_batch"]

_HERE = os.path.dirname(os.path.abspath(__file__))


def find_tool():
    """The path of the ``lumerix`` tool executable, or None."""
    named = os.environ.get("LUMERIX_TOOL")
    if named:
        return named
    candidates = [
        # Installed: <prefix>/lib/pythonX.Y/{dist,site}-packages/lumerix -> <prefix>/bin.
        os.path.join(_HERE, os.pardir, os.pardir, os.pardir, os.pardir, "bin", "lumerix"),
        # A build folder: <build>/python/lumerix -> <build>/tools.
        os.path.join(_HERE, os.pardir, os.pardir, "tools", "lumerix"),
    ]
    for path in candidates:
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return os.path.normpath(path)
    return shutil.which("lumerix")


def _one_line(text, status):
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    # The tool's own errors are one line starting "lumerix:"; a fatal device report is
    # several, the last of which names the failure.
    for line in lines:
        if line.startswith("lumerix:"):
            return line
    if lines:
        return lines[-1]
    return "lumerix exited with status %d" % status


def run_file(tool, source, target, pipeline, timeout=None):
    """Runs the tool on one file (on a worker).  Returns None when ``target`` was written, or
    the failure as one line.  The tool writes a temporary name beside the target, which is
    renamed only after the tool succeeded."""
    folder, name = os.path.split(target)
    stem, ext = os.path.splitext(name)
    temporary = os.path.join(folder, ".%s.partial-%s%s" % (stem, uuid.uuid4().hex[:12], ext))
    try:
        done = subprocess.run([tool, source] + list(pipeline) + ["-o", temporary],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                              errors="replace", timeout=timeout)
        if done.returncode != 0:
            return _one_line(done.stderr, done.returncode)
        if not os.path.isfile(temporary):
            return "lumerix wrote no output"
        os.replace(temporary, target)
        return None
    except subprocess.TimeoutExpired:
        return "lumerix: timed out after %g s" % timeout
    except OSError as e:
        return "lumerix-batch: %s" % e
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)


def _targets(sources, out, ext):
    targets = []
    for source in sources:
        stem, own = os.path.splitext(os.path.basename(source))
        targets.append(os.path.join(out, stem + (ext if ext else own)))
    return targets


class _Progress:
    """One line on a terminal, redrawn in place; a line per tenth elsewhere."""

    def __init__(self, total, stream):
        self.total, self.stream, self.done, self.failed = total, stream, 0, 0
        self.tty = stream.isatty()
        self.start = time.monotonic()
        self.shown = -1

    def step(self, failed):
        self.done += 1
        self.failed += failed
        tenth = self.done * 10 // max(self.total, 1)
        if self.tty or tenth != self.shown or self.done == self.total:
            self.shown = tenth
            width = 30
            filled = width * self.done // max(self.total, 1)
            text = "[%s%s] %d/%d files, %d failed, %.1f s" % (
                "#" * filled, "." * (width - filled), self.done, self.total, self.failed,
                time.monotonic() - self.start)
            self.stream.write(("\r" + text) if self.tty else text + "\n")
            if self.tty and self.done == self.total:
                self.stream.write("\n")
            self.stream.flush()




def run_batch(client, tool, sources, targets, pipeline, progress=None, errors=None,
              timeout=None):
    """Runs every file on the client's cluster.  Returns {source: None or one-line error};
    ``errors`` (a stream) receives each failure as it comes."""
    from distributed import as_completed

    futures = {}
    for source, target in zip(sources, targets):
        future = client.submit(run_file, tool, source, target, list(pipeline), timeout,
                               key="lumerix-batch-" + uuid.uuid4().hex, pure=False)
        futures[future] = source
    results = {}
    for future in as_completed(futures):
        source = futures[future]
        try:
            failure = future.result()
        except Exception as e:  # the worker died more often than the scheduler allows
            failure = "lost: %s: %s" % (type(e).__name__, str(e).splitlines()[0] if str(e)
                                        else "no detail")
        results[source] = failure
        if failure and errors is not None:
            errors.write("%s: %s\n" % (source, failure))
            errors.flush()
        if progress is not None:
            progress.step(failure is not None)
    return results


def _parser():
    p = argparse.ArgumentParser(
        prog="lumerix-batch",
        usage="lumerix-batch PATTERN [PATTERN ...] --out FOLDER [options] -- STEP ...",
        description="Runs the lumerix tool's pipeline (the words after --, as the tool takes "
                    "them) over every file the patterns match, on a Dask cluster.")
    p.add_argument("patterns", nargs="+", metavar="PATTERN",
                   help="input files or glob patterns (quote them)")
    p.add_argument("--out", required=True, help="the folder for the results (made if missing)")
    p.add_argument("--ext", help="the outputs' extension, which chooses their format "
                                 "(e.g. .png); default: the input's")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, metavar="N",
                       help="start a local cluster of N workers (default: one per core, "
                            "or one per GPU on the cuda backend)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="use the Dask scheduler at ADDRESS instead")
    p.add_argument("--skip-existing", action="store_true",
                   help="leave out the files whose output already exists")
    p.add_argument("--timeout", type=float, help="seconds one file may take")
    p.add_argument("--tool", help="the lumerix executable (default: found as the module says)")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    return p


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    if "--" in argv:
        cut = argv.index("--")
        argv, pipeline = argv[:cut], argv[cut + 1:]
    else:
        pipeline = []
    args = _parser().parse_args(argv)
    err = sys.stderr
    if not pipeline:
        err.write("lumerix-batch: no steps: give the pipeline after --\n")
        return 2
    tool = args.tool or find_tool()
    if not tool or not os.path.isfile(tool):
        err.write("lumerix-batch: the lumerix tool is not found (set LUMERIX_TOOL)\n")
        return 2
    tool = os.path.abspath(tool)
    ext = args.ext if not args.ext or args.ext.startswith(".") else "." + args.ext

    sources = []
    for pattern in args.patterns:
        matched = sorted(glob.glob(pattern)) if glob.has_magic(pattern) else [pattern]
        if not matched:
            err.write("lumerix-batch: %s: no file matches\n" % pattern)
        sources.extend(os.path.abspath(m) for m in matched)
    sources = list(dict.fromkeys(sources))
    os.makedirs(args.out, exist_ok=True)
    targets = _targets(sources, os.path.abspath(args.out), ext)
    clash = len(set(targets)) != len(targets)
    if clash:
        err.write("lumerix-batch: two inputs have the same name; their outputs would collide\n")
        return 2
    skipped = 0
    if args.skip_existing:
        keep = [i for i, t in enumerate(targets) if not os.path.exists(t)]
        skipped = len(sources) - len(keep)
        sources, targets = [sources[i] for i in keep], [targets[i] for i in keep]

    results = {}
    if sources:
        from distributed import Client

        if args.scheduler:
            client = Client(args.scheduler)
            cluster = None
        else:
            from lumerix.dask import cluster as local_cluster
            cluster = local_cluster(args.workers, silence_logs=40)
            client = Client(cluster)
        try:
            progress = None if args.quiet else _Progress(len(sources), err)
            results = run_batch(client, tool, sources, targets, pipeline, progress, err,
                                args.timeout)
        finally:
            client.close()
            if cluster is not None:
                cluster.close()
    failed = sorted(s for s, f in results.items() if f)
    err.write("lumerix-batch: %d written, %d failed, %d skipped (existing)\n"
              % (len(results) - len(failed), len(failed), skipped))
    return 2 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
