// Binds vectorcall arguments to a method's named parameters, with the library's binding messages.
#pragma once
#include <Python.h>

namespace tessel {

// Upper bound on parameters of any method of the module (go_to has eight, self included).
constexpr Py_ssize_t kMaxParams = 8;

namespace binder_detail {

inline bool report_count(const char* name, Py_ssize_t nrequired, Py_ssize_t nparams, Py_ssize_t given) {
    const bool exact = nrequired == nparams;
    const char* bound = "exactly";
    Py_ssize_t expected = nrequired;
    if (!exact) {
        if (given < nrequired) {
            bound = "at least";
        } else {
            bound = "at most";
            expected = nparams;
        }
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name, bound,
                 expected, expected == 1 ? "" : "s", given);
    return false;
}

// Position of `key` among the parameter names, or -1; compares by pointer first, then by text.
inline Py_ssize_t find_param(PyObject* params, PyObject* key) {
    const Py_ssize_t n = PyTuple_GET_SIZE(params);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(params, i) == key) return i;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_Compare(PyTuple_GET_ITEM(params, i), key) == 0) return i;
    }
    return -1;
}

// Value passed by keyword for `param`, or null when it was not passed.
inline PyObject* keyword_value(PyObject* param, PyObject* const* kwvalues, PyObject* kwnames) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == param) return kwvalues[i];
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, param) == 0) return kwvalues[i];
    }
    return nullptr;
}

// Every keyword must name a parameter that positional arguments left open.
inline bool check_keywords(const char* name, PyObject* params, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
            return false;
        }
        const Py_ssize_t pos = find_param(params, key);
        if (pos < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
            return false;
        }
        if (pos < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, key);
            return false;
        }
    }
    return true;
}

}  // namespace binder_detail

// Fills out[0..nparams) with borrowed arguments; an omitted optional parameter is left null.
// The first `nrequired` parameters are required. Returns false with TypeError set on a binding fault.
inline bool bind_arguments(const char* name, PyObject* params, Py_ssize_t nrequired, PyObject* const* args,
                           size_t nargsf, PyObject* kwnames, PyObject** out) {
    using namespace binder_detail;
    const Py_ssize_t nparams = PyTuple_GET_SIZE(params);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > nparams) return report_count(name, nrequired, nparams, nargs);
    for (Py_ssize_t i = 0; i < nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < nrequired) return report_count(name, nrequired, nparams, nargs);
        return true;
    }
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t unused = nkw;
    for (Py_ssize_t i = nargs; i < nparams && unused > 0; ++i) {
        out[i] = keyword_value(PyTuple_GET_ITEM(params, i), kwvalues, kwnames);
        if (out[i]) {
            --unused;
        } else if (i < nrequired) {
            // Reports how many parameters were bound before the first missing one.
            return report_count(name, nrequired, nparams, i);
        }
    }
    for (Py_ssize_t i = nargs; i < nrequired; ++i) {
        if (!out[i]) return report_count(name, nrequired, nparams, i);
    }
    if (unused > 0) return check_keywords(name, params, nargs, kwnames);
    return true;
}

}  // namespace tessel
