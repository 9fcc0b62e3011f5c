# Typed interface of the routes.free_models extension module, for the host's type checker and
# editor. `make install HOST=DIR` puts it beside the built module in DIR/routes/.
#
# The TypedDicts and the alias below exist for the type checker only (the module defines no such
# classes): a host imports them under `if TYPE_CHECKING:`.
#
# The constants and tables are plain module attributes that the functions read at every call;
# the host may rebind them or change them in place, so none of them is Final.
import logging
from collections.abc import Iterable, Mapping, MutableMapping
from typing import Any, NotRequired, SupportsIndex, SupportsInt, TypeAlias, TypedDict, TypeVar
from typing import overload, type_check_only

@type_check_only
class OptimalParams(TypedDict):
    """A parameter set: the per-model table and the generic fallback carry max_tokens, a family
    set does not."""

    temperature: float
    top_p: float
    max_tokens: NotRequired[int]

@type_check_only
class FreeModelEntry(TypedDict):
    """One entry of get_free_model_choices(): the 13 keys, in this order."""

    name: str
    model: str
    provider: str
    api_type: str
    api_base: str
    api_key: str
    enabled: bool
    modalities: list[str]
    max_context: int
    max_tokens: int
    temperature: float
    top_p: float
    free: bool

@type_check_only
class FreeModelConfig(FreeModelEntry):
    """The llm_config of one request: resolve_free_model's copy of an entry, with the global
    system prompt when all_config was true (whatever all_config.get("system_prompt", "") gave),
    and _free_top_p once apply_optimal_params has filled it in."""

    system_prompt: NotRequired[Any]
    _free_top_p: NotRequired[float]

# What the integer conversion of resolve_free_model takes; other objects resolve to None.
_ModelIndex: TypeAlias = SupportsInt | SupportsIndex | str | bytes | bytearray | None

# apply_optimal_params fills the configuration in place and returns that very object (None, and
# any other false value, passes through untouched), so the caller keeps its own static type. It
# writes into it, so a read-only mapping (MappingProxyType) is refused; resolve_free_model's
# TypedDict is accepted by name, since no TypedDict is a MutableMapping to the type checker.
_Config = TypeVar("_Config", bound=MutableMapping[str, Any])

log: logging.Logger
__test__: dict[str, Any]

FREE_MODEL_BASE: int
FREE_PROVIDER_TYPE: str
FREE_API_BASE: str
FREE_KEYLESS_PLACEHOLDER: str
FREE_ATTRIBUTION_HEADERS: dict[str, str]
# (display name, model id, context window)
FREE_MODELS: list[tuple[str, str, int]]
FREE_MODEL_OPTIMAL_PARAMS: dict[str, OptimalParams]

def get_optimal_params(model_id: object) -> OptimalParams: ...
@overload
def apply_optimal_params(cfg: _Config) -> _Config: ...
@overload
def apply_optimal_params(cfg: FreeModelConfig) -> FreeModelConfig: ...
@overload
def apply_optimal_params(cfg: None) -> None: ...
def get_free_model_choices() -> list[FreeModelEntry]: ...
def resolve_free_model(
    model_index: _ModelIndex, all_config: Mapping[str, Any] | None = None
) -> FreeModelConfig | None: ...
def build_endpoint(
    api_base: str | None, headers: Mapping[str, str] | Iterable[tuple[str, str]] | None
) -> tuple[str, dict[str, str]]: ...
