"""corvane's benchmark suite: one command, one Markdown report.

    python3 benchmarks/run.py --quick                                # a few minutes
    python3 benchmarks/run.py --full --write docs/benchmarks.md      # everything
    python3 benchmarks/run.py --quick --baseline 92f3013             # against an older commit
    python3 benchmarks/run.py --full --baseline 92f3013 --write docs/benchmarks.md

Builds the extension module and the native benchmarks from this
working tree (Release, into build/bench), then measures:

- every solve configuration with pyperf (benchmarks/solve_once.py): fresh
  worker processes, once with RAYON_NUM_THREADS=1 and once with
  RAYON_NUM_THREADS=2; seconds per solve (the median of pyperf's values),
  the workers' peak RSS and the speed-up of two threads over one;
- nanoseconds per construction step of the production construction (and,
  for the measured tree, of the straightforward rescan), with
  construction_bench on tasks of the same sizes (the Python API does not
  expose step counts);
- microseconds per batch handed to the worker pool and back, with
  benchmarks/handover_bench.cpp: one worker, two, and one pinned with its
  caller to a single CPU. A revision whose source has no handover_bench
  gets the working tree's file, built against its own library.

--baseline REV also builds the committed revision REV from its own source
(git archive into build/bench-src-COMMIT) and measures both on the same
ladder, their runs interleaved, and reports both numbers and the ratio
baseline / candidate for every row. --installed measures the corvane that
`import corvane` finds instead of building one; --rev REV builds a committed
revision instead of the working tree. The pyperf results are kept in
build/bench-results/ for `python3 -m pyperf compare_to`, `stats` or `hist`.
Nothing here runs in CI: the full suite takes half an hour or more on two
cores, longer when other processes keep it waiting.

The jobs live in modules of their own beside this command line: revisions.py
builds the revisions, measuring.py holds the ladder and measures, pyperf_io.py
speaks to pyperf, report.py renders the report.
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from measuring import (  # noqa: E402
    QuietWaiter,
    machine,
    measure_ceiling,
    handover_plan,
    measure_constructions,
    measure_handovers,
    measure_solves,
    plan,
)
from pyperf_io import save_pyperf  # noqa: E402
from report import Measurements, mode_name, raw_json, report  # noqa: E402
from revisions import ROOT, build, log  # noqa: E402


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--quick", action="store_true",
                      help="sizes up to 100x100 and the 1000x1000 ant colony per iteration, few repetitions (default)")
    mode.add_argument("--full", action="store_true", help="every size up to 1000x1000 and kmax=100000")
    parser.add_argument("--baseline", metavar="REV",
                        help="also build this committed revision from its own source and compare it with the "
                             "measured tree, the runs interleaved (e.g. 92f3013)")
    parser.add_argument("--sizes", type=lambda text: {int(v) for v in text.split(",")}, metavar="N,N,...",
                        help="measure only the rows of these sizes of the mode's ladder (e.g. 100,1000)")
    parser.add_argument("--write", type=Path, help="write the Markdown report to this file (e.g. docs/benchmarks.md)")
    parser.add_argument("--json", type=Path, help="also write the raw measurements as JSON")
    parser.add_argument("--installed", action="store_true",
                        help="measure the installed corvane instead of building the module")
    parser.add_argument("--rev", help="build this committed revision instead of the working tree")
    parser.add_argument("--results", type=Path, default=ROOT / "build" / "bench-results",
                        help="where to keep pyperf's results, one file per revision and thread setting "
                             "(default: build/bench-results)")
    parser.add_argument("--quiet-wait", type=float, metavar="SECONDS",
                        help="before each measurement wait up to this long for other processes to leave the "
                             "cores idle, 40 minutes at most over the run (default: 300 in full mode, 0 in "
                             "quick mode)")
    parser.add_argument("--retries", type=int, metavar="N",
                        help="measure a solve again, up to N times, when other processes disturbed it "
                             "(default: 2 in full mode, 0 in quick mode)")
    return parser.parse_args(argv)


def main() -> int:
    args = parse_args()
    started = dt.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
    start = time.perf_counter()
    load_before = os.getloadavg()
    builds = [build("candidate", args.installed, args.rev)]
    if args.baseline:
        builds.append(build("baseline", False, args.baseline))
    solve_configs, construction_configs = plan(args.full)
    if args.sizes:
        solve_configs = [c for c in solve_configs if c.size in args.sizes]
        construction_configs = [c for c in construction_configs if c.size in args.sizes]
        if not solve_configs:
            raise SystemExit(f"no row of the {mode_name(args)} ladder has a size in {sorted(args.sizes)}")
    info = machine()

    each = args.quiet_wait if args.quiet_wait is not None else (300.0 if args.full else 0.0)
    quiet = QuietWaiter(each, total=2400.0)
    log("construction steps:")
    constructions = measure_constructions(construction_configs, builds, quiet)
    log("batch hand-over:")
    handovers = measure_handovers(handover_plan(args.full), builds, quiet)
    log("two-core ceiling:")
    ceiling = measure_ceiling(builds[0].program, (300, 1000) if args.full else (300,), quiet)
    log("solves:")
    retries = args.retries if args.retries is not None else (2 if args.full else 0)
    solves = measure_solves(solve_configs, builds, quiet, retries)
    load_after = os.getloadavg()

    m = Measurements(builds, solve_configs, solves, constructions, ceiling, handovers=handovers)
    for old in args.results.glob("*.json") if args.results.exists() else ():
        old.unlink()
    m.pyperf_paths = save_pyperf(solves, args.results)
    log(f"pyperf results in {args.results}")
    text = report(args, info, m, started, load_before, load_after, time.perf_counter() - start)
    if args.write:
        args.write.parent.mkdir(parents=True, exist_ok=True)
        args.write.write_text(text + "\n")
        log(f"wrote {args.write}")
    if args.json:
        args.json.write_text(json.dumps(raw_json(info, m), indent=1) + "\n")
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
