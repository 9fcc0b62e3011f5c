"""Checks routes/free_models.pyi against the built module with mypy's stubtest.

Arguments go to stubtest unchanged (the module name first). The module's five functions are
objects of its own `function` type, not Python functions: stubtest would call each of them "not a
function" and then go on to compare its signature with the stub's `def`. For a caller the two are
the same thing (a callable with those parameters), so that one complaint is lifted here for
objects of the module's function type; every other check, the signatures included, is
stubtest's own.
"""
import sys

from mypy import stubtest

import routes.free_models

FUNCTION = type(routes.free_models.get_optimal_params)
plain = getattr(stubtest, "is_probably_a_function", None)
if plain is None:
    sys.exit("check_stub: this mypy's stubtest has no is_probably_a_function; update this script")
stubtest.is_probably_a_function = lambda runtime: isinstance(runtime, FUNCTION) or plain(runtime)

sys.argv[0] = "stubtest"
sys.exit(stubtest.main())
