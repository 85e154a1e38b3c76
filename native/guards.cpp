// Guards of the fast paths: method resolution lookups, cached per class version, and the tests built on them.
#include "guards.hpp"

#include "module.hpp"

namespace tessel {

PyObject* lookup_in_mro(PyTypeObject* type, PyObject* name, bool* failed) {
    *failed = false;
    PyObject* mro = type->tp_mro;
    if (!mro) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
#if PY_VERSION_HEX >= 0x030C0000
        Ref dict = Ref::steal(PyType_GetDict(base));
#else
        Ref dict = Ref::newref(base->tp_dict);
#endif
        if (!dict) continue;
        PyObject* found = PyDict_GetItemWithError(dict.get(), name);
        if (found) return found;
        if (PyErr_Occurred()) {
            *failed = true;
            return nullptr;
        }
    }
    return nullptr;
}

unsigned int type_tag(ModuleState& st, PyTypeObject* type) {
    if (current_tag(type)) return current_tag(type);
#if PY_VERSION_HEX >= 0x030C0000
    (void)st;
    PyUnstable_Type_AssignVersionTag(type);
#else
    {
        // Looking a name up on the class assigns the tag as a side effect. The name is one that no
        // class defines, and the lookup is the plain one of `type`, so no code of the class runs.
        PyObject* found = PyType_Type.tp_getattro(reinterpret_cast<PyObject*>(type), st.names.version_probe);
        Py_XDECREF(found);
        PyErr_Clear();
    }
#endif
    return current_tag(type);
}

PyObject* cached_lookup(ModuleState& st, PyTypeObject* type, PyObject* name, bool* failed) {
    *failed = false;
    const unsigned int tag = type_tag(st, type);
    if (!tag) return lookup_in_mro(type, name, failed);
    const uint64_t key = (reinterpret_cast<uintptr_t>(type) >> 4) * 0x9E3779B97F4A7C15ull ^
                         (reinterpret_cast<uintptr_t>(name) >> 3) * 0xC2B2AE3D27D4EB4Full;
    LookupCache::Entry& entry = st.lookups.entries[(key >> 40) % LookupCache::kSize];
    if (entry.type == type && entry.name == name && entry.tag == tag) return entry.found;
    PyObject* found = lookup_in_mro(type, name, failed);
    if (!*failed) entry = LookupCache::Entry{type, tag, name, found};
    return found;
}

bool is_plain_attribute(ModuleState& st, PyTypeObject* type, PyObject* name) {
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    bool failed = false;
    if (cached_lookup(st, type, name, &failed) || failed) {
        PyErr_Clear();
        return false;
    }
    return true;
}

void plain_values(PyObject* obj, PyObject* const* names, PyObject** values, int count) {
    PyObject* dict = reinterpret_cast<Instance*>(obj)->dict;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    // The constructors set these attributes first, under the interned names, so the leading
    // entries of the namespace are usually them: take them in order without hashing.
    int taken = 0;
    while (dict && taken < count && PyDict_Next(dict, &pos, &key, &value) && key == names[taken]) {
        values[taken++] = value;
    }
    for (int i = taken; i < count; ++i) values[i] = plain_value(obj, names[i]);
}

bool keeps_plain(ModuleState& st, PlainVerdict& verdict, PyTypeObject* type, PyObject* const* names, int count) {
    const unsigned int tag = type_tag(st, type);
    if (tag && verdict.type == type && verdict.tag == tag) return verdict.plain;
    bool plain = type->tp_setattro == PyObject_GenericSetAttr && type->tp_getattro == PyObject_GenericGetAttr;
    for (int i = 0; plain && i < count; ++i) plain = is_plain_attribute(st, type, names[i]);
    if (tag) verdict = PlainVerdict{type, tag, plain};
    return plain;
}

bool write_attr(PyObject* obj, PyObject* name, PyObject* value, bool plain, PyObject* fresh) {
    if (!plain) return PyObject_SetAttr(obj, name, value) == 0;
    PyObject*& dict = reinterpret_cast<Instance*>(obj)->dict;
    if (!dict) {
        // The copy shares the keys of the class's instances: no table of its own to build.
        dict = fresh && PyDict_Contains(fresh, name) == 1 ? PyDict_Copy(fresh) : PyDict_New();
        if (!dict) return false;
    }
    return PyDict_SetItem(dict, name, value) == 0;
}

int uses_base_method(ModuleState& st, PyObject* obj, PyTypeObject* layout, PyObject* name, PyObject* base_function,
                     bool dict_known) {
    if (!PyObject_TypeCheck(obj, layout) || Py_TYPE(obj)->tp_getattro != PyObject_GenericGetAttr) return 0;
    bool failed = false;
    if (cached_lookup(st, Py_TYPE(obj), name, &failed) != base_function) return failed ? -1 : 0;
    // An instance attribute of that name would shadow the method.
    PyObject* dict = reinterpret_cast<Instance*>(obj)->dict;
    if (!dict || dict_known) return 1;
    const int shadowed = PyDict_Contains(dict, name);
    return shadowed < 0 ? -1 : !shadowed;
}

}  // namespace tessel
