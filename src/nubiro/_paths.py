"""Checks on output paths, made before any work so a mistyped path costs nothing."""
from __future__ import annotations

import os


def folder_problem(path: str) -> str | None:
    """Why a file cannot be created at `path` (its folder is missing or read-only, or the path
    is a folder), or None."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        return f"the folder {folder} does not exist"
    if not os.access(folder, os.W_OK | os.X_OK):
        return f"the folder {folder} is not writable"
    if os.path.isdir(path):
        return "is a folder, not a file name"
    if os.path.exists(path) and not os.access(path, os.W_OK):
        return "is not writable"
    return None
