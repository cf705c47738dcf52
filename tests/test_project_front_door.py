"""corvel's front door inside a project whose [tool.corvel] table names a package of its own."""

import pytest
from test_project_package import generate, make_project

import corvel
from corvel import configs


@pytest.mark.parametrize(
    ("name", "said"),
    [
        ("source-faker", "'source-faker' is not in {installed}; SourceFakerConfig is in your project's package "
                         "myapp.connector_configs: from myapp.connector_configs import SourceFakerConfig"),
        ("source-postgres", "'source-postgres' has not been generated in {installed}; generate it with: "
                            "corvel-generate source-postgres"),
    ],
)
def test_a_class_missing_from_the_installed_tree_is_looked_for_in_the_project(tmp_path, monkeypatch, capsys, name,
                                                                             said):
    project = make_project(tmp_path / "proj", "src")
    assert generate(monkeypatch, capsys, project / "scripts", "source-faker")[0] == 0
    monkeypatch.setattr(configs, "installed_tree", lambda: tmp_path / "installed")  # holds nothing generated
    with pytest.raises(configs.NotGeneratedError) as raised:
        corvel.config_class(name)
    assert str(raised.value) == said.format(installed=tmp_path / "installed" / "connector_configs")
