// Module state, the call context of native methods, and the helpers every subsystem shares.
#pragma once
#include <Python.h>

#include <cstring>

#include "compat.hpp"
#include "guards.hpp"
#include "names.hpp"
#include "ref.hpp"

namespace tessel {

struct Names {
    TESSEL_NAMES(TESSEL_NAME_FIELD)
};

// X(type, field): the objects the module state owns besides the names.
//  - the classes of the module;
//  - the objects the fast paths were written against (a rebound name switches them off);
//  - the shared default `context` of go_to, created with the class;
//  - the base class's methods that fast paths stand in for, to tell whether a machine overrides them.
#define TESSEL_STATE_OBJECTS(X)                                                                 \
    X(PyTypeObject, function_type) X(PyTypeObject, state_type) X(PyTypeObject, path_type)       \
    X(PyTypeObject, machine_type) X(PyObject, re_module) X(PyObject, re_sub)                    \
    X(PyObject, re_search) X(PyObject, default_context) X(PyObject, base_create_graph)          \
    X(PyObject, base_find_all_paths_helper) X(PyObject, base_find_all_paths)                    \
    X(PyObject, base_get_state) X(PyObject, base_validate) X(PyObject, base_update_pattern)             \
    X(PyObject, base_validate_update) X(PyObject, base_add_state) X(PyObject, base_add_path)        \
    X(PyObject, state_init_function) X(PyObject, path_init_function) X(PyObject, state_template)   \
    X(PyObject, path_template) X(PyObject, machine_template) X(PyObject, base_hostname)              \
    X(PyObject, base_learn_hostname) X(PyObject, re_compile) X(PyObject, base_pattern)                \
    X(PyObject, base_substitute_hostname) X(PyObject, base_substitute_learn_hostname)                \
    X(PyObject, base_current_state) X(PyObject, base_update_cur_state) X(PyObject, engine_keywords)    \
    X(PyObject, state_template_full) X(PyObject, path_template_full) X(PyObject, object_class)     \
    X(PyObject, re_escape)

// Module-level names looked up once while the module namespace stays unchanged.
struct GlobalsCache {
    static constexpr int kSize = 16;
    PyObject* dict;  // the namespace the entries came from, compared only
    uint64_t tag;
    uint64_t changes;
    int count;
    PyObject* names[kSize];   // interned, borrowed from Names
    PyObject* values[kSize];  // borrowed from the namespace, valid while it is unchanged
};

// Whether a class keeps a set of attributes as plain __dict__ entries, for the class and version
// tag it was worked out for.
struct PlainVerdict {
    PyTypeObject* type;  // compared only; the tag tells a class from one later at the same address
    unsigned int tag;
    bool plain;
};

// Whether the module's `re` is the one imported, with its own search, sub, compile and escape, checked
// again only when the `re` module's namespace changed.
struct RegexCheck {
    PyObject* re_dict;  // compared only
    uint64_t tag;
    uint64_t changes;
    bool original;
};

struct ModuleState {
#define TESSEL_STATE_FIELD(type, field) type* field;
    TESSEL_STATE_OBJECTS(TESSEL_STATE_FIELD)
#undef TESSEL_STATE_FIELD
    Names names;
    LookupCache lookups;
    GlobalsCache globals;
    PlainVerdict state_plain, path_plain, machine_plain;
    RegexCheck regex;
    // Counts `__class__` and `__dict__` assignments on our objects: changes no dict shows.
    uint64_t identity_changes;
    // What the last native construction of a State or Path did to its new dict (up to 3.11):
    // its version tag after the copy and after the writes, when nothing else ran meanwhile.
    struct {
        PyObject* obj;  // compared only
        uint64_t first, last;
    } built;
    int dict_watcher;  // the module's dict watcher (3.12+), when `watching`
    bool watching;
};

ModuleState* module_state(PyObject* module);

// What a native method sees of its module while it runs.
struct Module {
    ModuleState& st;
    const Names& n;
    PyObject* dict;  // the module namespace, borrowed from the module the method belongs to
};

// Layout shared by State, Path and StateMachine: everything lives in the instance __dict__.
struct Instance {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
};

// A native method: its parameters (self included) are bound, omitted optional ones are null.
using Impl = PyObject* (*)(const Module& m, PyObject* const* args);

struct FunctionSpec {
    const char* name;        // bare name, used in binding messages
    const char* qualname;    // Class.name
    const char* params;      // parameter names separated by blanks
    int nrequired;           // leading parameters without default
    Impl impl;
    const char* doc;
    const char* signature;   // text signature for introspection, or null
};

// ---- attribute access and calls -----------------------------------------------------------

inline Ref getattr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

inline bool setattr(PyObject* obj, PyObject* name, PyObject* value) {
    return PyObject_SetAttr(obj, name, value) == 0;
}

// Looks a module-level name up at call time, as a global of the module's code would be.
Ref global(const Module& m, PyObject* name);

template <typename... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* argv[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(callable, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
}

// Calls self.<name>(args...), found on the instance so that overrides take effect.
template <typename... Args>
Ref call_method(PyObject* self, PyObject* name, Args... args) {
    PyObject* argv[] = {nullptr, self, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, argv + 1,
                                                (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// isinstance(obj, <module-level name>): 1, 0, or -1 with an error set.
int is_instance_of_global(const Module& m, PyObject* obj, PyObject* class_name);

// -1 on error, else the truth of obj.<name>.
int attr_truth(PyObject* obj, PyObject* name);

// ---- class building -----------------------------------------------------------------------

// A new subclassable heap class with the shared instance layout, or a larger one whose extra
// fields `traverse`, `clear` and `dealloc` (all or none given) take care of.
struct ClassLayout {
    Py_ssize_t basicsize = sizeof(Instance);
    traverseproc traverse = nullptr;
    inquiry clear = nullptr;
    destructor dealloc = nullptr;
    initproc init = nullptr;  // a native tp_init, if any
    bool model = false;       // State or Path: __class__ assignments are counted too
};
PyTypeObject* make_class(PyObject* module, const char* spec_name, const char* doc, const ClassLayout& layout = {});
int instance_traverse(PyObject* self, visitproc visit, void* arg);
int instance_clear(PyObject* self);
Ref make_function(PyObject* module, const FunctionSpec& spec);
bool add_method(PyObject* module, PyTypeObject* cls, const FunctionSpec& spec);
bool add_static_method(PyObject* module, PyTypeObject* cls, const FunctionSpec& spec);
bool add_property(PyObject* module, PyTypeObject* cls, const char* name, const FunctionSpec& getter,
                  const FunctionSpec& setter, const char* doc);
int function_type_init(PyObject* module, ModuleState& st);
// Puts a method into a class's namespace without touching the class's slots (so that a native
// tp_init stays in place under a native __init__).
bool add_method_keeping_slots(PyObject* module, PyTypeObject* cls, const FunctionSpec& spec, PyObject** function);
// tp_init and the class call of a class whose __init__ is the native function in `Init`.
template <PyObject* ModuleState::*Init>
int native_tp_init(PyObject* self, PyObject* args, PyObject* kwds);
template <PyObject* ModuleState::*Init>
PyObject* native_class_call(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames);
// The module of one of our classes or of a subclass (borrowed); null with an error if none.
PyObject* module_of(PyTypeObject* type);
// Two dicts sharing their keys with the instances of a plain class whose instances take `names` in
// that order: one holding names[0] only, what write_attr copies for a new instance, and one holding
// every name, for constructors that run no code of others while they fill it. `values` are the
// values held.
bool shared_keys_templates(const char* class_name, PyObject* const* names, PyObject* const* values, int count,
                           PyObject** first_only, PyObject** full);

// ---- direct instance access ---------------------------------------------------------------

// The value of a plain attribute straight from obj's __dict__ (borrowed); null, with no error, if absent.
inline PyObject* plain_value(PyObject* obj, PyObject* name) {
    PyObject* dict = reinterpret_cast<Instance*>(obj)->dict;
    if (!dict) return nullptr;
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (!value) PyErr_Clear();
    return value;
}

// plain_value for several names at once (borrowed, null where absent).
void plain_values(PyObject* obj, PyObject* const* names, PyObject** values, int count);

// True when instances of `type` (our layout) keep every one of `names` as a plain __dict__ entry
// and set attributes the generic way; worked out once per class version.
bool keeps_plain(ModuleState& st, PlainVerdict& verdict, PyTypeObject* type, PyObject* const* names, int count);

// obj.<name>: straight from the instance dict when `plain` (the caller checked that obj's class
// keeps it there), else by attribute lookup, which also raises for a missing attribute.
inline Ref read_attr(PyObject* obj, PyObject* name, bool plain) {
    if (plain) {
        if (PyObject* value = plain_value(obj, name)) return Ref::newref(value);
    }
    return getattr(obj, name);
}

// obj.<name> = value: straight into the instance dict when `plain`. An object without a dict yet
// gets a copy of `fresh` (a dict holding `name` only, whose keys the class's instances share).
bool write_attr(PyObject* obj, PyObject* name, PyObject* value, bool plain, PyObject* fresh);

// self.current_state, self.get_state(name) and self.update_cur_state(state), run here when they
// are the class's own.
Ref machine_current_state(const Module& m, PyObject* self);
Ref call_get_state(const Module& m, PyObject* self, PyObject* name);
bool call_update_cur_state(const Module& m, PyObject* self, PyObject* state);

// A State as it is; anything else looked up by name through self.get_state.
Ref as_state(const Module& m, PyObject* self, PyObject* state);
// as_state for a pair, as two calls in order would give.
bool as_states(const Module& m, PyObject* self, PyObject* from, PyObject* to, Ref& from_state, Ref& to_state);

// ---- the model's layouts ---------------------------------------------------------------------

// What a state remembers of its last pattern read: the inputs, the text, and its compiled form.
struct PatternMemo {
    PyObject* list;      // the _pattern list read (owned, compared by identity)
    PyObject* items;     // a tuple of its items then (owned)
    PyObject* hostname;  // the hostname read (owned); null when learning
    bool learn;
    PyObject* text;      // the pattern (owned)
    PyObject* compiled;  // re.compile(text) once asked for (owned), or null
};

// Layout of State instances.
struct StateObject {
    Instance base;
    PatternMemo* memo;
};

// state.pattern as its getter gives it. With `compiled`, also the compiled pattern (borrowed from
// the state's memo) where the pattern could be remembered, else null there.
Ref state_pattern(const Module& m, PyObject* state, PyObject** compiled);
// The module's `re` is the interpreter's, with its own search, sub and compile, and
// HOSTNAME_SUBST_PAT is "%N": what the native substitutions and the memo were written against.
bool regex_is_original(const Module& m);

// The attributes a State (Path) sets, in the order its constructor sets them.
void state_attributes(const Names& n, PyObject** names);  // 5 names
void path_attributes(const Names& n, PyObject** names);   // 4 names
// obj is a State (Path) of our layout whose class keeps those attributes as plain entries.
bool state_is_plain(const Module& m, PyObject* obj);
bool path_is_plain(const Module& m, PyObject* obj);

// ---- subsystem entry points ---------------------------------------------------------------

int model_init(PyObject* module, ModuleState& st);    // State and Path
int machine_init(PyObject* module, ModuleState& st);  // StateMachine

// Members of StateMachine implemented outside the registry.
extern const FunctionSpec create_graph_spec, find_all_paths_helper_spec, find_all_paths_spec,
    get_shortest_path_spec, dotgraph_spec, go_to_spec, detect_state_spec;

}  // namespace tessel
