"""Building the revisions to measure: the working tree, or a committed
revision from its own source (git archive), each with its module and
construction_bench in a build directory of its own."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


@dataclass
class Build:
    role: str  # "candidate" or "baseline"
    build_dir: Path
    module_dir: Path | None  # None: the installed corvane
    source: str  # a description for the report
    commit: str
    dirty: list[str] = field(default_factory=list)

    @property
    def program(self) -> Path:
        return self.build_dir / "construction_bench"

    @property
    def handover_program(self) -> Path:
        return self.build_dir / "handover_bench"


def git(*args: str, cwd: Path = ROOT) -> str:
    return subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True, text=True).stdout.strip()


def build(role: str, installed: bool, rev: str | None) -> Build:
    """Builds `rev` from its own source (git archive), or the working tree
    when `rev` is None; with `installed`, only construction_bench."""
    if rev is not None:
        commit = git("rev-parse", "--verify", f"{rev}^{{commit}}")
        source_dir = ROOT / "build" / f"bench-src-{commit[:12]}"
        if not (source_dir / "CMakeLists.txt").exists():
            shutil.rmtree(source_dir, ignore_errors=True)
            source_dir.mkdir(parents=True)
            archive = subprocess.run(["git", "archive", commit], cwd=ROOT, check=True, capture_output=True).stdout
            subprocess.run(["tar", "-x", "-C", str(source_dir)], input=archive, check=True)
        build_dir = ROOT / "build" / f"bench-{commit[:12]}{'-nomodule' if installed else ''}"
        source = f"commit {commit[:12]} (exported with git archive)"
        dirty: list[str] = []
    else:
        commit = git("rev-parse", "HEAD")
        source_dir = ROOT
        build_dir = ROOT / "build" / ("bench-nomodule" if installed else "bench")
        status = subprocess.run(["git", "status", "--porcelain", "--", "src", "CMakeLists.txt", "benchmarks"],
                                cwd=ROOT, check=True, capture_output=True, text=True).stdout
        dirty = status.splitlines()
        source = f"working tree at commit {commit[:12]}" + (" with uncommitted changes" if dirty else "")

    configure = [
        "cmake", "-S", str(source_dir), "-B", str(build_dir),
        "-DCMAKE_BUILD_TYPE=Release",
        "-DCORVANE_BUILD_BENCHMARKS=ON",
        f"-DCORVANE_BUILD_MODULE={'OFF' if installed else 'ON'}",
        f"-DPython_EXECUTABLE={sys.executable}",
    ]
    if shutil.which("ninja") and not (build_dir / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja"]
    log(f"building the {role} ({source}) in {build_dir.relative_to(ROOT)} ...")
    for command in (configure, ["cmake", "--build", str(build_dir), "-j", str(os.cpu_count() or 2)]):
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode != 0:
            sys.stderr.write(result.stdout + result.stderr)
            raise SystemExit(f"build failed: {' '.join(command)}")
    program = build_dir / "handover_bench"
    inputs = (ROOT / "benchmarks" / "handover_bench.cpp", build_dir / "libcorvane_core.a")
    if not program.exists() or program.stat().st_mtime < max(p.stat().st_mtime for p in inputs):
        build_handover(build_dir, source_dir)  # a revision without the program in its own build
    return Build(role, build_dir, None if installed else build_dir, source, commit, dirty)


def build_handover(build_dir: Path, source_dir: Path) -> None:
    """Builds this tree's handover_bench.cpp against a revision whose own
    source has none, so that every revision's hand-over is timed by the same
    program: it needs only the pool's start() and run()."""
    cxx = cache_entries(build_dir).get("CMAKE_CXX_COMPILER", "c++")
    command = [cxx, "-std=c++20", "-O3", "-DNDEBUG", "-pthread", f"-I{source_dir / 'src'}",
               str(ROOT / "benchmarks" / "handover_bench.cpp"), str(build_dir / "libcorvane_core.a"),
               "-o", str(build_dir / "handover_bench")]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        sys.stderr.write(result.stdout + result.stderr)
        raise SystemExit(f"build failed: {' '.join(command)}")


def cache_entries(build_dir: Path) -> dict[str, str]:
    """The entries of a build directory's CMakeCache.txt."""
    cache = {}
    for line in (build_dir / "CMakeCache.txt").read_text().splitlines():
        if ":" in line and "=" in line and not line.startswith(("//", "#")):
            key, value = line.split("=", 1)
            cache[key.split(":", 1)[0]] = value
    return cache


def compiler(build_dir: Path) -> str:
    """The compiler and flags a build directory was configured with."""
    cache = cache_entries(build_dir)
    cxx = cache.get("CMAKE_CXX_COMPILER", "c++")
    version = subprocess.run([cxx, "--version"], capture_output=True, text=True).stdout.splitlines()
    flags = " ".join(filter(None, [cache.get("CMAKE_CXX_FLAGS", ""), cache.get("CMAKE_CXX_FLAGS_RELEASE", "")]))
    return f"{version[0] if version else cxx}, {cache.get('CMAKE_BUILD_TYPE', '?')} ({flags.strip()})"
