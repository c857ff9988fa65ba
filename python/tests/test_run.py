"""velmora.modules() and velmora.run(): the modules' own results and messages."""
import json

import numpy as np
import pytest

import velmora
from conftest import REPO, command

EXAMPLE = REPO / "examples" / "ThreshMin.json"
THRESH = json.loads(EXAMPLE.read_text())


def changed(**params):
    net = json.loads(json.dumps(THRESH))
    net["instances"]["thresh"]["params"].update(params)
    return net


def test_modules_list_their_declarations():
    mods = {m["name"]: m for m in velmora.modules()}
    assert {"ThreshMin", "CalcStatistic", "Isosurface", "DivIsovolume"} <= set(mods)
    t = {m["name"]: m for m in mods["ThreshMin"]["members"]}
    assert t["thresh_value"]["kind"] == "real" and t["in"]["role"] == "in" and t["out_nd"]["role"] == "out"
    assert mods["ThreshMin"]["entries"][0].startswith("ThreshMin")


def test_run_returns_fields_as_numpy_and_the_commands_dump(tmp_path):
    r = velmora.run(THRESH)
    assert r.messages == [] and [c["instance"] for c in r.calls] == ["thresh"]
    ze = r.fields["thresh.out_nd"]["node_data"][0]["values"]
    assert isinstance(ze, np.ndarray) and ze.dtype == np.float32
    src = np.array(THRESH["fields"]["grid"]["node_data"][0]["values"], np.float32)
    np.testing.assert_array_equal(ze, np.where(src < 15, -9999, src))
    assert r.instances["thresh"]["params"]["thresh_value"] == 15.0
    assert command("run", EXAMPLE, "--dump", tmp_path / "d.json").returncode == 0
    assert velmora.run(EXAMPLE).dump == json.loads((tmp_path / "d.json").read_text())


def test_failures_have_the_messages_of_the_modules_and_the_command(tmp_path):
    with pytest.raises(velmora.ModuleError) as e:
        velmora.run(changed(thresh_value=None))
    assert str(e.value) == e.value.messages[0] == "thresh : can not get thresh_value."
    path = tmp_path / "net.json"
    path.write_text(json.dumps(changed(thresh_valeu=20), indent=2))
    cmd = command("run", path)
    assert cmd.returncode == 2
    with pytest.raises(velmora.NetworkError) as e:
        velmora.run(path)
    assert str(e.value) == cmd.stderr.strip()
    with pytest.raises(velmora.NetworkError, match="not JSON"):
        velmora.run({"fields": {"a": float("nan")}})
    with pytest.raises(velmora.NetworkError):
        velmora.run(tmp_path / "missing.json")
    with pytest.raises(TypeError):
        velmora.run(42)
