"""NetCDF-4 volumes read on several Python threads at once: HDF5's own error stack never reaches standard
error, velmora's exception alone says what is wrong, and whole volumes give the same cells on every thread."""
import os
import subprocess
import sys

from conftest import BUILD

SCRIPT = """
import sys
from concurrent.futures import ThreadPoolExecutor
import velmora

good, cut = sys.argv[1:3]
def analyzed(path):
    try:
        return len(velmora.analyze(path).cells)
    except RuntimeError as e:
        return str(e)
with ThreadPoolExecutor(4) as pool:
    results = list(pool.map(analyzed, [good, cut] * 4))
print(repr(results))
"""


def test_volumes_read_on_threads_leave_standard_error_to_velmora(scene, tmp_path):
    whole = scene.read_bytes()
    cut = tmp_path / "cut.nc"
    cut.write_bytes(whole[: len(whole) // 2])
    env = dict(os.environ, PYTHONPATH=str(BUILD / "python"))
    p = subprocess.run([sys.executable, "-c", SCRIPT, str(scene), str(cut)], capture_output=True, text=True,
                       env=env, cwd=tmp_path, timeout=300)
    assert p.returncode == 0, p.stderr
    assert p.stderr == ""
    results = eval(p.stdout)
    assert results[0::2] == [5] * 4
    assert len(set(results[1::2])) == 1 and results[1].startswith(f"{cut}: ")
