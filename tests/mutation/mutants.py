"""Applies deliberate faults to a copy of the tree, one at a time, runs the
test suites against each and reports which faults no test catches.

    bash tests/mutation/run.sh                 # every mutant
    bash tests/mutation/run.sh --list          # their names
    bash tests/mutation/run.sh NAME [NAME ...] # some of them
    bash tests/mutation/run.sh --native-only   # GoogleTest only (faster, misses boundary faults)

The copy lives in $MUTANTS_DIR (default /tmp/corvane-mutants) and is built
once; each mutant then costs an incremental rebuild, the native tests and the
Python tests (both stop at their first failure). The whole run took 43
minutes on two cores, most of it two mutants that keep a documentation page's
solve running until the page's time limit; it is not part of CI. A mutant whose text no longer
matches the source is reported as stale, one that does not compile as such:
neither tests the suites, so update it.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


@dataclass(frozen=True)
class Mutant:
    name: str
    path: str
    old: str
    new: str
    fault: str


MUTANTS = [
    Mutant("deposit-scale-max-from-first-cell", "src/ant_colony/ant_colony_solver.cpp",
           "std::int64_t cmax = 0;", "std::int64_t cmax = task.c(0, 0);",
           "the largest cost starts from the first cell instead of 0"),
    Mutant("evaporate-by-rho", "src/ant_colony/ant_colony_solver.cpp",
           "const double f = 1.0 - parameters.rho;", "const double f = parameters.rho;",
           "pheromone keeps rho of itself instead of 1 - rho"),
    Mutant("deposit-before-evaporation", "src/ant_colony/ant_colony_solver.cpp",
           "      for (std::size_t cell = begin; cell < end; ++cell) tau[cell] *= f;\n      for (const Solution& ant : batch) {\n        const double d = ant.value / q;\n        for (std::size_t cell : ant.cells.members(begin / CellSet::kWordBits, CellSet::words_for(end))) {\n          tau[cell] += d;\n        }\n      }\n",
           "      for (const Solution& ant : batch) {\n        const double d = ant.value / q;\n        for (std::size_t cell : ant.cells.members(begin / CellSet::kWordBits, CellSet::words_for(end))) {\n          tau[cell] += d;\n        }\n      }\n      for (std::size_t cell = begin; cell < end; ++cell) tau[cell] *= f;\n",
           "ants deposit before the pheromone evaporates"),
    Mutant("only-the-best-ant-deposits", "src/ant_colony/ant_colony_solver.cpp",
           "      for (const Solution& ant : batch) {\n        const double d = ant.value / q;",
           "      for (const Solution& ant : batch) {\n        bool top = true;\n        for (const Solution& other : batch) top = top && !(other.value > ant.value);\n        if (!top) continue;\n        const double d = ant.value / q;",
           "only the iteration's best ant deposits"),
    Mutant("ties-replace-the-best", "src/ant_colony/solver_common.h",
           "if (candidate.value > value_) {", "if (candidate.value >= value_) {",
           "an equal value replaces the best"),
    Mutant("budget-excludes-the-exact-fit", "src/ant_colony/fast_construction.cpp",
           "    while (runs_ > 0 && order.run_resource(runs_ - 1) > remaining) --runs_;",
           "    while (runs_ > 0 && order.run_resource(runs_ - 1) >= remaining) --runs_;",
           "a cell that uses exactly the rest of the budget is dropped"),
    Mutant("draw-boundary-to-earlier-cell", "src/ant_colony/fast_construction.cpp",
           "    if (running > d) return cell;", "    if (running >= d) return cell;",
           "a draw on a cumulative edge picks the earlier cell"),
    Mutant("certification-without-slack", "src/ant_colony/fast_construction.cpp",
           "  const double slack = slack_of(count);", "  const double slack = 0.0;",
           "the tree's pick is trusted without the rounding bound"),
    Mutant("negative-resources-not-weighed", "src/ant_colony/heuristic.cpp",
           "if (b == 0) {", "if (b <= 0) {",
           "cells of negative resource get eta 0"),
    Mutant("discount-of-one-refused", "src/surface/task.cpp",
           "e > 1.0", "e >= 1.0", "a discount of exactly 1 is refused"),
    Mutant("column-major-order-ignored", "src/ant_colony/objective.cpp",
           "return task.c.is_column_major() && task.omega.is_column_major();", "return false;",
           "the objective of column-major tasks is summed row by row"),
    Mutant("type-error-subclasses-wrapped", "src/lib/errors.cpp",
           "if (type != PyExc_TypeError) {",
           "if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {",
           "a TypeError subclass from a hook gets the parameter name too"),
    Mutant("unsigned-conversion-leaks-its-index", "src/lib/arguments.cpp",
           "  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {\n    wrap_conversion_error(parameter);",
           "  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {\n    (void)index.release();\n    wrap_conversion_error(parameter);",
           "the __index__ result leaks when it is out of range"),
    Mutant("keyword-name-through-its-str", "src/lib/arguments.cpp",
           "\"%s got an unexpected keyword argument '%U'\", sig.full_name, name.get());",
           "\"%s got an unexpected keyword argument '%S'\", sig.full_name, keyword);",
           "an unknown keyword is shown through its own __str__"),
    Mutant("seed-key-coordinates-swapped", "src/runtime/candidate_sources.cpp",
           "chacha_blocks(seed_key, batch, call, kRounds, blocks);",
           "chacha_blocks(seed_key, call, batch, kRounds, blocks);",
           "the batch and the call number trade places in the key derivation"),
    Mutant("seed-skips-other-characters", "src/runtime/decimal.cpp",
           "if (c < '0' || c > '9') return std::nullopt;", "if (c < '0' || c > '9') continue;",
           "a seed such as 1.5 or 1e3 is read as digits"),
    Mutant("release-mode-holds-the-lock", "src/lib/solve_call.cpp",
           "if (!modes.release_gil) {", "if (true) {",
           "CORVANE_RELEASE_GIL=1 keeps the interpreter lock"),
    Mutant("time-limit-ignored-between-iterations", "src/ant_colony/ant_colony_solver.cpp",
           "    if (control.out_of_time()) break;\n", "",
           "the ant colony runs all its iterations past the time limit"),
    Mutant("progress-only-between-batches", "src/lib/solve_call.cpp",
           "const bool watched = log != nullptr && log->watches_batches();", "const bool watched = false;",
           "no progress record comes from inside a batch"),
    Mutant("pool-reports-any-failure", "src/runtime/worker_pool.cpp",
           "if (index < batch.failed_index) {", "if (true) {",
           "the failure of the last candidate to fail is reported, not the lowest"),
    Mutant("refused-dtype-leaks-its-descriptor", "src/surface/numpy_array.cpp",
           "  Py_DECREF(wanted);\n  if (!same) {\n    refuse_array(object, parameter);\n    return std::nullopt;\n  }\n",
           "  if (!same) {\n    refuse_array(object, parameter);\n    return std::nullopt;\n  }\n  Py_DECREF(wanted);\n",
           "an array of the wrong dtype keeps a reference to the dtype it was compared with"),
    Mutant("probabilistic-merge-ignores-the-index", "src/probabilistic/probabilistic_solver.cpp",
           "overall.offer(thread_best.value, thread_best.index, thread_best.cells);",
           "overall.offer(thread_best.value, 0, thread_best.cells);",
           "of equal values, the threads' bests are merged by thread, not by the lowest sample index"),
    Mutant("pipeline-forgets-a-failure", "src/ant_colony/construction_pipeline.cpp",
           "      } catch (...) {\n        claims.fail(slot.candidate, std::current_exception());\n      }\n      if (!start(",
           "      } catch (...) {\n      }\n      if (!start(",
           "a construction that fails in flight is dropped without failing the batch"),
    Mutant("pipeline-slots-share-outputs", "src/ant_colony/construction_pipeline.cpp",
           "slot.constructor.advance(*slot.source);", "slot.constructor.advance(*slots_[0]->source);",
           "the constructions in flight on a thread all draw from the first one's outputs"),
    Mutant("pipeline-outgrows-its-reservation", "src/ant_colony/construction_pipeline.cpp",
           "const std::size_t depth = std::min(plan.in_flight(), room_);", "const std::size_t depth = plan.in_flight();",
           "a pipeline reserved for fewer constructions than the plan keeps in flight makes more during a batch"),
]


def run(command: list[str], cwd: Path, env: dict[str, str] | None = None, log: Path | None = None) -> bool:
    with open(log, "a") if log else open(os.devnull, "w") as out:
        out.write(f"$ {' '.join(command)}\n")
        out.flush()
        return subprocess.run(command, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT).returncode == 0


def prepare(work: Path, python: str) -> None:
    """A copy of the tracked files, with the native tests and the module built."""
    if work.exists():
        shutil.rmtree(work)
    files = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, capture_output=True, check=True).stdout
    for name in files.decode().split("\0"):
        if name and (ROOT / name).is_file():
            (work / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, work / name)
    configure = ["cmake", "-S", ".", "-B", "build", "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                 "-DCORVANE_BUILD_TESTS=ON", "-DCORVANE_BUILD_MODULE=ON", f"-DPython_EXECUTABLE={python}"]
    if not (run(configure, work) and run(["cmake", "--build", "build", "-j", str(os.cpu_count() or 2)], work)):
        sys.exit("the unmutated copy does not build")


def survives(mutant: Mutant, work: Path, python: str, native_only: bool, log: Path) -> str:
    """'killed by ...', 'SURVIVED', 'stale' or 'does not build'."""
    path = work / mutant.path
    source = path.read_text()
    if source.count(mutant.old) != 1:
        return "stale (the text to change is not there once)"
    try:
        path.write_text(source.replace(mutant.old, mutant.new))
        if not run(["cmake", "--build", "build", "-j", str(os.cpu_count() or 2)], work, log=log):
            return "does not build (a mutant must compile to test the suites)"
        if not run(["ctest", "--test-dir", "build", "--stop-on-failure", "-j", str(os.cpu_count() or 2)], work,
                   log=log):
            return "killed by the native tests"
        if native_only:
            return "SURVIVED the native tests"
        env = dict(os.environ, PYTHONPATH=str(work / "build"))
        if not run([python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "."], work / "tests" / "python",
                   env=env, log=log):
            return "killed by the Python tests"
        return "SURVIVED"
    finally:
        path.write_text(source)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("names", nargs="*", help="mutants to run (default: all)")
    parser.add_argument("--list", action="store_true", help="list the mutants and exit")
    parser.add_argument("--native-only", action="store_true", help="run only the native tests on each mutant")
    args = parser.parse_args()
    if args.list:
        for mutant in MUTANTS:
            print(f"{mutant.name:40} {mutant.fault}")
        return
    unknown = set(args.names) - {m.name for m in MUTANTS}
    if unknown:
        sys.exit(f"no such mutant: {', '.join(sorted(unknown))}")
    chosen = [m for m in MUTANTS if not args.names or m.name in args.names]
    work = Path(os.environ.get("MUTANTS_DIR", "/tmp/corvane-mutants"))
    python = sys.executable
    start = time.time()
    prepare(work, python)
    log = work / "mutants.log"
    results = []
    for mutant in chosen:
        began = time.time()
        outcome = survives(mutant, work, python, args.native_only, log)
        results.append((mutant, outcome))
        print(f"{mutant.name:40} {outcome}  ({time.time() - began:.0f} s)", flush=True)
    # The copy is left in its unmutated state; rebuild it so that it matches.
    run(["cmake", "--build", "build"], work)
    survivors = [m for m, outcome in results if not outcome.startswith("killed")]
    print(f"\n{len(results) - len(survivors)} of {len(results)} mutants killed in {time.time() - start:.0f} s "
          f"(log: {log})")
    for mutant in survivors:
        print(f"  not killed: {mutant.name}: {mutant.fault}")
    sys.exit(1 if survivors else 0)


if __name__ == "__main__":
    main()
