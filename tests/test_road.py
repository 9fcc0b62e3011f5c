"""The road of one chat request, in process, for every catalogue model: the selector list,
resolution of its index, the optimal parameters, then the request URL and headers; and the
README's host snippet on that road, beside examples/host.py. (Over loopback HTTP: test_demo.py;
from an installed wheel or `make install`: test_deploy.py.)"""
import pathlib
import re
import sys

import pytest

from conftest import CATALOGUE, optimal, shipped

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()
sys.path.insert(0, str(ROOT / "examples"))

import host as example_host  # noqa: E402


def test_chat_request_for_every_free_model(fm):
    all_config = {"system_prompt": "Be brief.", "models": [{"name": "own"}]}
    choices = fm.get_free_model_choices()
    models = [row[1] for row in fm.FREE_MODELS]
    assert [choice["model"] for choice in choices] == models
    assert shipped(models) == [m.id for m in CATALOGUE]
    for i, model in enumerate(models):
        temperature, top_p, max_tokens = optimal(fm, model)
        llm_config = fm.resolve_free_model(fm.FREE_MODEL_BASE + i, all_config)
        assert fm.apply_optimal_params(llm_config) is llm_config
        assert [llm_config[k] for k in ("model", "temperature", "top_p", "max_tokens",
                                        "system_prompt", "_free_top_p")] == [
            model, temperature, top_p, max_tokens, "Be brief.", top_p]
        assert list(llm_config)[-2:] == ["system_prompt", "_free_top_p"]
        url, headers = fm.build_endpoint(llm_config["api_base"], {
            "Content-Type": "application/json", "Authorization": "Bearer " + llm_config["api_key"]})
        assert url == fm.FREE_API_BASE + "/chat/completions"
        assert list(headers) == ["Content-Type", "HTTP-Referer", "X-Title"]
    assert all_config == {"system_prompt": "Be brief.", "models": [{"name": "own"}]}
    past_end = fm.resolve_free_model(fm.FREE_MODEL_BASE + len(choices), all_config)
    assert past_end is None and fm.apply_optimal_params(past_end) is None


# ---------------------------------------------------------------------------------------------
# The README's host snippet

def readme_snippet():
    """The Python block of the README's section on deploying into a host, as a module."""
    section = README.split("\n## Deploying into a host\n", 1)[1].split("\n## ", 1)[0]
    code, = re.findall(r"```python\n(.*?)```", section, re.S)
    namespace = {}
    exec(compile(code, "README.md", "exec"), namespace)
    return namespace


def test_readme_snippet_answers_as_the_example_host(fm):
    snippet, host = readme_snippet(), example_host.ChatHost()
    try:
        all_config = host.all_config
        own = len(all_config["models"])
        assert snippet["llm_config_list"](all_config) == host.llm_config_list()["models"]
        indexes = [*range(own), *(fm.FREE_MODEL_BASE + i for i in range(len(fm.FREE_MODELS)))]
        for index in indexes:
            config = snippet["llm_config_for"](index, all_config)
            assert config == host.llm_config_for(index)
            assert (snippet["_get_llm_endpoint"](config, example_host.DEFAULT_HEADERS)
                    == host._get_llm_endpoint(config))
            payload = snippet["chat_payload"](config, [], False)
            if index < own:  # the user's own model, untouched
                model = all_config["models"][index]
                assert (payload["temperature"], payload["max_tokens"]) == (
                    model["temperature"], model["max_tokens"])
                assert "top_p" not in payload and "_free_top_p" not in config
            else:
                assert payload["top_p"] == optimal(fm, config["model"])[1]
        for index in (own, -1, fm.FREE_MODEL_BASE + len(fm.FREE_MODELS)):
            with pytest.raises(LookupError):
                snippet["llm_config_for"](index, all_config)
            with pytest.raises(example_host.HostError):
                host.llm_config_for(index)
    finally:
        host.stop()
