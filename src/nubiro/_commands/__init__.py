"""Commands of ``python -m nubiro`` that live in modules of their own.

Each module listed in ``MODULES`` defines ``NAME`` (the sub-command), ``HELP`` (one line),
``add_arguments(parser)`` and ``run(args) -> int`` (the exit code). Data errors are raised as
``nubiro.pipeline.InputError`` (exit 1); argparse reports usage errors (exit 2). Checks across
options go in a ``check(args)`` default set by ``add_arguments``; it calls ``parser.error``.
"""
from __future__ import annotations

import importlib
from types import ModuleType

# One line per command, in the order `--help` lists them.
MODULES: tuple[str, ...] = (
    "view",
    "clean",
    "distance",
    "merge",
    "convert",
)


def load() -> list[ModuleType]:
    return [importlib.import_module(f"{__name__}.{name}") for name in MODULES]
