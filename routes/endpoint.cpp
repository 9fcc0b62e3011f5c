// build_endpoint(api_base, headers): the free tier's request URL and headers.
#include "kept.h"
#include "objects.h"
#include "traceback.h"

#include <cstring>

namespace fm {

namespace {

// `base.rstrip("/")`
PyObject *strip_slashes(PyObject *base)
{
    if (!PyUnicode_CheckExact(base))
        return PyObject_CallMethodOneArg(base, interned(s_rstrip), interned(s_slash));
    Py_ssize_t end = PyUnicode_GET_LENGTH(base);
    int kind = PyUnicode_KIND(base);
    const void *data = PyUnicode_DATA(base);
    while (end > 0 && PyUnicode_READ(kind, data, end - 1) == '/')
        end--;
    if (end == PyUnicode_GET_LENGTH(base))
        return Py_NewRef(base);
    return PyUnicode_Substring(base, 0, end);
}

// `base.endswith("/v1")` as a truth value.
int ends_with_version(PyObject *base)
{
    if (PyUnicode_CheckExact(base))
        return (int)PyUnicode_Tailmatch(base, interned(s_v1), 0, PY_SSIZE_T_MAX, +1);
    Ref r = Ref::steal(PyObject_CallMethodOneArg(base, interned(s_endswith), interned(s_v1)));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// Header names are case-insensitive in HTTP: "authorization" is the same header as
// "Authorization" to every server, so any ASCII case variant counts.
bool is_authorization(PyObject *key)
{
    static const char target[] = "authorization";
    const Py_ssize_t n = sizeof target - 1;
    if (PyUnicode_Check(key)) {
        if (PyUnicode_GET_LENGTH(key) != n)
            return false;
        if (PyUnicode_IS_ASCII(key)) {
            // The name is all letters: setting bit 5 lower-cases exactly A-Z, and a character
            // that was not a letter cannot become one of the name's.
            const Py_UCS1 *p = PyUnicode_1BYTE_DATA(key);
            unsigned differ = 0;
            for (Py_ssize_t i = 0; i < n; i++)
                differ |= (unsigned)(p[i] | 0x20) ^ (unsigned char)target[i];
            return !differ;
        }
        for (Py_ssize_t i = 0; i < n; i++) {
            Py_UCS4 c = PyUnicode_READ_CHAR(key, i);
            if (c >= 128 || Py_TOLOWER((unsigned char)c) != target[i])
                return false;
        }
        return true;
    }
    if (PyBytes_Check(key)) {
        if (PyBytes_GET_SIZE(key) != n)
            return false;
        const char *p = PyBytes_AS_STRING(key);
        for (Py_ssize_t i = 0; i < n; i++) {
            if (Py_TOLOWER((unsigned char)p[i]) != target[i])
                return false;
        }
        return true;
    }
    return false;
}

// The first Authorization name of the plain dict `d` (borrowed), or NULL.
PyObject *find_authorization(PyObject *d)
{
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value)) {
        if (is_authorization(key))
            return key;
    }
    return nullptr;
}

// Removes every other spelling of Authorization, str or bytes, from the new dict. The dict is
// rebuilt from its other items rather than searched by key: a caller's key object decides its
// own hash, and one that changes it would survive a removal by lookup.
int drop_authorization(PyObject *headers)
{
    if (!find_authorization(headers))
        return 0;
    Ref items = Ref::steal(PyDict_Items(headers));
    if (!items)
        return -1;
    PyDict_Clear(headers);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); i++) {
        PyObject *item = PyList_GET_ITEM(items.get(), i);
        PyObject *name = PyTuple_GET_ITEM(item, 0);
        if (!is_authorization(name) &&
            PyDict_SetItem(headers, name, PyTuple_GET_ITEM(item, 1)) < 0)
            return -1;
    }
    return 0;
}

}  // namespace

const char doc_build_endpoint[] = PyDoc_STR(
"build_endpoint(api_base, headers)\n"
"\n"
"Return (url, headers) of a chat-completions request to the free tier, for\n"
"the host's _get_llm_endpoint. The attribution headers are added and no\n"
"Authorization header is sent, in any letter case: the free tier accepts\n"
"anonymous requests and answers 401 to a bearer token it does not know.");

PyObject *body_build_endpoint(Frame &f, PyObject *const *args)
{
    PyObject *api_base = args[0], *headers = args[1];

    f.line = line::build_endpoint::base;
    int given = PyObject_IsTrue(api_base);
    if (given < 0)
        return nullptr;
    Ref chosen = given ? Ref::borrow(api_base)
                       : Ref::steal(lookup_global(f, s_FREE_API_BASE));
    if (!chosen)
        return nullptr;
    Ref url;
    if (PyUnicode_CheckExact(chosen.get()) && PyUnicode_IS_ASCII(chosen.get())) {
        // `base = chosen.rstrip("/")`, `base.endswith("/v1")` and `base + suffix` at once for
        // ASCII text: the url is the only new object, and only memory can fail (at its line).
        const char *text = (const char *)PyUnicode_1BYTE_DATA(chosen.get());
        Py_ssize_t end = PyUnicode_GET_LENGTH(chosen.get());
        while (end > 0 && text[end - 1] == '/')
            end--;
        bool versioned = end >= 3 && memcmp(text + end - 3, "/v1", 3) == 0;
        f.line = versioned ? line::build_endpoint::url_v1 : line::build_endpoint::url;
        PyObject *suffix = interned(versioned ? s_chat_completions : s_v1_chat_completions);
        Py_ssize_t n = PyUnicode_GET_LENGTH(suffix);
        url = Ref::steal(PyUnicode_New(end + n, 127));
        if (!url)
            return nullptr;
        char *out = (char *)PyUnicode_1BYTE_DATA(url.get());
        memcpy(out, text, (size_t)end);
        memcpy(out + end, PyUnicode_1BYTE_DATA(suffix), (size_t)n);
    }
    else {
        Ref base = Ref::steal(strip_slashes(chosen.get()));
        if (!base)
            return nullptr;
        f.line = line::build_endpoint::versioned;
        int versioned = ends_with_version(base.get());
        if (versioned < 0)
            return nullptr;
        f.line = versioned ? line::build_endpoint::url_v1 : line::build_endpoint::url;
        PyObject *suffix = interned(versioned ? s_chat_completions : s_v1_chat_completions);
        // str + str is a concatenation; anything else answers `+` its own way
        url = Ref::steal(PyUnicode_CheckExact(base.get()) ? PyUnicode_Concat(base.get(), suffix)
                                                         : PyNumber_Add(base.get(), suffix));
        if (!url)
            return nullptr;
    }

    f.line = line::build_endpoint::headers;
    int has_headers = PyObject_IsTrue(headers);
    if (has_headers < 0)
        return nullptr;
    Ref out;
    if (has_headers && !(out = Ref::steal(dict_of(headers))))
        return nullptr;

    f.line = line::build_endpoint::attribution;
    Ref attribution = Ref::steal(lookup_global(f, s_FREE_ATTRIBUTION_HEADERS));
    if (!attribution)
        return nullptr;
    if (out) {
        if (update(out.get(), attribution.get()) < 0)
            return nullptr;
    }
    else if (quiet_lookup(attribution.get())) {
        out = Ref::steal(PyDict_Copy(attribution.get()));  // `{}` updated with it
        if (!out)
            return nullptr;
    }
    else {
        out = Ref::steal(PyDict_New());
        if (!out || update(out.get(), attribution.get()) < 0)
            return nullptr;
    }

    f.line = line::build_endpoint::authorization;
    // The exact name goes as pop() removes it, keys that only compare equal to it included;
    // then every other letter case, since header names are case-insensitive to every server.
    if (quiet_lookup(out.get())) {
        // Keys of str only: both are the removal of each key that spells Authorization in
        // some letter case, and removing an exact str runs nothing.
        while (PyObject *name = find_authorization(out.get())) {
            Ref held = Ref::borrow(name);
            if (PyDict_DelItem(out.get(), name) < 0)
                return nullptr;
        }
    }
    else if (PyDict_Pop(out.get(), interned(s_Authorization), nullptr) < 0 ||
             drop_authorization(out.get()) < 0) {
        return nullptr;
    }

    f.line = line::build_endpoint::result;
    return PyTuple_Pack(2, url.get(), out.get());
}

}  // namespace fm
