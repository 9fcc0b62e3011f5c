"""The road of one chat request, in process, for every catalogue model: the selector list,
resolution of its index, the optimal parameters, then the request URL and headers."""
from conftest import CATALOGUE, optimal, shipped


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
