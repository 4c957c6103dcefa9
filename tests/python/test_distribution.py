"""What the installed distribution carries beside the module: its licence, and
the version that the changelog's latest release names."""

import importlib.metadata
import re

from support import require


def test_licence_is_installed_with_the_module():
    distribution = importlib.metadata.distribution("corvane")
    assert distribution.metadata["License-Expression"] == "MIT"
    licences = [f for f in distribution.files or [] if f.name == "LICENSE"]
    assert len(licences) == 1 and licences[0].read_text().startswith("MIT License\n")


def test_latest_release_in_the_changelog_is_the_installed_version():
    releases = re.findall(r"^## \[(\d[^\]]*)\] - \d{4}-\d\d-\d\d$", require("CHANGELOG.md").read_text(), re.MULTILINE)
    assert releases and releases[0] == importlib.metadata.version("corvane")
