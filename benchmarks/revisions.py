"""Building the revisions to measure: the working tree, or a committed
revision from its own source (git archive), each with its module,
construction_bench and handover_bench in a build directory of its own."""

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
    handover: Path | None = None  # handover_bench; None: it did not build against this revision
    handover_source: str = ""  # where handover_bench.cpp came from, for the report

    @property
    def program(self) -> Path:
        return self.build_dir / "construction_bench"


HANDOVER_SOURCE = Path(__file__).resolve().parent / "handover_bench.cpp"
# Appended to an exported revision's CMakeLists.txt when its source has no
# handover_bench: the program is compiled from the working tree's file and
# linked to that revision's own library, outside the default build, so that
# a revision whose pool it does not fit loses only the hand-over rows.
HANDOVER_MARK = "# Added by benchmarks/revisions.py: the working tree's handover_bench."
HANDOVER_TARGET = f"""
{HANDOVER_MARK}
if(CORVANE_BUILD_BENCHMARKS AND NOT TARGET handover_bench)
  add_executable(handover_bench EXCLUDE_FROM_ALL benchmarks/handover_bench.cpp)
  target_link_libraries(handover_bench PRIVATE corvane_core)
endif()
"""


def borrow_handover_bench(source_dir: Path) -> bool:
    """Gives an exported revision without a handover_bench target of its own
    the working tree's benchmarks/handover_bench.cpp and a target for it.
    Returns whether it did."""
    cmake = source_dir / "CMakeLists.txt"
    text = cmake.read_text()
    if "handover_bench" in text and HANDOVER_MARK not in text:
        return False
    copy = source_dir / "benchmarks" / "handover_bench.cpp"
    if not copy.exists() or copy.read_bytes() != HANDOVER_SOURCE.read_bytes():
        copy.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(HANDOVER_SOURCE, copy)
    if HANDOVER_MARK not in text:
        cmake.write_text(text + HANDOVER_TARGET)
    return True


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
        borrowed = borrow_handover_bench(source_dir)
    else:
        commit = git("rev-parse", "HEAD")
        source_dir = ROOT
        build_dir = ROOT / "build" / ("bench-nomodule" if installed else "bench")
        status = subprocess.run(["git", "status", "--porcelain", "--", "src", "CMakeLists.txt", "benchmarks"],
                                cwd=ROOT, check=True, capture_output=True, text=True).stdout
        dirty = status.splitlines()
        source = f"working tree at commit {commit[:12]}" + (" with uncommitted changes" if dirty else "")
        borrowed = False

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
    jobs = ["-j", str(os.cpu_count() or 2)]
    for command in (configure, ["cmake", "--build", str(build_dir), *jobs]):
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode != 0:
            sys.stderr.write(result.stdout + result.stderr)
            raise SystemExit(f"build failed: {' '.join(command)}")
    handover: Path | None = build_dir / "handover_bench"
    handover_source = "its own benchmarks/handover_bench.cpp"
    if borrowed:
        handover_source = ("benchmarks/handover_bench.cpp of the working tree running the benchmarks, "
                           "compiled with this revision's headers and linked to its own corvane_core")
        result = subprocess.run(["cmake", "--build", str(build_dir), "--target", "handover_bench", *jobs],
                                capture_output=True, text=True)
        if result.returncode != 0:
            sys.stderr.write(result.stdout[-4000:] + result.stderr[-4000:])
            log(f"handover_bench does not build against the {role}'s pool: no hand-over rows for it")
            handover, handover_source = None, "does not build against this revision"
    return Build(role, build_dir, None if installed else build_dir, source, commit, dirty, handover, handover_source)


def compiler(build_dir: Path) -> str:
    """The compiler and flags a build directory was configured with."""
    cache = {}
    for line in (build_dir / "CMakeCache.txt").read_text().splitlines():
        if ":" in line and "=" in line and not line.startswith(("//", "#")):
            key, value = line.split("=", 1)
            cache[key.split(":", 1)[0]] = value
    cxx = cache.get("CMAKE_CXX_COMPILER", "c++")
    version = subprocess.run([cxx, "--version"], capture_output=True, text=True).stdout.splitlines()
    flags = " ".join(filter(None, [cache.get("CMAKE_CXX_FLAGS", ""), cache.get("CMAKE_CXX_FLAGS_RELEASE", "")]))
    return f"{version[0] if version else cxx}, {cache.get('CMAKE_BUILD_TYPE', '?')} ({flags.strip()})"
