"""The examples in the documentation do what the documentation says.

In each page, the ```python blocks are run and the ```pycon blocks are
checked as interactive sessions (doctest), in page order and in one
namespace per page, so later examples may use earlier definitions. Blocks
fenced as ```py (the typed signatures in api.md) are only shown.
"""

import doctest
import pathlib
import re

import pytest

DOCS = pathlib.Path(__file__).parent.parent / "docs"
PAGES = ["guide.md", "api.md", "comparison.md"]
BLOCK = re.compile(r"^( *)```(python|pycon)\n(.*?)^\1```$", re.S | re.M)


@pytest.mark.parametrize("page", PAGES)
def test_examples_in_page(page):
    text = (DOCS / page).read_text(encoding="utf-8")
    blocks = list(BLOCK.finditer(text))
    assert blocks, f"{page} has no examples"
    namespace = {"__name__": "__docs__"}
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for block in blocks:
        indent, kind, body = block.groups()
        body = re.sub(rf"^{indent}", "", body, flags=re.M)
        line = text.count("\n", 0, block.start()) + 1
        if kind == "python":
            exec(compile(body, f"{page}:{line}", "exec"), namespace)
            continue
        test = doctest.DocTestParser().get_doctest(body, namespace, f"{page}:{line}", page, line)
        runner.run(test, clear_globs=False)
        namespace.update(test.globs)  # the test ran in a copy of the namespace
    results = runner.summarize(verbose=False)
    assert results.failed == 0, f"{results.failed} example(s) in {page} failed (see above)"
