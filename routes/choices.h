// The choice list (choices.cpp): its entries' values, and where the body of
// get_free_model_choices puts them, for itself and for resolve_free_model.
#ifndef ROUTES_CHOICES_H
#define ROUTES_CHOICES_H

#include "function.h"
#include "ref.h"

namespace fm {

// The values of a choice entry, by key, in the entry's key order.
enum EntryKey : int {
    k_name, k_model, k_provider, k_api_type, k_api_base, k_api_key, k_enabled, k_modalities,
    k_max_context, k_max_tokens, k_temperature, k_top_p, k_free,
    kEntryKeys
};
extern const StrId kEntryKeyName[kEntryKeys];

// One entry's values, owned (new references; the modalities slot stays NULL).
struct EntryValues {
    PyObject *at[kEntryKeys];
    void release() noexcept
    {
        for (PyObject *v : at)
            Py_XDECREF(v);
    }
};

// The catalogue's usual number of rows, with room to grow: the entries prepared across calls
// (choices.cpp), and the entry values kept without a heap allocation (ChoiceSink).
constexpr Py_ssize_t kUsualRows = 8;

// Where the body of get_free_model_choices puts each entry: into the list it returns, or, for
// resolve_free_model, which copies one entry at an offset known only once the list is complete,
// into a buffer of the entries' values, of which only the one copied is ever made into a dict.
class ChoiceSink {
public:
    explicit ChoiceSink(bool values_only) noexcept : values_only_(values_only) {}
    ChoiceSink(const ChoiceSink &) = delete;
    ChoiceSink &operator=(const ChoiceSink &) = delete;
    ~ChoiceSink();

    // The next entry's values go into *next() (cleared; NULL with MemoryError when no room can
    // be had), then add_next() takes them over; when it fails, or they fail, fail() does.
    EntryValues *next();
    int add_next();
    // The body failed, its `opt` being `last_opt`: what it held goes as plain Python lets go of
    // it. The entry under way goes now (its values were on the interpreter's stack), then, with
    // the sink, the list (the last entry first), then the body's locals in their order: the
    // name, id and context window last unpacked, and `opt`.
    void fail(Ref last_opt);
    Py_ssize_t size() const noexcept { return size_; }
    PyObject *release_list();                 // the list (entries made)
    // dict(entry[pos]), a new dict (values kept); with "system_prompt" set last when given
    PyObject *copy_of_entry(Py_ssize_t pos, PyObject *system_prompt);

private:
    bool values_only_;
    Py_ssize_t size_ = 0;
    Ref list_;
    // values kept: in place for the catalogue's usual size, on the heap beyond it
    EntryValues inline_[kUsualRows];
    EntryValues *rows_ = inline_;
    Py_ssize_t capacity_ = kUsualRows;
    EntryValues pending_;  // the entry being made, when entries are made
    bool open_ = false;    // next() has handed out a slot that add_next() has not taken over
    PyObject *last_fields_[3] = {};  // the last entry's name, id, context window (it holds them)
    PyObject *locals_[4] = {};       // owned after fail(): as the body's locals
};

// The body of get_free_model_choices: the entry of every catalogue row, in order, into `out`.
int build_choices(Frame &f, ChoiceSink &out);

}  // namespace fm

#endif
