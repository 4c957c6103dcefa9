"""Checks a repaired Linux wheel of corvane as it will be published.

    python .ci/check_wheel.py WHEEL... [--tag REGEX]

For each wheel: its platform tags match REGEX (default: any manylinux tag of
x86_64 or aarch64); it carries the licence in .dist-info/licenses/; auditwheel
grafted no library into it; and `auditwheel show` names only libraries of
glibc and libgcc_s, the unwinder that glibc itself loads. libstdc++ in
particular must not be there: the module links its own. Needs auditwheel on
PATH. Exits non-zero, naming what is wrong, if any check fails.
"""

import argparse
import re
import subprocess
import sys
import zipfile
from pathlib import Path

RUNTIME_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "libgcc_s.so.1"}


def problems(wheel: Path, tag: str) -> list[str]:
    found = []
    # name-version-pythontag-abitag-platformtag(s).whl; repaired wheels may carry several platform tags.
    platforms = wheel.name.removesuffix(".whl").split("-")[-1].split(".")
    if not all(re.fullmatch(tag, platform) for platform in platforms):
        found.append(f"platform tag {'.'.join(platforms)} does not match {tag}")

    names = zipfile.ZipFile(wheel).namelist()
    if not any(re.fullmatch(r"corvane-[^/]+\.dist-info/licenses/LICENSE", name) for name in names):
        found.append("no .dist-info/licenses/LICENSE")
    grafted = [name for name in names if name.startswith("corvane.libs/")]
    if grafted:
        found.append(f"auditwheel grafted libraries into it: {grafted}")

    shown = subprocess.run(["auditwheel", "show", str(wheel)], capture_output=True, text=True)
    report = shown.stdout + shown.stderr
    libraries = set(re.findall(r"\blib[\w+.-]*?\.so(?:\.\d+)*\b", report))
    if shown.returncode != 0 or "libc.so.6" not in libraries:
        found.append(f"auditwheel show did not report the libraries as expected:\n{report}")
    elif libraries - RUNTIME_LIBRARIES:
        found.append(f"needs {sorted(libraries - RUNTIME_LIBRARIES)} beyond glibc and libgcc_s:\n{report}")
    return found


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("wheels", nargs="+", type=Path)
    # manylinux2014 is the older name of manylinux_2_17, which auditwheel adds beside it.
    parser.add_argument("--tag", default=r"manylinux(_\d+_\d+|2014)_(x86_64|aarch64)",
                        help="regular expression that each platform tag must match")
    args = parser.parse_args()
    failed = False
    for wheel in args.wheels:
        found = problems(wheel, args.tag)
        failed |= bool(found)
        print(f"{wheel.name}: " + ("; ".join(found) if found else "ok"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
