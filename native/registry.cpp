// The StateMachine registry: construction, states, paths, current state, hostname and default statements.
#include "errors.hpp"
#include "index.hpp"
#include "module.hpp"

namespace tessel {
namespace {

const char machine_doc[] =
    "The state machine of one connection.\n"
    "\n"
    "It collects and validates the supported device states, collects the paths between\n"
    "them, computes the transition path from one state to any other, keeps track of the\n"
    "current device state, builds the Dialog for a state change at run time, enables\n"
    "hostname substitution, and changes the device state. Each state created outside the\n"
    "machine has to be added to it.";

PyObject* none() { return Py_NewRef(Py_None); }

// [s.name for s in self.states]
Ref state_names(const Module& m, PyObject* self) {
    Ref states = getattr(self, m.n.states);
    Ref iter = states ? Ref::steal(PyObject_GetIter(states.get())) : Ref();
    Ref names = iter ? Ref::steal(PyList_New(0)) : Ref();
    if (!names) return Ref();
    while (Ref state = Ref::steal(PyIter_Next(iter.get()))) {
        Ref name = getattr(state.get(), m.n.name);
        if (!name || PyList_Append(names.get(), name.get()) < 0) return Ref();
    }
    return PyErr_Occurred() ? Ref() : std::move(names);
}

// (path.from_state.name, path.to_state.name)
Ref path_key(const Module& m, PyObject* path) {
    Ref from = getattr(path, m.n.from_state);
    Ref from_name = from ? getattr(from.get(), m.n.name) : Ref();
    Ref to = from_name ? getattr(path, m.n.to_state) : Ref();
    Ref to_name = to ? getattr(to.get(), m.n.name) : Ref();
    return to_name ? Ref::steal(PyTuple_Pack(2, from_name.get(), to_name.get())) : Ref();
}

// [(p.from_state.name, p.to_state.name) for p in self.paths]
Ref path_keys(const Module& m, PyObject* self) {
    Ref paths = getattr(self, m.n.paths);
    Ref iter = paths ? Ref::steal(PyObject_GetIter(paths.get())) : Ref();
    Ref keys = iter ? Ref::steal(PyList_New(0)) : Ref();
    if (!keys) return Ref();
    while (Ref path = Ref::steal(PyIter_Next(iter.get()))) {
        Ref key = path_key(m, path.get());
        if (!key || PyList_Append(keys.get(), key.get()) < 0) return Ref();
    }
    return PyErr_Occurred() ? Ref() : std::move(keys);
}

// ---- construction -------------------------------------------------------------------------

PyObject* machine_construct(const Module& m, PyObject* const* a) {
    PyObject* self = a[0];
    if (!setattr(self, m.n.machine_hostname, a[1] ? a[1] : Py_None) ||
        !setattr(self, m.n.machine_learn_hostname, a[2] ? a[2] : Py_False)) {
        return nullptr;
    }
    Ref states = Ref::steal(PyList_New(0));
    Ref paths = Ref::steal(PyList_New(0));
    if (!states || !paths || !setattr(self, m.n.states, states.get()) || !setattr(self, m.n.paths, paths.get())) {
        return nullptr;
    }
    Ref dialog_class = global(m, m.n.mod_dialog);
    Ref empty = Ref::steal(PyList_New(0));
    Ref dialog = dialog_class && empty ? call(dialog_class.get(), empty.get()) : Ref();
    if (!dialog || !setattr(self, m.n.default_dialog, dialog.get())) return nullptr;
    if (!call_method(self, m.n.create)) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        Ref caught = fetch_exception();
        HandlingScope handling(caught.get());
        return raise_error(m, Ref::steal(PyUnicode_FromFormat("Creating state machine failed with error: %S",
                                                              caught.get())));
    }
    if (!setattr(self, m.n.current_state_attr, m.n.text_generic)) return nullptr;
    if (PyObject_TypeCheck(self, m.st.machine_type)) index_end_construction(self);
    return none();
}

PyObject* machine_create(const Module&, PyObject* const*) {
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
}

// ---- hostname settings and current state --------------------------------------------------

PyObject* hostname_get(const Module& m, PyObject* const* a) { return getattr(a[0], m.n.machine_hostname).release(); }

PyObject* learn_hostname_get(const Module& m, PyObject* const* a) {
    return getattr(a[0], m.n.machine_learn_hostname).release();
}

// Stores the value, then copies self.<property> (read through the getter) into every state.
PyObject* store_and_copy_to_states(const Module& m, PyObject* self, PyObject* stored_as, PyObject* property,
                                   PyObject* value) {
    if (!setattr(self, stored_as, value)) return nullptr;
    Ref states = getattr(self, m.n.states);
    Ref iter = states ? Ref::steal(PyObject_GetIter(states.get())) : Ref();
    if (!iter) return nullptr;
    while (Ref state = Ref::steal(PyIter_Next(iter.get()))) {
        Ref current = getattr(self, property);
        if (!current || !setattr(state.get(), property, current.get())) return nullptr;
    }
    return PyErr_Occurred() ? nullptr : none();
}

PyObject* hostname_set(const Module& m, PyObject* const* a) {
    return store_and_copy_to_states(m, a[0], m.n.machine_hostname, m.n.hostname, a[1]);
}

PyObject* learn_hostname_set(const Module& m, PyObject* const* a) {
    return store_and_copy_to_states(m, a[0], m.n.machine_learn_hostname, m.n.learn_hostname, a[1]);
}

PyObject* current_state_get(const Module& m, PyObject* const* a) {
    return getattr(a[0], m.n.current_state_attr).release();
}

PyObject* current_state_set(const Module& m, PyObject* const*) {
    return raise_error(m, Ref::steal(PyUnicode_FromString("State Machine current_state is readonly")));
}

PyObject* update_cur_state(const Module& m, PyObject* const* a) {
    Ref state = as_state(m, a[0], a[1]);
    Ref name = state ? read_attr(state.get(), m.n.name, state_is_plain(m, state.get())) : Ref();
    if (!name || !setattr(a[0], m.n.current_state_attr, name.get())) return nullptr;
    return none();
}

// ---- states -------------------------------------------------------------------------------

PyObject* add_state(const Module& m, PyObject* const* a);

// The machine's cache for a registration of `built`, marked quiet when the construction of
// `built` directly followed the last quiet registration; null when the machine has none yet.
MachineCache* open_registration(const Module& m, PyObject* self, PyObject* built) {
    if (!PyObject_TypeCheck(self, m.st.machine_type)) return nullptr;
    MachineCache* cache = reinterpret_cast<MachineObject*>(self)->cache;
    if (cache) cache->quiet_op = quiet_registration(m.st, *cache, built);
    return cache;
}

PyObject* create_state(const Module& m, PyObject* const* a) {
    Ref cls = global(m, m.n.mod_state);
    Ref state = cls ? call(cls.get(), a[1], a[2]) : Ref();
    if (!state) return nullptr;
    // self.add_state(state), run here when it is the class's own.
    const int base = machine_uses_base(m, a[0], BaseMethods::add_state);
    if (base < 0) return nullptr;
    if (!base) return call_method(a[0], m.n.add_state, state.get()) ? state.release() : nullptr;
    MachineCache* cache = open_registration(m, a[0], state.get());
    PyObject* args[] = {a[0], state.get()};
    Ref added = Ref::steal(add_state(m, args));
    if (cache) cache->quiet_op = false;
    return added ? state.release() : nullptr;
}

// The version tag of obj's dict (up to 3.11; 0 after).
uint64_t dict_version_of(PyObject* obj) {
#if PY_VERSION_HEX >= 0x030C0000
    (void)obj;
    return 0;
#else
    PyObject* dict = reinterpret_cast<Instance*>(obj)->dict;
    return dict ? reinterpret_cast<PyDictObject*>(dict)->ma_version_tag : 0;
#endif
}

// Appends to a registry list: list.append itself for an exact list, else the list's own append.
bool append_to(const Module& m, PyObject* list, PyObject* item) {
    if (PyList_CheckExact(list)) return PyList_Append(list, item) == 0;
    return bool(call_method(list, m.n.append, item));
}

// self.<property> of a hostname setting: the stored value straight from the machine's dict while
// the property is the class's own and the value a plain attribute. *direct tells which.
Ref machine_setting(const Module& m, PyObject* self, PyObject* property, PyObject* base_property, PyObject* stored_as,
                    bool* direct = nullptr) {
    if (direct) *direct = false;
    if (PyObject_TypeCheck(self, m.st.machine_type) && Py_TYPE(self)->tp_getattro == PyObject_GenericGetAttr) {
        bool failed = false;
        if (cached_lookup(m.st, Py_TYPE(self), property, &failed) == base_property &&
            is_plain_attribute(m.st, Py_TYPE(self), stored_as)) {
            if (direct) *direct = plain_value(self, stored_as) != nullptr;
            return read_attr(self, stored_as, true);
        }
        if (failed) return Ref();
    }
    return getattr(self, property);
}

PyObject* add_state(const Module& m, PyObject* const* a) {
    PyObject *self = a[0], *state = a[1];
    const int is_state = is_instance_of_global(m, state, m.n.mod_state);
    if (is_state <= 0) {
        return is_state < 0 ? nullptr
                            : raise_error(m, Ref::steal(PyUnicode_FromFormat("%S must be instance of State", state)));
    }
    const bool plain = state_is_plain(m, state);
    Ref name = read_attr(state, m.n.name, plain);
    if (!name) return nullptr;
    bool failed = false;
    StatesIndex* index = PyUnicode_CheckExact(name.get()) ? checked_states(m, self, &failed) : nullptr;
    if (failed) return nullptr;
    int duplicate;
    if (index) {
        duplicate = state_position(*index, name.get()) >= 0;
    } else {
        Ref names = state_names(m, self);
        duplicate = names ? PySequence_Contains(names.get(), name.get()) : -1;
    }
    if (duplicate != 0) {
        return duplicate < 0 ? nullptr
                             : raise_error(m, Ref::steal(PyUnicode_FromFormat("state with name %S already exists",
                                                                              name.get())));
    }
    Ref linked = read_attr(state, m.n.linked_sm, plain);
    const int attached = linked ? PyObject_IsTrue(linked.get()) : -1;
    if (attached != 0) {
        return attached < 0 ? nullptr
                            : raise_error(m, Ref::steal(PyUnicode_FromFormat(
                                                 "State can be attached only to one SM instance State(%S) already "
                                                 "attached to SM %S",
                                                 state, linked.get())));
    }
    // Reading _linked_sm and its truth may have run code that changed the machine: check again.
    const bool code_ran = !plain || !(linked.get() == Py_None || PyUnicode_CheckExact(linked.get()));
    if (index && code_ran && !(index = checked_states(m, self, &failed)) && failed) return nullptr;
    if (index) {
        if (PyList_Append(index->list, state) < 0) return nullptr;
    } else {
        Ref states = getattr(self, m.n.states);
        if (!states || !append_to(m, states.get(), state)) return nullptr;
    }
    MachineCache* cache = index ? reinterpret_cast<MachineObject*>(self)->cache : nullptr;
    const bool text_kept = cache && cache->text;  // else str(self) may run code of the class
    Ref machine = machine_text(m, self);
    if (!machine || !write_attr(state, m.n.linked_sm, machine.get(), plain, nullptr)) return nullptr;
    bool host_direct = false, learn_direct = false;
    Ref hostname = machine_setting(m, self, m.n.hostname, m.st.base_hostname, m.n.machine_hostname, &host_direct);
    if (!hostname || !write_attr(state, m.n.hostname, hostname.get(), plain, nullptr)) return nullptr;
    Ref learn = machine_setting(m, self, m.n.learn_hostname, m.st.base_learn_hostname, m.n.machine_learn_hostname,
                                &learn_direct);
    if (!learn || !write_attr(state, m.n.learn_hostname, learn.get(), plain, nullptr)) return nullptr;
    if (index) index_state_appended(m, self, state);
    if (cache) {
        // The state's dict changed last, when nothing but this registration ran.
        const bool clean = plain && !code_ran && text_kept && host_direct && learn_direct;
        end_registration(*cache, clean ? dict_version_of(state) : 0);
    }
    return none();
}

PyObject* get_state(const Module& m, PyObject* const* a) {
    PyObject *self = a[0], *wanted = a[1];
    Py_ssize_t found;
    const Lookup known = index_find_state(m, self, wanted, &found);
    if (known == Lookup::found) return Py_NewRef(PyList_GET_ITEM(plain_value(self, m.n.states), found));
    if (known == Lookup::failed) return nullptr;
    // Not found, or not indexed: as written, which also words the error.
    Ref names = state_names(m, self);
    if (!names) return nullptr;
    Ref position = call_method(names.get(), m.n.index, wanted);
    if (!position) {
        return value_error_to_machine_error(
            m, [&](PyObject*) { return Ref::steal(PyUnicode_FromFormat("%S state is not registered", wanted)); });
    }
    Ref states = getattr(self, m.n.states);
    return states ? PyObject_GetItem(states.get(), position.get()) : nullptr;
}

PyObject* remove_state(const Module& m, PyObject* const* a) {
    PyObject* self = a[0];
    Ref state = as_state(m, self, a[1]);
    Ref states = state ? getattr(self, m.n.states) : Ref();
    if (!states) return nullptr;
    if (!call_method(states.get(), m.n.remove, state.get())) {
        return value_error_to_machine_error(m, [&](PyObject* caught) {
            return Ref::steal(PyUnicode_FromFormat("Deleting state %S failed with error %S", state.get(), caught));
        });
    }
    return none();
}

// ---- paths --------------------------------------------------------------------------------

PyObject* add_path(const Module& m, PyObject* const* a);

PyObject* create_path(const Module& m, PyObject* const* a) {
    Ref cls = global(m, m.n.mod_path);
    if (!cls) return nullptr;
    Ref path = call(cls.get(), a[1], a[2], a[3] ? a[3] : Py_None, a[4] ? a[4] : Py_None);
    if (!path) return nullptr;
    // self.add_path(path), run here when it is the class's own.
    const int base = machine_uses_base(m, a[0], BaseMethods::add_path);
    if (base < 0) return nullptr;
    if (!base) return call_method(a[0], m.n.add_path, path.get()) ? path.release() : nullptr;
    MachineCache* cache = open_registration(m, a[0], path.get());
    PyObject* args[] = {a[0], path.get()};
    Ref added = Ref::steal(add_path(m, args));
    if (cache) {
        // add_path changes no dict: the path's construction changed the last one, when the index
        // took the path with nothing else running.
        const PathsIndex* paths = cache->paths;
        const bool natively = added && paths && paths->built && !paths->items.empty() &&
                              paths->items.back() == path.get() && m.st.built.obj == path.get();
        end_registration(*cache, natively ? m.st.built.last : 0);
    }
    return added ? path.release() : nullptr;
}

// Raises the unknown-state message unless path.<end> is one of self.states. *indexed tells
// whether the answer came from the index.
bool check_registered_end(const Module& m, PyObject* self, PyObject* path, PyObject* end, const char* format,
                          bool* indexed) {
    Ref state = getattr(path, end);
    if (!state) return false;
    int known = -1;
    switch (index_has_state(m, self, state.get())) {
        case Lookup::found: return true;
        case Lookup::absent: known = 0; break;
        case Lookup::failed: return false;
        case Lookup::unknown: {
            *indexed = false;
            Ref states = getattr(self, m.n.states);
            if (!states) return false;
            known = PySequence_Contains(states.get(), state.get());
            if (known > 0) return true;
            break;
        }
    }
    if (known == 0) raise_error(m, Ref::steal(PyUnicode_FromFormat(format, state.get())));
    return false;
}

std::nullptr_t unknown_end(const Module& m, PyObject* state, const char* format) {
    return raise_error(m, Ref::steal(PyUnicode_FromFormat(format, state)));
}

const char unknown_from[] = "Unknown from state (%S) provided,state has to be added SMbefore creating path ";
const char unknown_to[] = "Unknown to state (%S)provided,state has to be added SMbefore creating path ";

// add_path with the machine's indexes: the path's ends read as plain attributes, each index
// checked once. Null with *declined set, and no error, when it cannot decide.
PyObject* add_path_indexed(const Module& m, PyObject* self, PyObject* path, bool* declined) {
    *declined = true;
    if (!path_is_plain(m, path)) return nullptr;
    PyObject* const ends_names[] = {m.n.from_state, m.n.to_state};
    PyObject* ends[2];
    plain_values(path, ends_names, ends, 2);
    PyObject *from = ends[0], *to = ends[1];
    if (!from || !to || !compares_by_identity(from) || !compares_by_identity(to)) return nullptr;
    bool failed = false;
    StatesIndex* states = checked_states(m, self, &failed);
    PathsIndex* paths = states ? checked_paths(m, self, true, &failed, states) : nullptr;
    if (!paths) {
        *declined = !failed;
        return nullptr;
    }
    const int32_t duplicate = path_position(m.st, *paths, from, to);
    if (duplicate == -2) return nullptr;
    *declined = false;
    if (!has_state(*states, from)) return unknown_end(m, from, unknown_from);
    if (!has_state(*states, to)) return unknown_end(m, to, unknown_to);
    if (duplicate >= 0) return raise_error(m, Ref::steal(PyUnicode_FromFormat("%S already exists", path)));
    if (PyList_Append(paths->list, path) < 0) return nullptr;
    index_path_appended(m, self, path, ends);
    return none();
}

PyObject* add_path(const Module& m, PyObject* const* a) {
    PyObject *self = a[0], *path = a[1];
    const int is_path = is_instance_of_global(m, path, m.n.mod_path);
    if (is_path <= 0) {
        return is_path < 0 ? nullptr
                           : raise_error(m, Ref::steal(PyUnicode_FromFormat("%S must be instance of Path", path)));
    }
    bool declined = true;
    PyObject* done = add_path_indexed(m, self, path, &declined);
    if (!declined || PyErr_Occurred()) return done;
    bool indexed = true;
    if (!check_registered_end(m, self, path, m.n.from_state, unknown_from, &indexed) ||
        !check_registered_end(m, self, path, m.n.to_state, unknown_to, &indexed)) {
        return nullptr;
    }
    Ref keys = path_keys(m, self);
    Ref key = keys ? path_key(m, path) : Ref();
    const int duplicate = key ? PySequence_Contains(keys.get(), key.get()) : -1;
    if (duplicate != 0) {
        return duplicate < 0 ? nullptr : raise_error(m, Ref::steal(PyUnicode_FromFormat("%S already exists", path)));
    }
    Ref paths = getattr(self, m.n.paths);
    if (!paths || !append_to(m, paths.get(), path)) return nullptr;
    return none();
}

PyObject* get_path(const Module& m, PyObject* const* a) {
    PyObject* self = a[0];
    Ref from, to;
    if (!as_states(m, self, a[1], a[2], from, to)) return nullptr;
    Py_ssize_t found;
    const Lookup known = index_find_path(m, self, from.get(), to.get(), &found);
    if (known == Lookup::found) return Py_NewRef(PyList_GET_ITEM(plain_value(self, m.n.paths), found));
    if (known == Lookup::failed) return nullptr;
    // Not found, or not indexed: as written, which also words the error.
    Ref keys = path_keys(m, self);
    Ref from_name = keys ? getattr(from.get(), m.n.name) : Ref();
    Ref to_name = from_name ? getattr(to.get(), m.n.name) : Ref();
    Ref key = to_name ? Ref::steal(PyTuple_Pack(2, from_name.get(), to_name.get())) : Ref();
    if (!key) return nullptr;
    Ref position = call_method(keys.get(), m.n.index, key.get());
    if (!position) {
        return value_error_to_machine_error(m, [&](PyObject*) {
            return Ref::steal(PyUnicode_FromFormat("%S->%S path doesnt exist", from.get(), to.get()));
        });
    }
    Ref paths = getattr(self, m.n.paths);
    return paths ? PyObject_GetItem(paths.get(), position.get()) : nullptr;
}

PyObject* remove_path(const Module& m, PyObject* const* a) {
    Ref paths = getattr(a[0], m.n.paths);
    Ref remove = paths ? getattr(paths.get(), m.n.remove) : Ref();
    Ref path = remove ? call_method(a[0], m.n.get_path, a[1], a[2]) : Ref();
    if (!path || !call(remove.get(), path.get())) return nullptr;
    return none();
}

// ---- default statements -------------------------------------------------------------------

bool append_default_statement(const Module& m, PyObject* self, PyObject* statement) {
    Ref dialog = getattr(self, m.n.default_dialog);
    return dialog && call_method(dialog.get(), m.n.append, statement);
}

PyObject* add_default_statements(const Module& m, PyObject* const* a) {
    PyObject *self = a[0], *statements = a[1];
    const int single = is_instance_of_global(m, statements, m.n.mod_statement);
    if (single < 0) return nullptr;
    if (single) return append_default_statement(m, self, statements) ? none() : nullptr;
    const int several = PyObject_IsInstance(statements, reinterpret_cast<PyObject*>(&PyList_Type));
    if (several <= 0) {
        return several < 0 ? nullptr
                           : raise_error(m, Ref::steal(PyUnicode_FromFormat(
                                                "default statement (%S) should be of type Statement or "
                                                "list(Statement)",
                                                statements)));
    }
    Ref iter = Ref::steal(PyObject_GetIter(statements));
    if (!iter) return nullptr;
    while (Ref statement = Ref::steal(PyIter_Next(iter.get()))) {
        const int ok = is_instance_of_global(m, statement.get(), m.n.mod_statement);
        if (ok < 0) return nullptr;
        if (!ok) {
            return raise_error(m, Ref::steal(PyUnicode_FromFormat(
                                      "default statement(%S) should be of type Statement or list(Statement)",
                                      statement.get())));
        }
        if (!append_default_statement(m, self, statement.get())) return nullptr;
    }
    return PyErr_Occurred() ? nullptr : none();
}

// ---- the class ----------------------------------------------------------------------------

const FunctionSpec init_spec = {"__init__", "StateMachine.__init__", "self hostname learn_hostname", 1,
                                machine_construct,
                                " Initializes the state machine\n\n"
                                "        Stores the hostname settings, creates the empty registries and the\n"
                                "        default dialog, and calls create() to register the platform's states.\n",
                                "(self, hostname=None, learn_hostname=False)"};
const FunctionSpec hostname_get_spec = {"hostname", "StateMachine.hostname", "self", 1, hostname_get, nullptr,
                                        "(self)"};
const FunctionSpec hostname_set_spec = {"hostname", "StateMachine.hostname", "self value", 2, hostname_set, nullptr,
                                        "(self, value)"};
const FunctionSpec learn_get_spec = {"learn_hostname", "StateMachine.learn_hostname", "self", 1, learn_hostname_get,
                                     nullptr, "(self)"};
const FunctionSpec learn_set_spec = {"learn_hostname", "StateMachine.learn_hostname", "self value", 2,
                                     learn_hostname_set, nullptr, "(self, value)"};
const FunctionSpec current_get_spec = {"current_state", "StateMachine.current_state", "self", 1, current_state_get,
                                       "Current device state property getter", "(self)"};
const FunctionSpec current_set_spec = {"current_state", "StateMachine.current_state", "self value", 2,
                                       current_state_set, "Current device state property setter", "(self, value)"};

const FunctionSpec registry_specs[] = {
    {"create_state", "StateMachine.create_state", "self name pattern", 3, create_state,
     " Creates a state and add it to State Machines\n\n        Example: sm.create_state('enable', r'%N#')\n",
     "(self, name, pattern)"},
    {"add_state", "StateMachine.add_state", "self state", 2, add_state,
     " Appends a given state to the state machine\n\n        Example: sm.add_state(State('enable', r'%N#'))\n",
     "(self, state)"},
    {"get_state", "StateMachine.get_state", "self state_name", 2, get_state,
     " Returns the state object for the given the name\n\n        Example: sm.get_state('config')\n",
     "(self, state_name)"},
    {"remove_state", "StateMachine.remove_state", "self state", 2, remove_state,
     " Removes a state from SM, given the string name\n\n        Example: sm.remove_state('disable')\n",
     "(self, state)"},
    {"update_cur_state", "StateMachine.update_cur_state", "self state", 2, update_cur_state,
     "Updates the current device state", "(self, state)"},
    {"create_path", "StateMachine.create_path", "self from_state to_state command dialog", 3, create_path,
     " Creates a path and adds it to the state machine\n", "(self, from_state, to_state, command=None, dialog=None)"},
    {"add_path", "StateMachine.add_path", "self path", 2, add_path,
     " Adds a path to the list of available paths\n", "(self, path)"},
    {"get_path", "StateMachine.get_path", "self from_state to_state", 3, get_path,
     " Gets the path object for the given from and to state\n\n"
     "        Used for paths between directly linked states.\n",
     "(self, from_state, to_state)"},
    {"remove_path", "StateMachine.remove_path", "self from_state to_state", 3, remove_path,
     " Removes a particular path from the state machine\n", "(self, from_state, to_state)"},
    {"add_default_statements", "StateMachine.add_default_statements", "self statements", 2, add_default_statements,
     " Appends default statements to all state transitions\n\n"
     "        Example:\n"
     "            confirm = Statement(pattern=r'\\[confirm\\]', action=lambda spawn: spawn.sendline(),\n"
     "                                loop_continue=True)\n"
     "            yes_no = Statement(pattern=r'\\(yes/no\\)', action=lambda spawn: spawn.sendline('yes'),\n"
     "                               loop_continue=True)\n"
     "            sm.add_default_statements(confirm)\n"
     "            sm.add_default_statements([confirm, yes_no])\n",
     "(self, statements)"},
};

const FunctionSpec create_spec = {"create", "StateMachine.create", "self", 1, machine_create,
                                  " Create the statemachine\n\n"
                                  "        Platforms override this to register their states, paths and default\n"
                                  "        statements.\n",
                                  "(self)"};

bool add_members(PyObject* module, PyTypeObject* cls) {
    if (!add_method(module, cls, init_spec) ||
        !add_property(module, cls, "hostname", hostname_get_spec, hostname_set_spec, nullptr) ||
        !add_property(module, cls, "learn_hostname", learn_get_spec, learn_set_spec, nullptr) ||
        !add_property(module, cls, "current_state", current_get_spec, current_set_spec, nullptr)) {
        return false;
    }
    for (const auto& spec : registry_specs) {
        if (!add_method(module, cls, spec)) return false;
    }
    const FunctionSpec* rest[] = {&create_graph_spec, &find_all_paths_helper_spec, &find_all_paths_spec,
                                  &get_shortest_path_spec, &go_to_spec, &create_spec, &dotgraph_spec,
                                  &detect_state_spec};
    for (const FunctionSpec* spec : rest) {
        if (!add_method(module, cls, *spec)) return false;
    }
    return true;
}

// The class's own entry for `name` (a descriptor, not what reading it gives), as a new reference.
PyObject* own_entry(PyTypeObject* cls, PyObject* name) {
    bool failed = false;
    PyObject* found = lookup_in_mro(cls, name, &failed);
    if (!found && !failed) PyErr_SetObject(PyExc_AttributeError, name);
    return Py_XNewRef(found);
}

// The base class's own function object for `name`, kept to recognise overrides.
PyObject* own_member(PyTypeObject* cls, PyObject* name) {
    Ref value = getattr(reinterpret_cast<PyObject*>(cls), name);
    return value.release();
}

}  // namespace

Ref machine_current_state(const Module& m, PyObject* self) {
    return machine_setting(m, self, m.n.current_state, m.st.base_current_state, m.n.current_state_attr);
}

Ref call_get_state(const Module& m, PyObject* self, PyObject* name) {
    const int base = uses_base_method(m.st, self, m.st.machine_type, m.n.get_state, m.st.base_get_state);
    if (base < 0) return Ref();
    if (!base) return call_method(self, m.n.get_state, name);
    PyObject* args[] = {self, name};
    return Ref::steal(get_state(m, args));
}

bool call_update_cur_state(const Module& m, PyObject* self, PyObject* state) {
    const int base =
        uses_base_method(m.st, self, m.st.machine_type, m.n.update_cur_state, m.st.base_update_cur_state);
    if (base < 0) return false;
    if (!base) return bool(call_method(self, m.n.update_cur_state, state));
    PyObject* args[] = {self, state};
    return bool(Ref::steal(update_cur_state(m, args)));
}

bool as_states(const Module& m, PyObject* self, PyObject* from, PyObject* to, Ref& from_state, Ref& to_state) {
    from_state = as_state(m, self, from);
    to_state = from_state ? as_state(m, self, to) : Ref();
    return bool(to_state);
}

Ref as_state(const Module& m, PyObject* self, PyObject* state) {
    const int is_state = is_instance_of_global(m, state, m.n.mod_state);
    if (is_state != 0) return is_state < 0 ? Ref() : Ref::newref(state);
    const int base = uses_base_method(m.st, self, m.st.machine_type, m.n.get_state, m.st.base_get_state);
    if (base < 0) return Ref();
    if (!base) return call_method(self, m.n.get_state, state);
    PyObject* args[] = {self, state};
    return Ref::steal(get_state(m, args));
}

namespace {

int machine_traverse(PyObject* self, visitproc visit, void* arg) {
    const int failed = instance_traverse(self, visit, arg);
    return failed ? failed : machine_cache_traverse(reinterpret_cast<MachineObject*>(self)->cache, visit, arg);
}

int machine_clear(PyObject* self) {
    machine_cache_free(reinterpret_cast<MachineObject*>(self)->cache);
    return instance_clear(self);
}

void machine_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<Instance*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    machine_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

}  // namespace

int machine_init(PyObject* module, ModuleState& st) {
    ClassLayout layout;
    layout.basicsize = sizeof(MachineObject);
    layout.traverse = machine_traverse;
    layout.clear = machine_clear;
    layout.dealloc = machine_dealloc;
    PyTypeObject* cls = make_class(module, "tessel.statemachine.statemachine.StateMachine", machine_doc, layout);
    if (!cls) return -1;
    st.machine_type = cls;
    if (!add_members(module, cls)) return -1;
    Ref dict_class = Ref::newref(PyDict_GetItemWithError(PyModule_GetDict(module), st.names.mod_attribute_dict));
    if (!dict_class) return -1;
    if (!(st.default_context = call(dict_class.get()).release())) return -1;
    if (!(st.base_create_graph = own_member(cls, st.names.create_graph)) ||
        !(st.base_find_all_paths_helper = own_member(cls, st.names.find_all_paths_helper)) ||
        !(st.base_find_all_paths = own_member(cls, st.names.find_all_paths)) ||
        !(st.base_get_state = own_member(cls, st.names.get_state)) ||
        !(st.base_add_state = own_member(cls, st.names.add_state)) ||
        !(st.base_add_path = own_member(cls, st.names.add_path)) ||
        !(st.base_hostname = own_entry(cls, st.names.hostname)) ||
        !(st.base_learn_hostname = own_entry(cls, st.names.learn_hostname)) ||
        !(st.base_current_state = own_entry(cls, st.names.current_state)) ||
        !(st.base_update_cur_state = own_member(cls, st.names.update_cur_state)) ||
        !(st.engine_keywords = PyTuple_Pack(7, st.names.kw_state_machine, st.names.to_state, st.names.kw_spawn,
                                            st.names.dialog, st.names.kw_timeout, st.names.kw_context,
                                            st.names.kw_prompt_recovery))) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "StateMachine", reinterpret_cast<PyObject*>(cls));
}

}  // namespace tessel
