// Guards of the fast paths: what a name resolves to on a class or an instance, checked cheaply.
#pragma once
#include <Python.h>

#include <cstdint>
#include <cstring>

namespace tessel {

struct ModuleState;

// Remembers lookups along a class's method resolution order per (class, name), while the class's
// version tag, which the interpreter changes whenever the class or one of its bases is modified,
// stays the same. Lives in the module state.
struct LookupCache {
    struct Entry {
        PyTypeObject* type;  // compared only
        unsigned int tag;
        PyObject* name;
        PyObject* found;  // borrowed from the class's namespace, valid while the tag holds
    };
    static constexpr size_t kSize = 256;
    Entry entries[kSize];
};

// `name` looked up along the class's method resolution order, as attribute lookup does; borrowed.
// Null when absent, with *failed set when the lookup raised.
PyObject* lookup_in_mro(PyTypeObject* type, PyObject* name, bool* failed);
// The same through the module's lookup cache.
PyObject* cached_lookup(ModuleState& st, PyTypeObject* type, PyObject* name, bool* failed);

// The class's version tag as it stands: 0 when it has none (never assigned, or the class changed).
inline unsigned int current_tag(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag;  // the flag is no longer kept; a valid tag is nonzero
#else
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// The class's version tag, assigned if it has none yet; 0 when the class cannot have one.
unsigned int type_tag(ModuleState& st, PyTypeObject* type);

// 1 when obj (of our `layout`) resolves obj.<name> to `base_function`: neither its class nor the
// instance overrides it; 0 otherwise; -1 on error. `dict_known`: the caller knows every key of
// obj's dict, none of them `name`.
int uses_base_method(ModuleState& st, PyObject* obj, PyTypeObject* layout, PyObject* name, PyObject* base_function,
                     bool dict_known = false);
// True when instances of `type` (one of our layouts) keep `name` as a plain __dict__ entry:
// generic attribute access and nothing of that name along the class's MRO.
bool is_plain_attribute(ModuleState& st, PyTypeObject* type, PyObject* name);

// True when objects of obj's type compare and hash by identity.
inline bool compares_by_identity(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    return t->tp_richcompare == PyBaseObject_Type.tp_richcompare && t->tp_hash == PyBaseObject_Type.tp_hash;
}

// Two exact str objects with the same text (no error possible).
inline bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    // Texts whose hashes are known and differ cannot be equal.
    const Py_hash_t hash_a = reinterpret_cast<PyASCIIObject*>(a)->hash;
    const Py_hash_t hash_b = reinterpret_cast<PyASCIIObject*>(b)->hash;
    if (hash_a != -1 && hash_b != -1 && hash_a != hash_b) return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// Interned text test by value: obj is a str equal to `text`.
inline bool is_text(PyObject* obj, PyObject* text) {
    return obj == text || (PyUnicode_Check(obj) && PyUnicode_Compare(obj, text) == 0);
}

}  // namespace tessel
