"""The examples in the documentation do what the documentation says.

In each page, the ```python blocks are run and the ```pycon blocks are
checked as interactive sessions (doctest), in page order and in one
namespace per page, so later examples may use earlier definitions. Blocks
fenced as ```py (the typed signatures in api.md) are only shown.

Words after the language (which renderers ignore) change how a block runs:
- `needs=MODULE`: the blocks that need an optional module run in page order
  in a namespace of their own, as one test that skips without the module;
- `script`: a whole program, run as a file in a fresh interpreter (as
  process pools need: their workers import the functions they are given),
  whose output must match the ```text block that follows it.
"""

import doctest
import pathlib
import re
import subprocess
import sys
from dataclasses import dataclass, field

import pytest

# pytest-run-parallel: doctest swaps the process-wide linecache while it runs.
pytestmark = pytest.mark.thread_unsafe(reason="doctest patches linecache")

ROOT = pathlib.Path(__file__).parent.parent
PAGES = ["README.md", "docs/guide.md", "docs/api.md", "docs/comparison.md"]
BLOCK = re.compile(r"^( *)```(python|pycon)((?: [^\n]*)?)\n(.*?)^\1```$", re.S | re.M)
FENCE = re.compile(r"^ *```(\w*)[^\n]*\n(.*?)^ *```$", re.S | re.M)


@dataclass
class Block:
    page: str
    line: int
    kind: str  # python or pycon
    body: str
    options: dict[str, str] = field(default_factory=dict)
    output: str | None = None  # a script's ```text block

    @property
    def name(self):
        return f"{self.page}:{self.line}"


def blocks_of(page):
    text = (ROOT / page).read_text(encoding="utf-8")
    blocks = []
    for match in BLOCK.finditer(text):
        indent, kind, info, body = match.groups()
        options = dict(word.partition("=")[::2] for word in info.split())
        block = Block(page, text.count("\n", 0, match.start()) + 1, kind,
                      re.sub(rf"^{indent}", "", body, flags=re.M), options)
        if "script" in options:
            following = FENCE.search(text, match.end())
            assert following and following.group(1) == "text", \
                f"{block.name}: a script needs a ```text block of its output after it"
            block.output = following.group(2)
        blocks.append(block)
    return blocks


BLOCKS = {page: blocks_of(page) for page in PAGES}
OPTIONAL = sorted({(page, b.options["needs"]) for page, blocks in BLOCKS.items()
                   for b in blocks if "needs" in b.options and "script" not in b.options})
SCRIPTS = [b for blocks in BLOCKS.values() for b in blocks if "script" in b.options]


def run_blocks(blocks):
    """Runs the blocks in one namespace; fails the test if any example does
    not show what the page says."""
    namespace = {"__name__": "__docs__"}
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for block in blocks:
        if block.kind == "python":
            exec(compile(block.body, block.name, "exec"), namespace)
            continue
        test = doctest.DocTestParser().get_doctest(
            block.body, namespace, block.name, block.page, block.line)
        runner.run(test, clear_globs=False)
        namespace.update(test.globs)  # the test ran in a copy of the namespace
    results = runner.summarize(verbose=False)
    assert results.failed == 0, f"{results.failed} example(s) failed (see above)"


@pytest.mark.parametrize("page", PAGES)
def test_examples_in_page(page):
    blocks = [b for b in BLOCKS[page] if not b.options.keys() & {"needs", "script"}]
    assert blocks, f"{page} has no examples"
    run_blocks(blocks)


@pytest.mark.parametrize(("page", "module"), OPTIONAL, ids=[f"{p}-{m}" for p, m in OPTIONAL])
def test_examples_needing_a_module(page, module):
    pytest.importorskip(module, reason=f"{module} could not be installed for this interpreter")
    run_blocks([b for b in BLOCKS[page] if b.options.get("needs") == module])


@pytest.mark.parametrize("block", SCRIPTS, ids=[b.name for b in SCRIPTS])
def test_script(block, tmp_path, child_environment):
    if "needs" in block.options:
        pytest.importorskip(block.options["needs"])
    script = tmp_path / "example.py"
    script.write_text(block.body, encoding="utf-8")
    proc = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, encoding="utf-8",
        errors="replace", env=child_environment, cwd=tmp_path, timeout=120,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    if not doctest.OutputChecker().check_output(block.output, proc.stdout, doctest.ELLIPSIS):
        pytest.fail(f"{block.name} printed:\n{proc.stdout}\nwhere the page shows:\n{block.output}")
