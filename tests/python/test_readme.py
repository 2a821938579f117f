"""The README's Usage block runs as shown."""

from __future__ import annotations

import doctest
import importlib.util
import io
import re

import pytest

from conftest import REPO_ROOT

README = REPO_ROOT / "README.md"


@pytest.mark.skipif(not README.is_file(), reason="not run from a source tree")
def test_readme_examples_print_what_they_show():
    text = README.read_text(encoding="utf-8")
    blocks = list(re.finditer(r"^```python\n(.*?)^```", text, re.M | re.S))
    assert blocks, "README.md has no ```python block"
    # The blocks run in order in one namespace. A block that imports a module
    # this Python lacks (numpy where it has no wheel yet) is left out, and so
    # is every block after it, which may use its names.
    namespace: dict[str, object] = {}
    report = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    left_out = []
    for block in blocks:
        line = text.count("\n", 0, block.start(1))
        missing = [name for name in re.findall(r"^>>> (?:import|from) (\w+)", block[1], re.M)
                   if importlib.util.find_spec(name) is None]
        if missing or left_out:
            left_out.append(f"line {line + 1} ({', '.join(missing) or 'after it'})")
            continue
        test = doctest.DocTestParser().get_doctest(block[1], namespace, "README.md", str(README), line)
        runner.run(test, out=report.write, clear_globs=False)
        namespace = test.globs
    assert runner.failures == 0, report.getvalue()
    assert runner.tries > 0
    if left_out:
        pytest.skip(f"README blocks left out, a module is missing: {'; '.join(left_out)}")
