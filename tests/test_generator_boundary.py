"""corvel's requests are the lines the generator module hands the shell."""

import shlex
import subprocess

import pytest
from conftest import mg

from corvel.generator_boundary import request_for

NAMES = ["source_x__1_0", "destination_été__2"]


@pytest.mark.parametrize("directory", ["plain", "a b", "it's", "$(touch pwned)\tü"])
def test_each_line_the_module_builds_is_the_request_made_for_it(monkeypatch, tmp_path, directory):
    root = tmp_path / directory
    (root / "connector_configs").mkdir(parents=True)
    lines = []
    monkeypatch.setattr(mg, "CURRENT_DIR", str(root))
    monkeypatch.setattr(mg, "subprocess", type("Recorder", (), {
        "run": staticmethod(lambda command, **_: lines.append(command)), "CalledProcessError": subprocess.CalledProcessError}))
    mg.generate_model_files(NAMES)
    requests = [request_for(str(root), name) for name in NAMES]
    assert [r.command for r in requests] == lines
    assert [r.arguments for r in requests] == [tuple(shlex.split(line)[1:]) for line in lines]
