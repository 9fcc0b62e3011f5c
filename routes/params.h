// Sampling parameters (params.cpp): what the other bodies take of the module's own lookup.
#ifndef ROUTES_PARAMS_H
#define ROUTES_PARAMS_H

#include "function.h"
#include "ref.h"

namespace fm {

// The three values of a parameter set that a choice entry reads with `get`: a new reference
// each, or NULL where the set lacks the key.
struct ParamValues {
    Ref max_tokens, temperature, top_p;
};

// The module's own get_optimal_params(model_id), run in place for a caller that has just read
// the name and found the module's function: 0 with the answer (a new dict) in `params`, or,
// when `values` is given and the answer is a plain dict that only the caller would have seen,
// 1 with its three values there instead; -1 on error, with the traceback entry of
// get_optimal_params added.
int own_optimal_params(Frame &caller, PyObject *model_id, Ref &params, ParamValues *values);

}  // namespace fm

#endif
