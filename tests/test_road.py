"""The road of one chat request, in process, for every catalogue model: the selector list,
resolution of its index, the optimal parameters, then the request URL and headers."""
OPTIMAL = {
    "hy3-free": (0.7, 0.95, 16384),
    "laguna-s-2.1-free": (0.2, 0.9, 16384),
    "nemotron-3-ultra-free": (0.6, 0.95, 32768),
    "nemotron-3.5-lightning-free": (0.4, 0.95, 16384),
}


def test_chat_request_for_every_free_model(fm):
    all_config = {"system_prompt": "Be brief.", "models": [{"name": "own"}]}
    choices = fm.get_free_model_choices()
    assert [entry["model"] for entry in choices] == list(OPTIMAL)
    for i, entry in enumerate(choices):
        llm_config = fm.resolve_free_model(fm.FREE_MODEL_BASE + i, all_config)
        assert llm_config["model"] == entry["model"]
        assert fm.apply_optimal_params(llm_config) is llm_config
        temperature, top_p, max_tokens = OPTIMAL[entry["model"]]
        assert (llm_config["temperature"], llm_config["top_p"], llm_config["max_tokens"],
                llm_config["_free_top_p"]) == (temperature, top_p, max_tokens, top_p)
        assert list(llm_config)[-2:] == ["system_prompt", "_free_top_p"]
        assert llm_config["system_prompt"] == "Be brief."

        host_headers = {"Content-Type": "application/json",
                        "Authorization": "Bearer " + llm_config["api_key"],
                        "authorization": "Bearer " + llm_config["api_key"]}
        url, headers = fm.build_endpoint(llm_config["api_base"], host_headers)
        assert url == fm.FREE_API_BASE + "/chat/completions"
        assert url.endswith("/zen/v1/chat/completions")
        assert list(headers) == ["Content-Type", "HTTP-Referer", "X-Title"]
        assert headers["X-Title"] == "Tarnwick"
        assert not any(llm_config["api_key"] in value for value in headers.values())
    assert all_config == {"system_prompt": "Be brief.", "models": [{"name": "own"}]}

    past_end = fm.resolve_free_model(fm.FREE_MODEL_BASE + len(choices), all_config)
    assert past_end is None and fm.apply_optimal_params(past_end) is None
