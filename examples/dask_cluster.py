"""Fan independent solves out over a dask.distributed cluster and keep the best.

The unit of scale is one solve: many tasks, or many restarts of one task of
which the best is kept (restarts draw different numbers, so they differ). With no
--scheduler the script starts a LocalCluster of worker processes with one
thread each; with --scheduler it uses a running cluster instead:

    python3 examples/dask_cluster.py [--workers 2] [--tasks 1] [--restarts 16] [--rows 60] [--cols 60]
    python3 examples/dask_cluster.py --scheduler tcp://127.0.0.1:8786 --tasks 4 --restarts 8

Tasks and solvers cannot be pickled: the arrays of each task are made here from
its seed, sent to the workers once, and every solve builds its Task from them.
Before any solve, every worker (also one that joins later) sets
RAYON_NUM_THREADS=1, so each process runs one native thread instead of one per
CPU; on a running cluster this works only in workers that have not solved
anything yet, since corvane reads the variable once per process. Workers with
several dask threads take turns, as solve holds the interpreter lock.

--solver-seed BASE gives every worker a seed of its own, CORVANE_SEED = BASE +
the worker's number (a LocalCluster's 0, 1, ...; a hash of any other name), so
that no two workers draw the same numbers: with one seed for all, every
worker's first solve would be call 0 under the same seed, and so would be the
same solve. Each worker's draws repeat from run to run where its name does;
`dask worker` without --name names its workers after their addresses, which
change from start to start. Which restarts a worker runs is still up to the
scheduler.

--in-process afterwards solves the same batch in this process, one solve after
another with corvane's default thread pool, for comparison. --save writes the
arrays, every assignment and value to an .npz file.

Needs dask.distributed: python3 -m pip install ".[examples]".
"""

from __future__ import annotations

import argparse
import math
import os
import time
import zlib
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

# LocalCluster, Client and Client.scatter are untyped; the ignores below name only those calls.
from distributed import Client, LocalCluster, Worker, WorkerPlugin, get_worker

import corvane


@dataclass(frozen=True)
class TaskArrays:
    """What a worker needs to build a Task: plain arrays, which pickle."""

    seed: int
    c: npt.NDArray[np.int64]
    b_ij: npt.NDArray[np.int64]
    b_total: int
    omega: npt.NDArray[np.float64]

    def task(self) -> corvane.Task:
        m, n = self.c.shape
        return corvane.Task(m, n, self.c, self.b_ij, self.b_total, self.omega)

    def objective(self, x: npt.NDArray[np.int64]) -> float:
        return float((self.c * (1.0 - self.omega))[x == 1].sum())

    def used(self, x: npt.NDArray[np.int64]) -> int:
        return int(self.b_ij[x == 1].sum())


def make_arrays(seed: int, m: int, n: int) -> TaskArrays:
    rng = np.random.default_rng(seed)
    b_ij = rng.integers(1, 20, size=(m, n), dtype=np.int64)
    return TaskArrays(seed, rng.integers(1, 100, size=(m, n), dtype=np.int64), b_ij,
                      max(1, int(b_ij.sum()) // 10), rng.uniform(0.0, 0.5, size=(m, n)))


@dataclass(frozen=True)
class SolverChoice:
    name: str
    kmax: int
    ants: int

    def make(self) -> corvane.AntColonyAssignmentSolver | corvane.ProbabilisticAssignmentSolver:
        if self.name == "probabilistic":
            return corvane.ProbabilisticAssignmentSolver(kmax=self.kmax)
        return corvane.AntColonyAssignmentSolver(num_ants=self.ants, kmax=self.kmax)


@dataclass(frozen=True)
class Outcome:
    task_index: int
    restart: int
    worker: str
    pid: int
    native_threads: str
    seed: str
    seconds: float
    value: float
    x: npt.NDArray[np.int64]


class WorkerSetup(WorkerPlugin):
    """Sets RAYON_NUM_THREADS (and, given a base, CORVANE_SEED) in each worker
    process as it joins, before its first solve, and imports corvane there so
    the first solve does not pay for it."""

    def __init__(self, threads: int, seed_base: int | None) -> None:
        self.threads = threads
        self.seed_base = seed_base

    def setup(self, worker: Worker) -> None:
        os.environ["RAYON_NUM_THREADS"] = str(self.threads)
        if self.seed_base is not None:
            os.environ["CORVANE_SEED"] = str((self.seed_base + worker_number(worker)) % 2**64)
        import corvane  # noqa: F401  (loads the module; its pool starts at the first solve)


def worker_number(worker: Worker) -> int:
    """A LocalCluster numbers its workers 0, 1, ...; any other name is hashed."""
    name = worker.name
    return name if isinstance(name, int) else zlib.crc32(str(name).encode())


def solve_on_worker(data: TaskArrays, task_index: int, restart: int, choice: SolverChoice) -> Outcome:
    task = data.task()
    start = time.perf_counter()
    x, value = choice.make().solve(task)
    seconds = time.perf_counter() - start
    return Outcome(task_index, restart, get_worker().address, os.getpid(),
                   os.environ.get("RAYON_NUM_THREADS", "unset"), os.environ.get("CORVANE_SEED", "unset"), seconds,
                   value, x)


@contextmanager
def connect(scheduler: str | None, workers: int) -> Iterator[tuple[Client, str]]:
    """A client of the given scheduler, or of a LocalCluster started here."""
    if scheduler is not None:
        with Client(scheduler) as client:  # type: ignore[no-untyped-call]
            yield client, f"scheduler {scheduler}"
        return
    # Worker processes (not threads): solve holds the interpreter lock.
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,  # type: ignore[no-untyped-call]
                      host="127.0.0.1", dashboard_address=None) as cluster, \
            Client(cluster) as client:  # type: ignore[no-untyped-call]
        yield client, f"LocalCluster of {workers} worker processes"


def run_on_cluster(client: Client, tasks: list[TaskArrays], restarts: int, choice: SolverChoice,
                   seed_base: int | None) -> list[Outcome]:
    client.register_plugin(WorkerSetup(1, seed_base))
    futures = []
    for index, data in enumerate(tasks):
        # Sent to the workers once, not once per restart.
        shared = client.scatter(data, broadcast=True)  # type: ignore[no-untyped-call]
        # pure=False: identical arguments must still run again, not reuse a result.
        futures += [client.submit(solve_on_worker, shared, index, restart, choice, pure=False)
                    for restart in range(restarts)]
    return [future.result() for future in futures]


def run_here(tasks: list[TaskArrays], restarts: int, choice: SolverChoice) -> list[float]:
    return [choice.make().solve(data.task())[1] for data in tasks for _ in range(restarts)]


def check(data: TaskArrays, outcome: Outcome) -> None:
    """An assignment that breaks the budget or does not match its value is a fault."""
    x = outcome.x
    if x.shape != data.c.shape or not np.isin(x, (0, 1)).all() or data.used(x) > data.b_total:
        raise SystemExit(f"task {outcome.task_index} restart {outcome.restart}: invalid assignment")
    if not math.isclose(outcome.value, data.objective(x), rel_tol=1e-9, abs_tol=1e-9):
        raise SystemExit(f"task {outcome.task_index} restart {outcome.restart}: value does not match")


def report(tasks: list[TaskArrays], outcomes: list[Outcome]) -> None:
    for o in sorted(outcomes, key=lambda o: (o.task_index, o.restart)):
        data = tasks[o.task_index]
        print(f"solve task {o.task_index} restart {o.restart:3d} on {o.worker} pid {o.pid}: value {o.value:.2f}"
              f" used {data.used(o.x)} of {data.b_total} in {o.seconds:.3f} s")
    print("per worker:")
    for worker in sorted({(o.worker, o.pid, o.native_threads, o.seed) for o in outcomes}):
        mine = [o for o in outcomes if (o.worker, o.pid, o.native_threads, o.seed) == worker]
        print(f"  worker {worker[0]} pid {worker[1]} RAYON_NUM_THREADS={worker[2]} CORVANE_SEED={worker[3]}:"
              f" {len(mine)} solves, {sum(o.seconds for o in mine):.2f} s solving")
    for index, data in enumerate(tasks):
        mine = [o for o in outcomes if o.task_index == index]
        best = max(mine, key=lambda o: o.value)  # the first of equal values
        values = np.array([o.value for o in mine])
        print(f"task {index} (seed {data.seed}): best {best.value:.2f} from restart {best.restart} on pid {best.pid};"
              f" {len(mine)} values min {values.min():.2f} mean {values.mean():.2f} max {values.max():.2f}")


def save(path: str, tasks: list[TaskArrays], outcomes: list[Outcome]) -> None:
    np.savez(path, c=np.stack([t.c for t in tasks]), b_ij=np.stack([t.b_ij for t in tasks]),
             omega=np.stack([t.omega for t in tasks]), b_total=np.array([t.b_total for t in tasks]),
             task_index=np.array([o.task_index for o in outcomes]), pid=np.array([o.pid for o in outcomes]),
             value=np.array([o.value for o in outcomes]), x=np.stack([o.x for o in outcomes]))


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scheduler", metavar="ADDRESS", help="use a running cluster instead of a LocalCluster")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the LocalCluster")
    parser.add_argument("--tasks", type=int, default=1, help="different tasks, seeds --seed, --seed + 1, ...")
    parser.add_argument("--restarts", type=int, default=16, help="independent solves of each task")
    parser.add_argument("--seed", type=int, default=0, help="seed of the first task's data")
    parser.add_argument("--rows", type=int, default=60)
    parser.add_argument("--cols", type=int, default=60)
    parser.add_argument("--solver", choices=["ant", "probabilistic"], default="ant")
    parser.add_argument("--kmax", type=int, default=100)
    parser.add_argument("--ants", type=int, default=20, help="ants per iteration (ant colony)")
    parser.add_argument("--in-process", action="store_true", help="then solve the batch here for comparison")
    parser.add_argument("--save", metavar="FILE.npz", help="write the arrays, assignments and values")
    parser.add_argument("--solver-seed", metavar="BASE", type=int,
                        help="CORVANE_SEED of each worker: BASE + its number (default: unseeded)")
    args = parser.parse_args(argv)
    if args.tasks < 1 or args.restarts < 1:
        parser.error("--tasks and --restarts must be at least 1")

    tasks = [make_arrays(args.seed + k, args.rows, args.cols) for k in range(args.tasks)]
    choice = SolverChoice(args.solver, args.kmax, args.ants)
    solves = args.tasks * args.restarts
    print(f"client pid {os.getpid()}: {args.tasks} task(s) of {args.rows} x {args.cols}, {args.restarts} restarts"
          f" each, solver {choice.name} kmax {choice.kmax}")

    start = time.perf_counter()
    with connect(args.scheduler, args.workers) as (client, description):
        ready = time.perf_counter()
        outcomes = run_on_cluster(client, tasks, args.restarts, choice, args.solver_seed)
        done = time.perf_counter()
    for outcome in outcomes:
        check(tasks[outcome.task_index], outcome)
    report(tasks, outcomes)
    print(f"cluster: {description}, ready in {ready - start:.2f} s; {solves} solves in {done - ready:.2f} s")
    if args.save:
        save(args.save, tasks, outcomes)

    if args.in_process:
        threads = os.environ.get("RAYON_NUM_THREADS", "default")
        start = time.perf_counter()
        values = run_here(tasks, args.restarts, choice)
        print(f"in process: {solves} solves one after another (RAYON_NUM_THREADS={threads}) in"
              f" {time.perf_counter() - start:.2f} s; best {max(values):.2f}")


if __name__ == "__main__":
    main()
