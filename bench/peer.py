"""Free-model catalogue and helpers written as a plain Python module.

Benchmark peer of routes.free_models: the same tables, the same five functions and the same
results, written the way one would write them in Python. bench/run.py times both side by side;
tests/test_peer.py checks that they agree on the benchmark's cases, and the host programs of
tests/test_host_programs.py on whatever a host does to the tables.

The catalogue and constants are the module's, read when this file is imported: the tables are
deep copies, so that each side edits only its own. A model added to the module's catalogue is
a model of the peer as well.
"""
import copy
import logging

import routes.free_models as _module

log = logging.getLogger("tarnwick.free_models")

FREE_MODEL_BASE = _module.FREE_MODEL_BASE
FREE_PROVIDER_TYPE = _module.FREE_PROVIDER_TYPE
FREE_API_BASE = _module.FREE_API_BASE
FREE_KEYLESS_PLACEHOLDER = _module.FREE_KEYLESS_PLACEHOLDER
FREE_ATTRIBUTION_HEADERS = copy.deepcopy(_module.FREE_ATTRIBUTION_HEADERS)

# (display name, model id, context window)
FREE_MODELS = copy.deepcopy(_module.FREE_MODELS)
# model id: {"temperature", "top_p", "max_tokens"}
FREE_MODEL_OPTIMAL_PARAMS = copy.deepcopy(_module.FREE_MODEL_OPTIMAL_PARAMS)
# (prefix, {"temperature", "top_p"}); tested in order, the first prefix the model id starts
# with wins.
_FREE_MODEL_FAMILY_PARAMS = copy.deepcopy(_module._FREE_MODEL_FAMILY_PARAMS)
_FREE_PARAMS_FALLBACK = copy.deepcopy(_module._FREE_PARAMS_FALLBACK)
_FREE_MAX_TOKENS_FALLBACK = _module._FREE_MAX_TOKENS_FALLBACK
del _module


def get_optimal_params(model_id):
    """Recommended sampling parameters for a model id: exact id, family prefix, fallback."""
    mid = str(model_id or "").strip().lower()
    if mid in FREE_MODEL_OPTIMAL_PARAMS:
        return dict(FREE_MODEL_OPTIMAL_PARAMS[mid])
    for prefix, family_params in _FREE_MODEL_FAMILY_PARAMS:
        if mid.startswith(prefix):
            params = dict(_FREE_PARAMS_FALLBACK)
            params.update(family_params)
            return params
    params = dict(_FREE_PARAMS_FALLBACK)
    params["max_tokens"] = _FREE_MAX_TOKENS_FALLBACK
    return params


def apply_optimal_params(cfg):
    """Overwrites the sampling values of cfg in place with its model's parameters."""
    if not cfg:
        return cfg
    params = get_optimal_params(cfg.get("model"))
    cfg.update(params)
    cfg["_free_top_p"] = params["top_p"]
    log.info("[FREE MODELS] auto-filled optimal params for %s: %s",
             cfg.get("model"), {k: v for k, v in params.items()})
    return cfg


def get_free_model_choices():
    """The free models as configuration entries for the model selector, built afresh."""
    choices = []
    for name, model_id, context_window in FREE_MODELS:
        opt = get_optimal_params(model_id)
        choices.append({
            "name": name,
            "model": model_id,
            "provider": FREE_PROVIDER_TYPE,
            "api_type": FREE_PROVIDER_TYPE,
            "api_base": FREE_API_BASE,
            "api_key": FREE_KEYLESS_PLACEHOLDER,
            "enabled": True,
            "modalities": ["text"],
            "max_context": context_window,
            "max_tokens": opt.get("max_tokens", _FREE_MAX_TOKENS_FALLBACK),
            "temperature": opt.get("temperature", _FREE_PARAMS_FALLBACK["temperature"]),
            "top_p": opt.get("top_p", _FREE_PARAMS_FALLBACK["top_p"]),
            "free": True,
        })
    return choices


def resolve_free_model(model_index, all_config=None):
    """The llm_config of the free model selected by model_index, or None."""
    try:
        idx = int(model_index)
    except (TypeError, ValueError):
        return None
    if idx < FREE_MODEL_BASE:
        return None
    choices = get_free_model_choices()
    offset = idx - FREE_MODEL_BASE
    if offset >= len(choices):
        return None
    cfg = dict(choices[offset])
    if all_config:
        cfg["system_prompt"] = cfg.get("system_prompt") or all_config.get("system_prompt", "")
    log.info("[FREE MODELS] resolved index %s -> %s", idx, cfg["model"])
    return cfg


def build_endpoint(api_base, headers):
    """Chat-completions URL and request headers for the free tier, without Authorization."""
    base = (api_base or FREE_API_BASE).rstrip("/")
    if base.endswith("/v1"):
        url = base + "/chat/completions"
    else:
        url = base + "/v1/chat/completions"
    out = dict(headers or {})
    out.update(FREE_ATTRIBUTION_HEADERS)
    out.pop("Authorization", None)
    # Header names are case-insensitive: every other spelling of Authorization goes too.
    for name in [k for k in out if isinstance(k, (str, bytes))
                 and (k.lower() if isinstance(k, str) else k.lower().decode("latin-1"))
                 == "authorization"]:
        del out[name]
    return url, out
