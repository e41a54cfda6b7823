"""kestrune against LightGBM and XGBoost on five generated data sets.

    .venv/bin/python bench/run_bench.py [--quick] [--sets higgs,regression,wide,ranking,categorical] [--threads N]
                                        [--output results.md]

Installs LightGBM and XGBoost from PyPI when they are missing, generates the data sets from a
fixed seed, runs the C++ histogram benchmark, then trains and predicts each data set with each
library in a subprocess of its own (so that peak memory is that library's alone) and prints one
table per data set with our ratio to each peer. `--quick` shrinks every data set tenfold. On a set
with categorical columns, kestrune also trains once with those columns' level ids as plain numbers.
The `_kestrune` module must be importable (scripts/bench.sh builds and installs it first, into the
checkout's virtual environment: run this file with .venv/bin/python).
"""

import argparse
import datetime
import importlib
import json
import os
import platform
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))

import datasets  # noqa: E402
import libraries  # noqa: E402
import metrics  # noqa: E402

PEER_PACKAGES = {"lightgbm": ["lightgbm"], "xgboost": ["xgboost-cpu", "xgboost"]}


# --- set-up -------------------------------------------------------------------------------------

def ensure_peers(names):
    for module in names:
        if module not in PEER_PACKAGES:
            continue
        try:
            importlib.import_module(module)
            continue
        except ImportError:
            pass
        for package in PEER_PACKAGES[module]:
            print(f"installing {package} from PyPI", flush=True)
            done = subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                                   package]).returncode == 0
            if done:
                break
        importlib.invalidate_caches()
        importlib.import_module(module)


def library_version(name):
    if name in ("kestrune", "kestrune-ids"):
        import _kestrune
        return _kestrune.native_runtime_info().version
    return importlib.import_module(name).__version__


def machine_lines(threads):
    cpu = platform.processor() or "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2 ** 30
    return [
        f"date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC",
        f"machine: {cpu}, {os.cpu_count()} logical CPUs, {memory:.1f} GiB, {platform.system()} {platform.release()}",
        f"threads: {threads} for every library; Python {platform.python_version()}, numpy {np.__version__}",
    ]


# --- histogram micro-benchmark ------------------------------------------------------------------

def histogram_benchmark(build_dir, rows, threads):
    """Builds the C++ histogram benchmark when needed and returns its report."""
    binary = build_dir / "bench" / "kestrune_histogram_bench"
    if not binary.exists():
        # cmake and ninja installed with this interpreter (in a virtual environment, beside it)
        # come before any others on PATH, so that a run by the environment's interpreter alone
        # builds with the environment's tools.
        path = os.pathsep.join([str(Path(sys.executable).parent), os.environ.get("PATH", os.defpath)])
        tools = dict(os.environ, PATH=path)
        generator = ["-G", "Ninja"] if shutil.which("ninja", path=path) else []
        subprocess.run(["cmake", "-S", str(REPO), "-B", str(build_dir), *generator, "-DCMAKE_BUILD_TYPE=Release",
                        "-DKESTRUNE_BUILD_BENCH=ON"], check=True, stdout=subprocess.DEVNULL, env=tools)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "kestrune_histogram_bench",
                        "-j", str(os.cpu_count())], check=True, stdout=subprocess.DEVNULL, env=tools)
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    done = subprocess.run([str(binary), str(rows)], env=env, capture_output=True, text=True, check=True)
    return done.stdout.rstrip()


# --- one library on one data set, in its own process -------------------------------------------

def save_dataset(ds, directory):
    directory.mkdir(parents=True, exist_ok=True)
    for part in ("train", "test"):
        split = getattr(ds, part)
        np.save(directory / f"{part}_x.npy", split.x)
        np.save(directory / f"{part}_y.npy", split.y)
        if split.group is not None:
            np.save(directory / f"{part}_group.npy", split.group)
    shape = dict(name=ds.name, task=ds.task, rounds=ds.rounds, growth=ds.growth, max_leaves=ds.max_leaves,
                 max_depth=ds.max_depth, categorical=ds.categorical)
    (directory / "shape.json").write_text(json.dumps(shape))


def load_dataset(directory):
    shape = json.loads((directory / "shape.json").read_text())

    def split(part):
        group = directory / f"{part}_group.npy"
        return datasets.Split(np.load(directory / f"{part}_x.npy"), np.load(directory / f"{part}_y.npy"),
                              np.load(group) if group.exists() else None)

    return datasets.DataSet(train=split("train"), test=split("test"), **shape)


def machine_busy_seconds():
    """CPU-seconds that every process of the machine has spent busy so far (/proc/stat)."""
    try:
        fields = Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]
    except OSError:
        return None
    ticks = [int(v) for v in fields]
    idle = ticks[3] + (ticks[4] if len(ticks) > 4 else 0)
    return (sum(ticks[:8]) - idle) / os.sysconf("SC_CLK_TCK")


def max_rss_mib():
    """Peak resident memory of this process so far, in MiB. On Linux ru_maxrss also carries the
    peak of the parent at the fork that started this process, so the process's own high-water
    mark (VmHWM) is read instead where it exists."""
    try:
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0  # kilobytes on Linux


def child_main(library, directory, threads, seed, binning):
    ds = load_dataset(Path(directory))
    if library.startswith("kestrune"):
        import _kestrune  # noqa: F401  (the pool starts with the module)
    else:
        importlib.import_module(library)
    base_mib = max_rss_mib()
    runner = libraries.RUNNERS[library]
    extra = dict(binning=binning) if library.startswith("kestrune") else {}
    out = runner(ds, threads, seed, **extra)
    peak_mib = max_rss_mib()
    scores = out.pop("scores")
    out["quality"] = metrics.quality(ds.task, scores, ds.test)
    usage = resource.getrusage(resource.RUSAGE_SELF)
    out.update(peak_mib=peak_mib, over_data_mib=peak_mib - base_mib, test_rows=len(ds.test.y),
               cpu_seconds=usage.ru_utime + usage.ru_stime)
    print("RESULT " + json.dumps(out), flush=True)


def run_child(library, directory, threads, seed, binning, timeout):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OMP_NUM_THREADS=str(threads))
    command = [sys.executable, str(Path(__file__).resolve()), "--child", library, str(directory),
               "--threads", str(threads), "--seed", str(seed), "--binning", binning]
    busy_before, start = machine_busy_seconds(), time.perf_counter()
    try:
        done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return dict(error=f"timed out after {timeout} s")
    busy_after, wall = machine_busy_seconds(), time.perf_counter() - start
    for line in done.stdout.splitlines():
        if line.startswith("RESULT "):
            result = json.loads(line[len("RESULT "):])
            if busy_before is not None and busy_after is not None:
                # Other processes' CPU time while this library ran, as a share of the machine:
                # when it is large, the timings of this row are not to be trusted.
                foreign = max(busy_after - busy_before - result["cpu_seconds"], 0.0)
                result["foreign_share"] = foreign / (wall * (os.cpu_count() or 1))
            return result
    tail = (done.stderr or done.stdout).strip().splitlines()[-3:]
    return dict(error=f"exit {done.returncode}: " + " | ".join(tail))


# --- tables -------------------------------------------------------------------------------------

def _rate(value):
    return f"{value / 1e6:.2f} M" if value >= 1e6 else f"{value / 1e3:.0f} k"


def describe(ds):
    tr, te = ds.train, ds.test
    shape = f"leaf-wise, {ds.max_leaves} leaves" if ds.growth == "leaf" else f"level-wise, depth {ds.max_depth}"
    rows = f"{tr.x.shape[0]:,} x {tr.x.shape[1]} train, {te.x.shape[0]:,} test rows"
    if tr.group is not None:
        rows += f", {len(np.unique(tr.group)):,} + {len(np.unique(te.group)):,} queries"
    for j in ds.categorical:
        rows += f", column {j} categorical ({len(np.unique(tr.x[:, j]))} levels)"
    return f"{ds.name}: {ds.task}, {rows}, {ds.rounds} rounds, {shape}"


def table(ds_title, results):
    ok = {lib: r for lib, r in results.items() if "error" not in r}
    metric_names = list(next(iter(ok.values()))["quality"]) if ok else []
    head = ["library", "rounds", "train s", "s/round", "train CPU s", "predict rows/s", "peak MiB", "MiB over data",
            *metric_names]
    lines = [f"### {ds_title}", "", "| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for lib, r in results.items():
        if "error" in r:
            lines.append(f"| {lib} | failed: {r['error']} |")
            continue
        rate = r["test_rows"] / r["predict_seconds"]
        cells = [lib, str(r["rounds_completed"]), f"{r['train_seconds']:.2f}",
                 f"{r['train_seconds'] / max(r['rounds_completed'], 1):.3f}", f"{r['train_cpu_seconds']:.1f}",
                 _rate(rate), f"{r['peak_mib']:.0f}",
                 f"{r['over_data_mib']:.0f}"]
        cells += [f"{r['quality'][m][0]:.5f}" for m in metric_names]
        lines.append("| " + " | ".join(cells) + " |")
    ours = ok.get("kestrune")
    verdicts = []
    for peer in ("lightgbm", "xgboost", "kestrune-ids"):
        if not ours or peer not in ok:
            continue
        p = ok[peer]
        train_ratio = ours["train_seconds"] / p["train_seconds"]
        predict_ratio = p["predict_seconds"] / ours["predict_seconds"]
        per_round = (ours["train_seconds"] / max(ours["rounds_completed"], 1)) / (
            p["train_seconds"] / max(p["rounds_completed"], 1))
        cpu_ratio = ours["train_cpu_seconds"] / max(p["train_cpu_seconds"], 1e-9)
        cells = [f"kestrune / {peer}", "", f"{train_ratio:.2f}x", f"{per_round:.2f}x", f"{cpu_ratio:.2f}x",
                 f"{predict_ratio:.2f}x",
                 f"{ours['peak_mib'] / p['peak_mib']:.2f}x",
                 f"{ours['over_data_mib'] / max(p['over_data_mib'], 1.0):.2f}x"]
        cells += [f"{ours['quality'][m][0] / p['quality'][m][0]:.4f}x" for m in metric_names]
        lines.append("| " + " | ".join(cells) + " |")
        if peer == "lightgbm":
            better = all((ours["quality"][m][0] >= p["quality"][m][0]) == ours["quality"][m][1]
                         or ours["quality"][m][0] == p["quality"][m][0] for m in metric_names)
            # Time per round: a fit that stops early is not faster for it.
            verdicts = [f"training {'within' if per_round <= 1.0 else 'over'} LightGBM's time per round",
                        f"prediction {'at least' if predict_ratio >= 2.0 else 'under'} twice LightGBM's throughput",
                        f"test quality {'equal or better' if better else 'worse'}"]
    if verdicts and "kestrune-ids" in ok:
        # The categorical set asks for LightGBM's quality within 1% and a clear gain over splitting
        # on the level ids as numbers.
        p, ids = ok["lightgbm"], ok["kestrune-ids"]
        close = all(abs(ours["quality"][m][0] / p["quality"][m][0] - 1.0) <= 0.01
                    or (ours["quality"][m][0] >= p["quality"][m][0]) == ours["quality"][m][1] for m in metric_names)
        gain = all((ours["quality"][m][0] > ids["quality"][m][0]) == ours["quality"][m][1] for m in metric_names)
        verdicts += [f"test quality {'within' if close else 'not within'} 1% of LightGBM's",
                     f"{'better' if gain else 'not better'} than kestrune on the level ids as numbers"]
    lines.append("")
    lines.append("Ratios: training time, time per round and training CPU time (all threads) ours/peer (below 1 is "
                 "faster), prediction throughput ours/peer (above 1 is faster), memory ours/peer, quality ours/peer.")
    if verdicts:
        lines.append("Against LightGBM: " + "; ".join(verdicts) + ".")
    busy = {lib: r["foreign_share"] for lib, r in ok.items() if r.get("foreign_share", 0.0) >= 0.05}
    if busy:
        lines.append("Machine not quiet: other processes used " + ", ".join(
            f"{share:.0%} of the CPUs during the {lib} run" for lib, share in busy.items()) + ".")
    for lib, r in ok.items():
        for note in r.get("notes", []):
            lines.append(f"Note ({lib}): {note}.")
        if lib == "kestrune":
            lines.append(f"kestrune: {r['native_train_seconds']:.2f} s inside the native trainer, "
                         f"{r['rounds_completed']} rounds ({r['stop_reason']}), "
                         f"artifact {r['artifact_bytes'] / 2 ** 20:.1f} MiB.")

    return "\n".join(lines)


# --- driver -------------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="shrink every data set tenfold")
    parser.add_argument("--sets", default=",".join(datasets.NAMES), help="comma-separated data sets")
    parser.add_argument("--libraries", default=",".join(libraries.LIBRARIES))
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--binning", default="linear", choices=["linear", "quantile"],
                        help="kestrune's continuous binning strategy")
    parser.add_argument("--timeout", type=float, default=3600.0, help="seconds allowed to one library on one set")
    parser.add_argument("--build-dir", type=Path, default=REPO / "build" / "bench",
                        help="where the C++ histogram benchmark is built")
    parser.add_argument("--no-histogram", action="store_true", help="skip the C++ histogram benchmark")
    parser.add_argument("--output", type=Path, help="also write the report (markdown) here")
    parser.add_argument("--child", nargs=2, metavar=("LIBRARY", "DIR"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child:
        child_main(args.child[0], args.child[1], args.threads, args.seed, args.binning)
        return

    sets = [s for s in args.sets.split(",") if s]
    libs = [lib for lib in args.libraries.split(",") if lib]
    for name in sets:
        if name not in datasets.NAMES:
            parser.error(f"unknown data set {name!r}; choose from {', '.join(datasets.NAMES)}")
    for lib in libs:
        if lib not in libraries.RUNNERS:
            parser.error(f"unknown library {lib!r}; choose from {', '.join(libraries.LIBRARIES)}")
    ensure_peers(libs)
    try:
        import _kestrune  # noqa: F401
    except ImportError:
        sys.exit("_kestrune is not importable: run scripts/bench.sh, or install the package first (pip install .)")

    report = []

    def emit(text=""):
        print(text, flush=True)
        report.append(text)

    started = time.perf_counter()
    scale = 0.1 if args.quick else 1.0
    emit(f"# kestrune benchmark{' (--quick: data sets shrunk tenfold)' if args.quick else ''}")
    emit()
    for line in machine_lines(args.threads):
        emit(f"- {line}")
    commit = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"], capture_output=True,
                            text=True).stdout.strip() or "unknown"
    emit("- libraries: " + ", ".join(f"{lib} {library_version(lib)}" for lib in libs if lib != "kestrune-ids") + f" (commit {commit})")
    emit(f"- kestrune binning: {args.binning}, 255 bins; learning rate {libraries.LEARNING_RATE}, "
         f"L2 {libraries.LAMBDA_L2}, min leaf rows {libraries.MIN_DATA_IN_LEAF}, "
         f"min leaf hessian {libraries.MIN_CHILD_HESSIAN}, no sampling")
    emit()

    if not args.no_histogram:
        rows = 100_000 if args.quick else 1_000_000
        emit("### C++ histogram kernel (bench/histogram_bench.cpp)")
        emit()
        emit("```")
        try:
            emit(histogram_benchmark(args.build_dir, rows, args.threads))
        except (OSError, subprocess.CalledProcessError) as error:
            emit(f"failed: {error}")
        emit("```")
        emit()

    with tempfile.TemporaryDirectory(prefix="kestrune-bench-") as tmp:
        for name in sets:
            ds = datasets.make(name, scale)
            title = describe(ds)
            directory = Path(tmp) / name
            save_dataset(ds, directory)
            ds_categorical = bool(ds.categorical)
            del ds
            results = {}
            for lib in libs:
                if lib in libraries.CATEGORICAL_ONLY and not ds_categorical:
                    continue
                print(f"... {name}: {lib}", flush=True)
                results[lib] = run_child(lib, directory, args.threads, args.seed, args.binning, args.timeout)
            emit(table(title, results))
            emit()
            shutil.rmtree(directory)
    emit(f"Total benchmark time: {time.perf_counter() - started:.0f} s.")
    if args.output:
        args.output.write_text("\n".join(report) + "\n")


if __name__ == "__main__":
    main()
