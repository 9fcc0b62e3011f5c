// Traceback entries: the source layout "routes/free_models" that they point into, its lines, and
// the routine that adds an entry to a pending exception (traceback.cpp).
#ifndef ROUTES_TRACEBACK_H
#define ROUTES_TRACEBACK_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace fm {

// ---------------------------------------------------------------------------------------------
// Source lines
//
// Every line of "routes/free_models" (kSourceFile, the file that traceback entries name) that a
// failing step reports: the module-level statements, then each function's definition line and
// the statements of its body. The catalogue rows above carry their own lines.

inline constexpr char kSourceFile[] = "routes/free_models";

namespace line {
// module level
constexpr int registration = 1;  // sys.modules entry, constant tuples, the final __test__
constexpr int import_logging = 29;
constexpr int log = 31;
constexpr int model_base = 36;
constexpr int provider_type = 39;
constexpr int api_base = 41;
constexpr int keyless_placeholder = 45;
constexpr int attribution_bind = 48;
constexpr int attribution_build = 49;
constexpr int models = 55;
constexpr int optimal_bind = 67;
constexpr int optimal_table = 69;  // creating FREE_MODEL_OPTIMAL_PARAMS and inserting into it
constexpr int family_bind = 80;
constexpr int params_fallback = 87;
constexpr int max_tokens_fallback = 88;

namespace get_optimal_params {
constexpr int def = 91, normalise = 93, in_table = 94, copy_entry = 95, families = 96,
              prefix = 97, family_base = 98, family_update = 99, fallback = 101,
              fallback_max_tokens = 102;
}
namespace apply_optimal_params {
constexpr int def = 106, truth = 114, lookup = 116, update = 117, free_top_p = 120, log = 121,
              log_args = 122;
}
namespace get_free_model_choices {
constexpr int def = 126, new_list = 132, rows = 133, lookup = 134, append = 135, entry = 136,
              provider = 138, api_type = 139, api_base = 140, api_key = 141, modalities = 143,
              max_tokens = 145, temperature = 146, top_p = 147;
}
namespace resolve_free_model {
constexpr int def = 153, index = 160, lower_bound = 163, choices = 165, offset = 166,
              upper_bound = 167, copy = 169, inherit_test = 170, inherit = 171, log = 172;
}
namespace build_endpoint {
constexpr int def = 176, base = 182, versioned = 183, url_v1 = 184, url = 186, headers = 187,
              attribution = 188, authorization = 189, result = 190;
}

constexpr int max = 200;  // above every line here: the traceback code cache's size
}  // namespace line

// Adds the traceback entry of `site` (a FuncId, or site_init) at `line` to the pending exception,
// which stays as it is.
void add_traceback(int site, int line, PyObject *globals);

// After the interpreter that made them is finalized, the next import forgets the kept code
// objects without releasing them (module.cpp).
void forget_traceback_codes();

}  // namespace fm

#endif
