"""The shipped type stubs describe the extension module as it is at run time."""
import subprocess
import sys

import pytest

pytest.importorskip("mypy.stubtest")


def test_stubs_match_the_runtime_module(fresh_env, tmp_path):
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "nubiro.cpu.pybind"], cwd=tmp_path,
                          env=fresh_env(), capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr


def test_python_package_type_checks_against_the_stubs(fresh_env, tmp_path):
    done = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "-p", "nubiro"], cwd=tmp_path,
                          env=fresh_env(), capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr


def test_every_readme_import_type_checks(fresh_env, tmp_path):
    # The README's imports, as a newcomer's editor and type checker meet them (the short aliases
    # nubiro.geometry, nubiro.io, nubiro.utility and nubiro.pipelines included).
    import os
    import re
    readme = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")
    blocks = re.findall(r"```python\n(.*?)```", open(readme).read(), re.S)
    imports = sorted({line.strip() for block in blocks for line in block.splitlines()
                      if re.match(r"\s*(import|from)\s+\S*nubiro", line)})
    assert any("nubiro.pipelines" in line for line in imports)
    code = "\n".join(imports + [
        "import nubiro.geometry",
        "from nubiro.geometry import PointCloud",
        "from nubiro.utility import Vector3dVector",
        "from nubiro.pipelines.registration import registration_icp",
        "cloud: PointCloud = nubiro.geometry.PointCloud()",
        "nubiro.utility.random.seed(1)",
        "registration = nubiro.pipeline.register",
    ])
    (tmp_path / "uses.py").write_text(code + "\n")
    done = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--strict", "uses.py"], cwd=tmp_path,
                          env=fresh_env(), capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, code + "\n" + done.stdout + done.stderr


def test_every_stub_member_has_a_docstring():
    # Editors show these on hover; the run-time module keeps its docstrings empty.
    import ast
    import pathlib
    import nubiro.cpu
    missing = []
    for stub in pathlib.Path(nubiro.cpu.__file__).parent.rglob("*.pyi"):
        def visit(node, owner):
            for child in ast.iter_child_nodes(node):
                if isinstance(child, ast.ClassDef):
                    if ast.get_docstring(child) is None:
                        missing.append(f"{stub.name}: {child.name}")
                    visit(child, child.name)
                elif isinstance(child, ast.FunctionDef):
                    decorators = [ast.unparse(d) for d in child.decorator_list]
                    private = child.name.startswith("__") and child.name != "__init__"
                    if private or "overload" in decorators or any(d.endswith(".setter") for d in decorators):
                        continue
                    if ast.get_docstring(child) is None:
                        missing.append(f"{stub.name}: {owner + '.' if owner else ''}{child.name}")
        visit(ast.parse(stub.read_text()), "")
    assert not missing, missing
