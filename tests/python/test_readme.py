"""The README's Usage block runs as shown."""

from __future__ import annotations

import doctest
import io
import re

import pytest

from conftest import REPO_ROOT

README = REPO_ROOT / "README.md"


@pytest.mark.skipif(not README.is_file(), reason="not run from a source tree")
def test_readme_examples_print_what_they_show():
    blocks = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.M | re.S)
    assert blocks, "README.md has no ```python block"
    test = doctest.DocTestParser().get_doctest("\n".join(blocks), {}, "README.md", str(README), 0)
    report = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.write)
    assert runner.failures == 0, report.getvalue()
    assert runner.tries > 0
