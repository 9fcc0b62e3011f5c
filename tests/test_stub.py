"""The TypedDicts of routes/free_models.pyi against what the module really returns.

stubtest (`make typecheck`) compares the stub's functions and constants with the built module,
but it cannot see inside the dicts that the functions return: these tests hold the declared keys,
their order and their value types to the module's own results."""
import ast
import pathlib

import pytest

from conftest import CATALOGUE_IDS, KEYS

STUB = pathlib.Path(__file__).resolve().parent.parent / "routes" / "free_models.pyi"
# The annotations the TypedDicts use, and the runtime check each stands for.
CHECKS = {"str": lambda v: type(v) is str, "int": lambda v: type(v) is int,
          "float": lambda v: type(v) is float, "bool": lambda v: type(v) is bool,
          "list[str]": lambda v: type(v) is list and all(type(x) is str for x in v),
          "Any": lambda v: True}


def typed_dict(name):
    """{key: (annotation text, required)} of a TypedDict in the stub, bases' keys first."""
    classes = {node.name: node for node in ast.parse(STUB.read_text()).body
               if isinstance(node, ast.ClassDef)}
    node, fields = classes[name], {}
    for base in node.bases:
        if isinstance(base, ast.Name) and base.id in classes:
            fields.update(typed_dict(base.id))
    for item in node.body:
        if isinstance(item, ast.AnnAssign):
            text = ast.unparse(item.annotation)
            required = not text.startswith("NotRequired[")
            fields[item.target.id] = (text if required else text[len("NotRequired["):-1],
                                      required)
    return fields


def conforms(value, fields):
    """The keys of value that break the TypedDict: undeclared, missing, or of another type."""
    bad = [key for key in value if key not in fields or not CHECKS[fields[key][0]](value[key])]
    return bad + [key for key, (_, required) in fields.items() if required and key not in value]


def test_entry_declares_the_thirteen_keys_in_order(fm):
    entry = typed_dict("FreeModelEntry")
    assert list(entry) == KEYS and all(required for _, required in entry.values())
    for choice in fm.get_free_model_choices():
        assert conforms(choice, entry) == []


@pytest.mark.parametrize("all_config", [None, {"system_prompt": "Be brief."}, {"x": 1}])
@pytest.mark.parametrize("index", range(len(CATALOGUE_IDS)))
def test_config_covers_resolved_and_filled_configurations(fm, index, all_config):
    config = typed_dict("FreeModelConfig")
    assert [key for key, (_, required) in config.items() if not required] == [
        "system_prompt", "_free_top_p"]
    resolved = fm.resolve_free_model(fm.FREE_MODEL_BASE + index, all_config)
    assert conforms(resolved, config) == []
    assert conforms(fm.apply_optimal_params(resolved), config) == []


@pytest.mark.parametrize("model_id", ["hy3-free", "nemotron-3.5-lightning-free", "nemotron-x",
                                      "laguna", "gpt-x", None])
def test_optimal_params_cover_every_level_of_the_lookup(fm, model_id):
    params = typed_dict("OptimalParams")
    assert {key: required for key, (_, required) in params.items()} == {
        "temperature": True, "top_p": True, "max_tokens": False}
    assert conforms(fm.get_optimal_params(model_id), params) == []
    for table_entry in fm.FREE_MODEL_OPTIMAL_PARAMS.values():
        assert conforms(table_entry, params) == []
