"""The README's Python example runs as written and prints what the README says."""

import os
import re
import subprocess
import sys

from conftest import source_dir


def test_readme_example_prints_what_the_readme_says():
    readme = (source_dir() / "README.md").read_text()
    section = readme[readme.index("## From Python"):]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    printed = re.search(r"it prints\s+`([^`]*)`", section).group(1)
    assert len(code.strip().splitlines()) <= 12
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=dict(os.environ), check=False)
    assert run.returncode == 0, run.stderr
    assert run.stdout == printed + "\n"
