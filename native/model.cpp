// The state and path model: State with its prompt patterns and hostname substitution, and Path.
#include "errors.hpp"
#include "module.hpp"

namespace tessel {
namespace {

const char state_doc[] =
    "Defines a device state: a name and the prompt patterns that recognise it.\n"
    "\n"
    "Example: State(name='enable', pattern=r'^.*Router|%N#')\n"
    "\n"
    "A pattern may hold the placeholder %N, which stands for the device's hostname.";

const char path_doc[] =
    "A path between two device states.\n"
    "\n"
    "It takes the from state, the to state, the command that takes the device to the\n"
    "destination state, and a Dialog of the prompts met on the way.";

PyObject* none() { return Py_NewRef(Py_None); }

// isinstance(obj, cls) against a builtin class.
int is_a(PyObject* obj, PyTypeObject* cls) { return PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(cls)); }

// ---- State --------------------------------------------------------------------------------

PyObject* state_init(const Module& m, PyObject* const* a) {
    PyObject* self = a[0];
    if (!call_method(self, m.n.validate, a[1], a[2])) return nullptr;
    if (!setattr(self, m.n.name, a[1])) return nullptr;
    Ref empty = Ref::steal(PyList_New(0));
    if (!empty || !setattr(self, m.n.pattern_list, empty.get())) return nullptr;
    if (!call_method(self, m.n.update_pattern, a[2])) return nullptr;
    if (!setattr(self, m.n.linked_sm, Py_None) || !setattr(self, m.n.hostname, Py_None) ||
        !setattr(self, m.n.learn_hostname, Py_False)) {
        return nullptr;
    }
    return none();
}

PyObject* state_validate(const Module&, PyObject* const* a) {
    int ok = is_a(a[0], &PyUnicode_Type);
    if (ok < 0) return nullptr;
    if (!ok) {
        PyErr_SetString(PyExc_TypeError, "State Name should be of type str");
        return nullptr;
    }
    ok = is_a(a[1], &PyUnicode_Type);
    if (ok == 0) ok = is_a(a[1], &PyList_Type);
    if (ok < 0) return nullptr;
    if (!ok) {
        PyErr_SetString(PyExc_TypeError, "State Pattern should be of type list or str");
        return nullptr;
    }
    return none();
}

// The module's `re` and placeholder are the ones the native substitutions were written against.
bool placeholder_is_original(const Module& m, PyObject* re, PyObject* placeholder) {
    return re == m.st.re_module && PyUnicode_CheckExact(placeholder) &&
           PyUnicode_Compare(placeholder, m.n.text_placeholder) == 0;
}

// getattr(self, 'hostname', None): only a missing attribute reads as None.
Ref hostname_or_none(const Module& m, PyObject* self) {
    Ref host = getattr(self, m.n.hostname);
    if (!host && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return Ref::newref(Py_None);
    }
    return host;
}

PyObject* state_substitute_hostname(const Module& m, PyObject* const* a) {
    PyObject *self = a[0], *pattern = a[1];
    Ref host = hostname_or_none(m, self);
    if (!host) return nullptr;
    const int set = PyObject_IsTrue(host.get());
    if (set <= 0) return set < 0 ? nullptr : Py_NewRef(pattern);
    Ref placeholder = global(m, m.n.mod_subst_pat);
    if (!placeholder) return nullptr;
    Ref expression = PyUnicode_CheckExact(placeholder.get())
                         ? Ref::newref(placeholder.get())
                         : call_method(m.n.text_format_template, m.n.format, placeholder.get());
    if (!expression) return nullptr;
    Ref replacement = getattr(self, m.n.hostname);
    Ref re = global(m, m.n.mod_re);
    if (!replacement || !re) return nullptr;
    Ref sub = getattr(re.get(), m.n.sub);
    if (!sub) return nullptr;
    // A hostname without backslashes is a literal replacement for re.sub: replace natively.
    if (sub.get() == m.st.re_sub && placeholder_is_original(m, re.get(), placeholder.get()) &&
        PyUnicode_CheckExact(replacement.get()) && PyUnicode_CheckExact(pattern) &&
        PyUnicode_FindChar(replacement.get(), '\\', 0, PyUnicode_GET_LENGTH(replacement.get()), 1) == -1) {
        return PyUnicode_Replace(pattern, expression.get(), replacement.get(), -1);
    }
    return call(sub.get(), expression.get(), replacement.get(), pattern).release();
}

Ref learning_group(Py_ssize_t index) {
    return Ref::steal(PyUnicode_FromFormat("(?P<hostname%02zd>\\S+)", index));
}

// Every "%N" of an exact str replaced by its numbered group, in one pass.
PyObject* learn_placeholders_natively(const Module& m, PyObject* pattern) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(pattern);
    Py_ssize_t found = PyUnicode_Find(pattern, m.n.text_placeholder, 0, length, 1);
    if (found == -1) return Py_NewRef(pattern);
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts || found == -2) return nullptr;
    Py_ssize_t pos = 0;
    for (Py_ssize_t index = 0; found >= 0; ++index) {
        Ref before = Ref::steal(PyUnicode_Substring(pattern, pos, found));
        Ref group = learning_group(index);
        if (!before || !group || PyList_Append(parts.get(), before.get()) < 0 ||
            PyList_Append(parts.get(), group.get()) < 0) {
            return nullptr;
        }
        pos = found + 2;
        found = PyUnicode_Find(pattern, m.n.text_placeholder, pos, length, 1);
        if (found == -2) return nullptr;
    }
    Ref rest = Ref::steal(PyUnicode_Substring(pattern, pos, length));
    if (!rest || PyList_Append(parts.get(), rest.get()) < 0) return nullptr;
    return PyUnicode_Join(m.n.text_empty, parts.get());
}

// Learning as the module's `re` does it: the k-th placeholder found becomes group k.
// The search resumes past the inserted group, so it ends whatever the placeholder matches.
PyObject* learn_placeholders(const Module& m, PyObject* pattern_in) {
    Ref pattern = Ref::newref(pattern_in);
    Py_ssize_t pos = 0;
    for (Py_ssize_t index = 0;; ++index) {
        Ref tail = pos == 0 ? Ref::newref(pattern.get())
                            : Ref::steal(PySequence_GetSlice(pattern.get(), pos, PY_SSIZE_T_MAX));
        Ref re = global(m, m.n.mod_re);
        if (!tail || !re) return nullptr;
        Ref search = getattr(re.get(), m.n.search);
        Ref placeholder = global(m, m.n.mod_subst_pat);
        if (!search || !placeholder) return nullptr;
        Ref match = call(search.get(), placeholder.get(), tail.get());
        if (!match) return nullptr;
        const int found = PyObject_IsTrue(match.get());
        if (found <= 0) return found < 0 ? nullptr : pattern.release();
        Ref group = learning_group(index);
        Ref start = call_method(match.get(), m.n.start);
        Ref end = call_method(match.get(), m.n.end);
        if (!group || !start || !end) return nullptr;
        Ref bounds = Ref::steal(PySlice_New(start.get(), end.get(), nullptr));
        Ref matched = bounds ? Ref::steal(PyObject_GetItem(tail.get(), bounds.get())) : Ref();
        if (!matched) return nullptr;
        Ref at_obj = call_method(tail.get(), m.n.find, matched.get());
        Ref one = Ref::steal(PyLong_FromLong(1));
        if (!at_obj || !one) return nullptr;
        const Py_ssize_t at = PyLong_AsSsize_t(at_obj.get());
        if (at < 0) return PyErr_Occurred() ? nullptr : pattern.release();  // a match outside the text
        Ref new_tail = call_method(tail.get(), m.n.replace, matched.get(), group.get(), one.get());
        Ref head = Ref::steal(PySequence_GetSlice(pattern.get(), 0, pos));
        if (!new_tail || !head) return nullptr;
        pattern = Ref::steal(PyNumber_Add(head.get(), new_tail.get()));
        const Py_ssize_t matched_len = PyObject_Length(matched.get());
        const Py_ssize_t group_len = PyObject_Length(group.get());
        const Py_ssize_t total = pattern ? PyObject_Length(pattern.get()) : -1;
        if (!pattern || matched_len < 0 || total < 0) return nullptr;
        // An empty match moves on by one character, as substitution does.
        pos += at + group_len + (matched_len == 0 ? 1 : 0);
        if (pos > total) return pattern.release();
    }
}

PyObject* state_substitute_learn_hostname(const Module& m, PyObject* const* a) {
    PyObject* pattern = a[1];
    if (PyUnicode_CheckExact(pattern)) {
        Ref re = global(m, m.n.mod_re);
        Ref placeholder = global(m, m.n.mod_subst_pat);
        if (!re || !placeholder) return nullptr;
        Ref search = getattr(re.get(), m.n.search);
        if (!search) return nullptr;
        if (search.get() == m.st.re_search && placeholder_is_original(m, re.get(), placeholder.get())) {
            return learn_placeholders_natively(m, pattern);
        }
    }
    return learn_placeholders(m, pattern);
}

PyObject* state_pattern_get(const Module& m, PyObject* const* a) {
    PyObject* self = a[0];
    Ref patterns = getattr(self, m.n.pattern_list);
    if (!patterns) return nullptr;
    Ref joined = Ref::steal(PyUnicode_Join(m.n.text_bar, patterns.get()));
    if (!joined) return nullptr;
    const int learn = attr_truth(self, m.n.learn_hostname);
    if (learn < 0) return nullptr;
    return call_method(self, learn ? m.n.substitute_learn_hostname : m.n.substitute_hostname, joined.get()).release();
}

PyObject* state_pattern_set(const Module& m, PyObject* const* a) {
    if (!call_method(a[0], m.n.update_pattern, a[1])) return nullptr;
    return none();
}

PyObject* state_update_pattern(const Module& m, PyObject* const* a) {
    PyObject *self = a[0], *pattern = a[1];
    int is_list = is_a(pattern, &PyList_Type);
    if (is_list < 0) return nullptr;
    if (is_list) return setattr(self, m.n.pattern_list, pattern) ? none() : nullptr;
    const int is_str = is_a(pattern, &PyUnicode_Type);
    if (is_str < 0) return nullptr;
    if (is_str) {
        Ref single = Ref::steal(PyList_New(1));
        if (!single) return nullptr;
        PyList_SET_ITEM(single.get(), 0, Py_NewRef(pattern));
        if (!setattr(self, m.n.pattern_list, single.get())) return nullptr;
    }
    return none();
}

PyObject* state_add_state_pattern(const Module& m, PyObject* const* a) {
    PyObject *self = a[0], *patterns = a[1];
    int several = is_a(patterns, &PyList_Type);
    if (several == 0) several = is_a(patterns, &PyTuple_Type);
    if (several < 0) return nullptr;
    int single = several ? 0 : is_a(patterns, &PyUnicode_Type);
    if (single < 0) return nullptr;
    if (!several && !single) {
        PyErr_SetString(PyExc_TypeError, "Patterns should be str or list type");
        return nullptr;
    }
    Ref stored = getattr(self, m.n.pattern_list);
    if (!stored || !call_method(stored.get(), several ? m.n.extend : m.n.append, patterns)) return nullptr;
    return none();
}

PyObject* state_str(const Module& m, PyObject* const* a) { return getattr(a[0], m.n.name).release(); }

PyObject* repr_via_str(const Module& m, PyObject* const* a) {
    return call_method(a[0], m.n.dunder_str).release();
}

const FunctionSpec state_members[] = {
    {"__init__", "State.__init__", "self name pattern", 3, state_init,
     "Initializes the state: validates, then sets its attributes.", "(self, name, pattern)"},
    {"validate", "State.validate", "name pattern", 2, state_validate,
     "Checks the types of a state's name and pattern.", "(name, pattern)"},
    {"substitute_hostname", "State.substitute_hostname", "self pattern", 2, state_substitute_hostname,
     "Replaces every %N in the pattern by the state's hostname, when one is set.", "(self, pattern)"},
    {"substitute_learn_hostname", "State.substitute_learn_hostname", "self pattern", 2,
     state_substitute_learn_hostname,
     "Replaces the k-th %N in the pattern by the named group hostname<k>, which learns the hostname.",
     "(self, pattern)"},
};

const FunctionSpec pattern_getter = {"pattern", "State.pattern", "self", 1, state_pattern_get,
                                     "The state's prompt patterns joined with | and the hostname resolved.",
                                     "(self)"};
const FunctionSpec pattern_setter = {"pattern", "State.pattern", "self pattern", 2, state_pattern_set, nullptr,
                                     "(self, pattern)"};

const FunctionSpec state_members_after_pattern[] = {
    {"_update_pattern", "State._update_pattern", "self pattern", 2, state_update_pattern,
     "Replaces the pattern list by a list (kept as it is) or a single text.", "(self, pattern)"},
    {"add_state_pattern", "State.add_state_pattern", "self pattern_list", 2, state_add_state_pattern,
     "Appends one pattern, or extends the patterns by a list or tuple of them.", "(self, pattern_list)"},
    {"__str__", "State.__str__", "self", 1, state_str, "The state's name.", "(self)"},
    {"__repr__", "State.__repr__", "self", 1, repr_via_str, "The state's name.", "(self)"},
};

// ---- Path ---------------------------------------------------------------------------------

PyObject* path_init(const Module& m, PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* command = a[3] ? a[3] : Py_None;
    PyObject* dialog = a[4] ? a[4] : Py_None;
    if (!setattr(self, m.n.from_state, a[1]) || !setattr(self, m.n.to_state, a[2]) ||
        !setattr(self, m.n.command, command) || !setattr(self, m.n.dialog, dialog)) {
        return nullptr;
    }
    if (!call_method(self, m.n.validate_update)) return nullptr;
    return none();
}

// Raises unless self.<end> is a State.
bool check_end_state(const Module& m, PyObject* self, PyObject* end) {
    Ref state = getattr(self, end);
    if (!state) return false;
    const int ok = is_instance_of_global(m, state.get(), m.n.mod_state);
    if (ok < 0) return false;
    if (!ok) {
        raise_error(m, Ref::steal(PyUnicode_FromFormat("%S is not an instance of State", state.get())));
        return false;
    }
    return true;
}

bool check_command(const Module& m, PyObject* self) {
    Ref command = getattr(self, m.n.command);
    if (!command) return false;
    const int given = PyObject_IsTrue(command.get());
    if (given <= 0) return given == 0;
    const int text = is_a(command.get(), &PyUnicode_Type);
    if (text < 0) return false;
    if (text || PyCallable_Check(command.get())) return true;
    raise_error(m, Ref::steal(PyUnicode_FromFormat("Command (%S) should be of type str or callable", command.get())));
    return false;
}

bool check_dialog(const Module& m, PyObject* self) {
    Ref dialog = getattr(self, m.n.dialog);
    if (!dialog) return false;
    const int is_list = is_a(dialog.get(), &PyList_Type);
    if (is_list < 0) return false;
    if (is_list) {
        Ref cls = global(m, m.n.mod_dialog);
        Ref converted = cls ? call(cls.get(), dialog.get()) : Ref();
        return converted && setattr(self, m.n.dialog, converted.get());
    }
    if (dialog.get() == Py_None) return true;
    const int is_dialog = is_instance_of_global(m, dialog.get(), m.n.mod_dialog);
    if (is_dialog != 0) return is_dialog > 0;
    raise_error(m, Ref::steal(PyUnicode_FromFormat("%S must be a Dialog instance, list or None", dialog.get())));
    return false;
}

PyObject* path_validate_update(const Module& m, PyObject* const* a) {
    PyObject* self = a[0];
    if (!check_end_state(m, self, m.n.from_state) || !check_end_state(m, self, m.n.to_state) ||
        !check_command(m, self) || !check_dialog(m, self)) {
        return nullptr;
    }
    return none();
}

PyObject* path_str(const Module& m, PyObject* const* a) {
    Ref from = getattr(a[0], m.n.from_state);
    Ref from_text = from ? Ref::steal(PyObject_Str(from.get())) : Ref();
    Ref to = from_text ? getattr(a[0], m.n.to_state) : Ref();
    if (!to) return nullptr;
    return PyUnicode_FromFormat("%U->%S", from_text.get(), to.get());
}

const FunctionSpec path_members[] = {
    {"__init__", "Path.__init__", "self from_state to_state command dialog", 3, path_init,
     "Initializes the path: sets its four attributes, then validates them.",
     "(self, from_state, to_state, command=None, dialog=None)"},
    {"validate_update", "Path.validate_update", "self", 1, path_validate_update,
     "Validates the path's attributes and turns a list dialog into a Dialog.", "(self)"},
    {"__str__", "Path.__str__", "self", 1, path_str, "The two states' names joined by ->.", "(self)"},
    {"__repr__", "Path.__repr__", "self", 1, repr_via_str, "The two states' names joined by ->.", "(self)"},
};

PyTypeObject* build_state_class(PyObject* module) {
    PyTypeObject* cls = make_class(module, "tessel.statemachine.statemachine.State", state_doc);
    if (!cls) return nullptr;
    bool ok = add_method(module, cls, state_members[0]) && add_static_method(module, cls, state_members[1]) &&
              add_method(module, cls, state_members[2]) && add_method(module, cls, state_members[3]) &&
              add_property(module, cls, "pattern", pattern_getter, pattern_setter, nullptr);
    for (const auto& spec : state_members_after_pattern) ok = ok && add_method(module, cls, spec);
    if (!ok) Py_CLEAR(cls);
    return cls;
}

PyTypeObject* build_path_class(PyObject* module) {
    PyTypeObject* cls = make_class(module, "tessel.statemachine.statemachine.Path", path_doc);
    if (!cls) return nullptr;
    for (const auto& spec : path_members) {
        if (!add_method(module, cls, spec)) {
            Py_DECREF(cls);
            return nullptr;
        }
    }
    return cls;
}

}  // namespace

int model_init(PyObject* module, ModuleState& st) {
    if (!(st.state_type = build_state_class(module))) return -1;
    if (PyModule_AddObjectRef(module, "State", reinterpret_cast<PyObject*>(st.state_type)) < 0) return -1;
    if (!(st.path_type = build_path_class(module))) return -1;
    return PyModule_AddObjectRef(module, "Path", reinterpret_cast<PyObject*>(st.path_type));
}

}  // namespace tessel
