// Module frame: initialisation, module state, the namespace and the shared error helpers.
#include "errors.hpp"
#include "index.hpp"
#include "module.hpp"

namespace tessel {
namespace {

const char module_doc[] =
    "Device state machine of a connection.\n"
    "\n"
    "Each state of a device's command line is defined with State, and a link between two\n"
    "states with Path. A StateMachine consumes both and provides the operations that compute\n"
    "the path between two states and that perform state changes on the device.\n";

int state_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = module_state(module);
    if (!st) return 0;
#define TESSEL_VISIT_OBJECT(type, field) Py_VISIT(st->field);
    TESSEL_STATE_OBJECTS(TESSEL_VISIT_OBJECT)
#undef TESSEL_VISIT_OBJECT
#define TESSEL_VISIT_NAME(field, text) Py_VISIT(st->names.field);
    TESSEL_NAMES(TESSEL_VISIT_NAME)
#undef TESSEL_VISIT_NAME
    return 0;
}

int state_clear(PyObject* module) {
    ModuleState* st = module_state(module);
    if (!st) return 0;
#define TESSEL_CLEAR_OBJECT(type, field) Py_CLEAR(st->field);
    TESSEL_STATE_OBJECTS(TESSEL_CLEAR_OBJECT)
#undef TESSEL_CLEAR_OBJECT
#define TESSEL_CLEAR_NAME(field, text) Py_CLEAR(st->names.field);
    TESSEL_NAMES(TESSEL_CLEAR_NAME)
#undef TESSEL_CLEAR_NAME
    return 0;
}

void state_free(void* module) {
    state_clear(static_cast<PyObject*>(module));
    if (ModuleState* st = module_state(static_cast<PyObject*>(module))) index_watch_free(*st);
}

int intern_names(Names& names) {
#define TESSEL_INTERN_NAME(field, text) \
    if (!(names.field = PyUnicode_InternFromString(text))) return -1;
    TESSEL_NAMES(TESSEL_INTERN_NAME)
#undef TESSEL_INTERN_NAME
    return 0;
}

// from <module_name> import <name>: binds the name in our namespace and returns it (borrowed).
PyObject* import_name(PyObject* module, const char* module_name, PyObject* name) {
    Ref source = Ref::steal(PyImport_ImportModule(module_name));
    if (!source) return nullptr;
    Ref value = getattr(source.get(), name);
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%s'", name, module_name);
        }
        return nullptr;
    }
    if (PyModule_AddObjectRef(module, PyUnicode_AsUTF8(name), value.get()) < 0) return nullptr;
    return value.get();
}

int import_collaborators(PyObject* module, ModuleState& st) {
    const Names& n = st.names;
    Ref re = Ref::steal(PyImport_ImportModule("re"));
    if (!re || PyModule_AddObjectRef(module, "re", re.get()) < 0) return -1;
    st.re_module = Ref::newref(re.get()).release();
    if (!(st.re_sub = getattr(re.get(), n.sub).release())) return -1;
    if (!(st.re_search = getattr(re.get(), n.search).release())) return -1;
    if (!(st.re_compile = getattr(re.get(), n.compile).release())) return -1;
    if (!(st.re_escape = getattr(re.get(), n.escape).release())) return -1;
    const struct {
        const char* from;
        PyObject* name;
    } imports[] = {
        {"tessel.core.errors", n.mod_error},
        {"tessel.eal.dialogs", n.mod_dialog},
        {"tessel.eal.dialogs", n.mod_statement},
        {"tessel.statemachine.statetransition", n.mod_transition},
        {"tessel.statemachine.statetransition", n.mod_any_transition},
        {"tessel.statemachine.statetransition", n.mod_hop_transition},
        {"tessel.utils", n.mod_attribute_dict},
    };
    for (const auto& item : imports) {
        if (!import_name(module, item.from, item.name)) return -1;
    }
    return PyModule_AddObjectRef(module, "HOSTNAME_SUBST_PAT", n.text_placeholder);
}

int module_exec(PyObject* module) {
    ModuleState* st = module_state(module);
    if (intern_names(st->names) < 0) return -1;
    index_watch_init(*st);
    if (function_type_init(module, *st) < 0) return -1;
    if (import_collaborators(module, *st) < 0) return -1;
    if (model_init(module, *st) < 0) return -1;
    return machine_init(module, *st);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessel.statemachine.statemachine",
    module_doc,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    state_traverse,
    state_clear,
    state_free,
};

}  // namespace

ModuleState* module_state(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

PyObject* module_of(PyTypeObject* type) { return PyType_GetModuleByDef(type, &module_def); }

Ref global(const Module& m, PyObject* name) {
    GlobalsCache& cache = m.st.globals;
    if (cache.dict != m.dict || !dict_unchanged(m.st, m.dict, cache.tag, cache.changes)) {
        cache.dict = m.dict;
        cache.count = 0;
        cache.changes = dict_changes_now();
        watch_dict(m.st, m.dict, &cache.tag);
    }
    for (int i = 0; i < cache.count; ++i) {
        if (cache.names[i] == name) return Ref::newref(cache.values[i]);
    }
    PyObject* value = PyDict_GetItemWithError(m.dict, name);
    if (value && cache.count < GlobalsCache::kSize) {
        cache.names[cache.count] = name;
        cache.values[cache.count++] = value;
    }
    if (!value && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
        if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::newref(value);
}

int is_instance_of_global(const Module& m, PyObject* obj, PyObject* class_name) {
    Ref cls = global(m, class_name);
    return cls ? PyObject_IsInstance(obj, cls.get()) : -1;
}

int attr_truth(PyObject* obj, PyObject* name) {
    Ref value = getattr(obj, name);
    return value ? PyObject_IsTrue(value.get()) : -1;
}

Ref new_machine_error(const Module& m, PyObject* message) {
    Ref cls = global(m, m.n.mod_error);
    return cls ? call(cls.get(), message) : Ref();
}

std::nullptr_t raise_object(Ref exc) {
    if (PyExceptionInstance_Check(exc.get())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

std::nullptr_t raise_error(const Module& m, Ref message) {
    if (!message) return nullptr;
    Ref exc = new_machine_error(m, message.get());
    return exc ? raise_object(std::move(exc)) : nullptr;
}

std::nullptr_t raise_error_in_context(const Module& m, Ref message, PyObject* caught) {
    HandlingScope handling(caught);
    return raise_error(m, std::move(message));
}

}  // namespace tessel

PyMODINIT_FUNC PyInit_statemachine(void) { return PyModuleDef_Init(&tessel::module_def); }
