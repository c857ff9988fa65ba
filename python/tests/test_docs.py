"""The examples of docs/python.md run as written."""
import re
import shutil

from conftest import REPO, command


def test_python_guide_examples_run(scene, tmp_path, capsys):
    shutil.copy(scene, tmp_path / "scene.nc")
    assert command("synth", "--series", "6", tmp_path / "series").returncode == 0
    text = (REPO / "docs" / "python.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", text, re.S)
    assert len(blocks) >= 4
    namespace = {}
    for block in blocks:
        exec(compile(block, "docs/python.md", "exec"), namespace)
    out = capsys.readouterr().out
    assert "thresh : can not get thresh_value." in out
    assert (tmp_path / "plan.png").exists() and (tmp_path / "results" / "cells.csv").exists()
