// The state and path model: State with its prompt patterns and hostname substitution, and Path.
#include <cstring>

#include "errors.hpp"
#include "index.hpp"
#include "module.hpp"

namespace tessel {

// The attributes a State sets, in the order it sets them.
void state_attributes(const Names& n, PyObject** names) {
    PyObject* const order[] = {n.name, n.pattern_list, n.linked_sm, n.hostname, n.learn_hostname};
    for (int i = 0; i < 5; ++i) names[i] = order[i];
}

// The attributes a Path sets, in order.
void path_attributes(const Names& n, PyObject** names) {
    PyObject* const order[] = {n.from_state, n.to_state, n.command, n.dialog};
    for (int i = 0; i < 4; ++i) names[i] = order[i];
}

// obj is a State (of our layout) whose class keeps the State attributes as plain entries.
bool state_is_plain(const Module& m, PyObject* obj) {
    if (!PyObject_TypeCheck(obj, m.st.state_type)) return false;
    PyObject* names[5];
    state_attributes(m.n, names);
    return keeps_plain(m.st, m.st.state_plain, Py_TYPE(obj), names, 5);
}

bool path_is_plain(const Module& m, PyObject* obj) {
    if (!PyObject_TypeCheck(obj, m.st.path_type)) return false;
    PyObject* names[4];
    path_attributes(m.n, names);
    return keeps_plain(m.st, m.st.path_plain, Py_TYPE(obj), names, 4);
}

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

bool check_state_types(PyObject* name, PyObject* pattern);
bool update_pattern(const Module& m, PyObject* self, PyObject* pattern, bool plain);

// Gives a new object of our layout a copy of `full` as its dict (all attributes at their defaults).
bool give_full_dict(PyObject* self, PyObject* full) {
    PyObject* dict = PyDict_Copy(full);
    if (!dict) return false;
    reinterpret_cast<Instance*>(self)->dict = dict;
    return true;
}

uint64_t dict_version(PyObject* self) {
#if PY_VERSION_HEX >= 0x030C0000
    (void)self;
    return 0;
#else
    return reinterpret_cast<PyDictObject*>(reinterpret_cast<Instance*>(self)->dict)->ma_version_tag;
#endif
}

// Records a native construction (see ModuleState::built): `first` after the copy, then `writes`
// changes of the new dict and nothing else, or it is not recorded as quiet.
void witness(ModuleState& st, PyObject* self, uint64_t first, uint64_t writes, bool clean) {
    const uint64_t last = dict_version(self);
    st.built.obj = self;
    st.built.first = first;
    st.built.last = clean && first && last == first + writes ? last : 0;
}

PyObject* state_init(const Module& m, PyObject* const* a) {
    PyObject *self = a[0], *name = a[1], *pattern = a[2];
    const bool plain = state_is_plain(m, self);
    // A new object written directly holds only what this constructor writes.
    const bool fresh = plain && !reinterpret_cast<Instance*>(self)->dict;
    // self.validate(name, pattern), checked here when it is the class's own.
    const int base_validate = uses_base_method(m.st, self, m.st.state_type, m.n.validate, m.st.base_validate);
    if (base_validate < 0) return nullptr;
    if (base_validate ? !check_state_types(name, pattern) : !call_method(self, m.n.validate, name, pattern)) {
        return nullptr;
    }
    const int base_update = uses_base_method(m.st, self, m.st.state_type, m.n.update_pattern,
                                             m.st.base_update_pattern, fresh && base_validate);
    if (base_update < 0) return nullptr;
    const bool simple_pattern = PyList_CheckExact(pattern) || PyUnicode_CheckExact(pattern);
    if (fresh && base_validate && base_update && simple_pattern) {
        // No code of others runs until the constructor returns: start from every attribute at its
        // default and set the two that differ.
        m.st.built.obj = nullptr;
        if (!give_full_dict(self, m.st.state_template_full)) return nullptr;
        const uint64_t first = dict_version(self);
        if (!write_attr(self, m.n.name, name, true, nullptr) || !update_pattern(m, self, pattern, true)) return nullptr;
        witness(m.st, self, first, 2, true);
        return none();
    }
    if (!write_attr(self, m.n.name, name, plain, m.st.state_template)) return nullptr;
    // The empty list set before _update_pattern is seen by nobody when that method is the class's
    // own and replaces it at once.
    if (!(base_update && plain && simple_pattern)) {
        Ref empty = Ref::steal(PyList_New(0));
        if (!empty || !write_attr(self, m.n.pattern_list, empty.get(), plain, nullptr)) return nullptr;
    }
    if (base_update ? !update_pattern(m, self, pattern, plain)
                    : !call_method(self, m.n.update_pattern, pattern)) {
        return nullptr;
    }
    if (!write_attr(self, m.n.linked_sm, Py_None, plain, nullptr) ||
        !write_attr(self, m.n.hostname, Py_None, plain, nullptr) ||
        !write_attr(self, m.n.learn_hostname, Py_False, plain, nullptr)) {
        return nullptr;
    }
    return none();
}

bool check_state_types(PyObject* name, PyObject* pattern) {
    int ok = is_a(name, &PyUnicode_Type);
    if (ok <= 0) {
        if (ok == 0) PyErr_SetString(PyExc_TypeError, "State Name should be of type str");
        return false;
    }
    ok = is_a(pattern, &PyUnicode_Type);
    if (ok == 0) ok = is_a(pattern, &PyList_Type);
    if (ok <= 0) {
        if (ok == 0) PyErr_SetString(PyExc_TypeError, "State Pattern should be of type list or str");
        return false;
    }
    return true;
}

PyObject* state_validate(const Module&, PyObject* const* a) {
    return check_state_types(a[0], a[1]) ? none() : nullptr;
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
    Ref host_now = getattr(self, m.n.hostname);
    Ref re = global(m, m.n.mod_re);
    if (!host_now || !re) return nullptr;
    Ref escape = getattr(re.get(), m.n.escape);
    Ref escaped = escape ? call(escape.get(), host_now.get()) : Ref();
    if (!escaped) return nullptr;
    // The hostname is literal text: escaped for the pattern, and its backslashes doubled so that
    // the substitution reads no template escape in it.
    Ref literal = PyUnicode_CheckExact(escaped.get())
                      ? Ref::steal(PyUnicode_Replace(escaped.get(), m.n.text_backslash, m.n.text_two_backslashes, -1))
                      : call_method(escaped.get(), m.n.replace, m.n.text_backslash, m.n.text_two_backslashes);
    if (!literal) return nullptr;
    Ref sub = getattr(re.get(), m.n.sub);
    if (!sub) return nullptr;
    // The module's own re.sub with that template puts the escaped hostname in: replace natively.
    if (sub.get() == m.st.re_sub && placeholder_is_original(m, re.get(), placeholder.get()) &&
        PyUnicode_CheckExact(escaped.get()) && PyUnicode_CheckExact(literal.get()) && PyUnicode_CheckExact(pattern)) {
        return PyUnicode_Replace(pattern, expression.get(), escaped.get(), -1);
    }
    return call(sub.get(), expression.get(), literal.get(), pattern).release();
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

// The getter as written: join, then the substitution method found on the instance.
Ref pattern_as_written(const Module& m, PyObject* self) {
    Ref patterns = getattr(self, m.n.pattern_list);
    if (!patterns) return Ref();
    Ref joined = Ref::steal(PyUnicode_Join(m.n.text_bar, patterns.get()));
    if (!joined) return Ref();
    const int learn = attr_truth(self, m.n.learn_hostname);
    if (learn < 0) return Ref();
    return call_method(self, learn ? m.n.substitute_learn_hostname : m.n.substitute_hostname, joined.get());
}

// The truth of these values is read without running code.
bool plain_truth(PyObject* value) {
    return value == Py_None || PyBool_Check(value) || PyLong_CheckExact(value) || PyUnicode_CheckExact(value);
}

void forget(PatternMemo*& memo) {
    if (!memo) return;
    PatternMemo* doomed = memo;
    memo = nullptr;
    Py_XDECREF(doomed->list);
    Py_XDECREF(doomed->items);
    Py_XDECREF(doomed->hostname);
    Py_XDECREF(doomed->text);
    Py_XDECREF(doomed->compiled);
    PyMem_Free(doomed);
}

bool memo_holds(const PatternMemo* memo, PyObject* list, bool learn, PyObject* hostname) {
    if (!memo || memo->list != list || memo->learn != learn || (!learn && memo->hostname != hostname)) return false;
    const Py_ssize_t count = PyList_GET_SIZE(list);
    return count == PyTuple_GET_SIZE(memo->items) &&
           (count == 0 || std::memcmp(reinterpret_cast<PyListObject*>(list)->ob_item,
                                      reinterpret_cast<PyTupleObject*>(memo->items)->ob_item,
                                      static_cast<size_t>(count) * sizeof(PyObject*)) == 0);
}

// Remembers a pattern read; a failure to remember is not an error of the read.
void remember(PyObject* self, PyObject* list, bool learn, PyObject* hostname, PyObject* text) {
    PatternMemo*& memo = reinterpret_cast<StateObject*>(self)->memo;
    PyObject* items = PyList_AsTuple(list);
    auto* fresh = items ? static_cast<PatternMemo*>(PyMem_Malloc(sizeof(PatternMemo))) : nullptr;
    if (!fresh) {
        Py_XDECREF(items);
        PyErr_Clear();
        return;
    }
    *fresh = PatternMemo{Py_NewRef(list), items, learn ? nullptr : Py_NewRef(hostname), learn, Py_NewRef(text), nullptr};
    forget(memo);
    memo = fresh;
}

// The pattern from its inputs, with the module's own `re` (checked by the caller).
Ref substituted(const Module& m, PyObject* joined, bool learn, PyObject* hostname) {
    if (learn) return Ref::steal(learn_placeholders_natively(m, joined));
    if (hostname == Py_None || PyUnicode_GET_LENGTH(hostname) == 0) return Ref::newref(joined);
    Ref escaped = call(m.st.re_escape, hostname);
    if (!escaped) return Ref();
    if (!PyUnicode_CheckExact(escaped.get())) {
        PyErr_SetString(PyExc_TypeError, "re.escape returned a non-str for a str");
        return Ref();
    }
    return Ref::steal(PyUnicode_Replace(joined, m.n.text_placeholder, escaped.get(), -1));
}

}  // namespace

bool regex_is_original(const Module& m) {
    Ref re = global(m, m.n.mod_re);
    Ref placeholder = re ? global(m, m.n.mod_subst_pat) : Ref();
    if (!placeholder) {
        PyErr_Clear();
        return false;
    }
    if (re.get() != m.st.re_module || !PyModule_CheckExact(re.get()) || !PyUnicode_CheckExact(placeholder.get()) ||
        !same_text(placeholder.get(), m.n.text_placeholder)) {
        return false;
    }
    RegexCheck& check = m.st.regex;
    PyObject* dict = PyModule_GetDict(re.get());
    if (check.re_dict == dict && dict_unchanged(m.st, dict, check.tag, check.changes)) return check.original;
    check.re_dict = dict;
    check.changes = dict_changes_now();
    watch_dict(m.st, dict, &check.tag);
    check.original = PyDict_GetItemWithError(dict, m.n.search) == m.st.re_search &&
                     PyDict_GetItemWithError(dict, m.n.sub) == m.st.re_sub &&
                     PyDict_GetItemWithError(dict, m.n.compile) == m.st.re_compile &&
                     PyDict_GetItemWithError(dict, m.n.escape) == m.st.re_escape;
    PyErr_Clear();
    return check.original;
}

Ref state_pattern(const Module& m, PyObject* self, PyObject** compiled) {
    if (compiled) *compiled = nullptr;
    if (!state_is_plain(m, self) || !regex_is_original(m)) return pattern_as_written(m, self);
    PyObject* const names[] = {m.n.pattern_list, m.n.learn_hostname};
    PyObject* values[2];
    plain_values(self, names, values, 2);
    PyObject *list = values[0], *learn_value = values[1];
    if (!list || !PyList_CheckExact(list) || !learn_value || !plain_truth(learn_value)) {
        return pattern_as_written(m, self);
    }
    const bool learn = PyObject_IsTrue(learn_value) == 1;
    const int base = uses_base_method(m.st, self, m.st.state_type,
                                      learn ? m.n.substitute_learn_hostname : m.n.substitute_hostname,
                                      learn ? m.st.base_substitute_learn_hostname : m.st.base_substitute_hostname);
    if (base < 0) return Ref();
    PyObject* hostname = learn ? nullptr : plain_value(self, m.n.hostname);
    if (!learn && !hostname) hostname = Py_None;  // getattr(self, 'hostname', None)
    if (!base || (hostname && hostname != Py_None && !PyUnicode_CheckExact(hostname))) {
        return pattern_as_written(m, self);
    }
    PatternMemo*& memo = reinterpret_cast<StateObject*>(self)->memo;
    if (!memo_holds(memo, list, learn, hostname)) {
        Ref joined = Ref::steal(PyUnicode_Join(m.n.text_bar, list));
        Ref text = joined ? substituted(m, joined.get(), learn, hostname) : Ref();
        if (!text) return Ref();
        if (!PyUnicode_CheckExact(text.get())) return text;
        remember(self, list, learn, hostname, text.get());
        if (!memo) return text;
    }
    if (compiled) {
        if (!memo->compiled && !(memo->compiled = call(m.st.re_compile, memo->text).release())) return Ref();
        *compiled = memo->compiled;
    }
    return Ref::newref(memo->text);
}

namespace {

PyObject* state_pattern_get(const Module& m, PyObject* const* a) { return state_pattern(m, a[0], nullptr).release(); }

PyObject* state_pattern_set(const Module& m, PyObject* const* a) {
    if (!call_method(a[0], m.n.update_pattern, a[1])) return nullptr;
    return none();
}

bool update_pattern(const Module& m, PyObject* self, PyObject* pattern, bool plain) {
    const int is_list = is_a(pattern, &PyList_Type);
    if (is_list != 0) return is_list > 0 && write_attr(self, m.n.pattern_list, pattern, plain, nullptr);
    const int is_str = is_a(pattern, &PyUnicode_Type);
    if (is_str < 0) return false;
    if (is_str) {
        Ref single = Ref::steal(PyList_New(1));
        if (!single) return false;
        PyList_SET_ITEM(single.get(), 0, Py_NewRef(pattern));
        return write_attr(self, m.n.pattern_list, single.get(), plain, nullptr);
    }
    return true;
}

PyObject* state_update_pattern(const Module& m, PyObject* const* a) {
    return update_pattern(m, a[0], a[1], state_is_plain(m, a[0])) ? none() : nullptr;
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
     "Replaces every %N in the pattern by the state's hostname, when one is set; the hostname is\n"
     "matched literally (escaped as re.escape does), never read as pattern or template syntax.",
     "(self, pattern)"},
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

bool validate_path(const Module& m, PyObject* self, bool plain);
bool validate_fresh_path(const Module& m, PyObject* self, PyObject* const* values);

PyObject* path_init(const Module& m, PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* command = a[3] ? a[3] : Py_None;
    PyObject* dialog = a[4] ? a[4] : Py_None;
    const bool plain = path_is_plain(m, self);
    const bool fresh = plain && !reinterpret_cast<Instance*>(self)->dict;
    PyObject* const values[] = {a[1], a[2], command, dialog};
    m.st.built.obj = nullptr;
    uint64_t first = 0;
    // Nothing runs between these writes: a new object starts from every attribute at None.
    if (fresh) {
        if (!give_full_dict(self, m.st.path_template_full)) return nullptr;
        first = dict_version(self);
        if (!write_attr(self, m.n.from_state, values[0], true, nullptr) ||
            !write_attr(self, m.n.to_state, values[1], true, nullptr) ||
            (command != Py_None && !write_attr(self, m.n.command, command, true, nullptr)) ||
            (dialog != Py_None && !write_attr(self, m.n.dialog, dialog, true, nullptr))) {
            return nullptr;
        }
    } else if (!write_attr(self, m.n.from_state, values[0], plain, m.st.path_template) ||
               !write_attr(self, m.n.to_state, values[1], plain, nullptr) ||
               !write_attr(self, m.n.command, values[2], plain, nullptr) ||
               !write_attr(self, m.n.dialog, values[3], plain, nullptr)) {
        return nullptr;
    }
    const int base =
        uses_base_method(m.st, self, m.st.path_type, m.n.validate_update, m.st.base_validate_update, fresh);
    if (base < 0) return nullptr;
    if (!base) return call_method(self, m.n.validate_update) ? none() : nullptr;
    if (!fresh) return validate_path(m, self, plain) ? none() : nullptr;
    if (!validate_fresh_path(m, self, values)) return nullptr;
    // The checks ran no code of others when the command is a plain text (or none) and no dialog.
    const bool clean = dialog == Py_None && (command == Py_None || PyUnicode_CheckExact(command)) &&
                       PyObject_TypeCheck(values[0], m.st.state_type) && PyObject_TypeCheck(values[1], m.st.state_type);
    witness(m.st, self, first, 2 + (command != Py_None) + (dialog != Py_None), clean);
    return none();
}

// Raises unless self.<end> is a State.
bool check_end_state(const Module& m, PyObject* self, PyObject* end, bool plain) {
    Ref state = read_attr(self, end, plain);
    if (!state) return false;
    const int ok = is_instance_of_global(m, state.get(), m.n.mod_state);
    if (ok < 0) return false;
    if (!ok) {
        raise_error(m, Ref::steal(PyUnicode_FromFormat("%S is not an instance of State", state.get())));
        return false;
    }
    return true;
}

bool check_command(const Module& m, PyObject* self, bool plain) {
    Ref command = read_attr(self, m.n.command, plain);
    if (!command) return false;
    const int given = PyObject_IsTrue(command.get());
    if (given <= 0) return given == 0;
    const int text = is_a(command.get(), &PyUnicode_Type);
    if (text < 0) return false;
    if (text || PyCallable_Check(command.get())) return true;
    raise_error(m, Ref::steal(PyUnicode_FromFormat("Command (%S) should be of type str or callable", command.get())));
    return false;
}

bool check_dialog(const Module& m, PyObject* self, bool plain) {
    Ref dialog = read_attr(self, m.n.dialog, plain);
    if (!dialog) return false;
    const int is_list = is_a(dialog.get(), &PyList_Type);
    if (is_list < 0) return false;
    if (is_list) {
        Ref cls = global(m, m.n.mod_dialog);
        Ref converted = cls ? call(cls.get(), dialog.get()) : Ref();
        // The dialog's class ran code that may have changed this path's class: set it as written.
        return converted && setattr(self, m.n.dialog, converted.get());
    }
    if (dialog.get() == Py_None) return true;
    const int is_dialog = is_instance_of_global(m, dialog.get(), m.n.mod_dialog);
    if (is_dialog != 0) return is_dialog > 0;
    raise_error(m, Ref::steal(PyUnicode_FromFormat("%S must be a Dialog instance, list or None", dialog.get())));
    return false;
}

bool validate_path(const Module& m, PyObject* self, bool plain) {
    return check_end_state(m, self, m.n.from_state, plain) && check_end_state(m, self, m.n.to_state, plain) &&
           check_command(m, self, plain) && check_dialog(m, self, plain);
}

// validate_update on the values a constructor has just stored: they are used as they are for
// as long as no check can run code that might change them.
bool validate_fresh_path(const Module& m, PyObject* self, PyObject* const* values) {
    Ref state_class = global(m, m.n.mod_state);
    if (!state_class) return false;
    if (state_class.get() != reinterpret_cast<PyObject*>(m.st.state_type) ||
        !PyObject_TypeCheck(values[0], m.st.state_type) || !PyObject_TypeCheck(values[1], m.st.state_type)) {
        return validate_path(m, self, true);
    }
    PyObject* command = values[2];
    if (command != Py_None && !PyUnicode_CheckExact(command)) {
        return check_command(m, self, true) && check_dialog(m, self, true);
    }
    return values[3] == Py_None || check_dialog(m, self, true);
}

PyObject* path_validate_update(const Module& m, PyObject* const* a) {
    return validate_path(m, a[0], path_is_plain(m, a[0])) ? none() : nullptr;
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

int state_traverse(PyObject* self, visitproc visit, void* arg) {
    if (const PatternMemo* memo = reinterpret_cast<StateObject*>(self)->memo) {
        Py_VISIT(memo->list);
        Py_VISIT(memo->items);
        Py_VISIT(memo->hostname);
        Py_VISIT(memo->text);
        Py_VISIT(memo->compiled);
    }
    return instance_traverse(self, visit, arg);
}

int state_clear(PyObject* self) {
    forget(reinterpret_cast<StateObject*>(self)->memo);
    return instance_clear(self);
}

void state_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<Instance*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    state_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyTypeObject* build_state_class(PyObject* module, ModuleState& st) {
    ClassLayout layout;
    layout.basicsize = sizeof(StateObject);
    layout.traverse = state_traverse;
    layout.clear = state_clear;
    layout.dealloc = state_dealloc;
    layout.init = native_tp_init<&ModuleState::state_init_function>;
    layout.model = true;
    PyTypeObject* cls = make_class(module, "tessel.statemachine.statemachine.State", state_doc, layout);
    if (!cls) return nullptr;
    bool ok = add_method_keeping_slots(module, cls, state_members[0], &st.state_init_function) &&
              add_static_method(module, cls, state_members[1]) && add_method(module, cls, state_members[2]) &&
              add_method(module, cls, state_members[3]) &&
              add_property(module, cls, "pattern", pattern_getter, pattern_setter, nullptr);
    for (const auto& spec : state_members_after_pattern) ok = ok && add_method(module, cls, spec);
    if (!ok) Py_CLEAR(cls);
    if (cls) cls->tp_vectorcall = native_class_call<&ModuleState::state_init_function>;
    return cls;
}

PyTypeObject* build_path_class(PyObject* module, ModuleState& st) {
    ClassLayout layout;
    layout.init = native_tp_init<&ModuleState::path_init_function>;
    layout.model = true;
    PyTypeObject* cls = make_class(module, "tessel.statemachine.statemachine.Path", path_doc, layout);
    if (!cls) return nullptr;
    bool ok = add_method_keeping_slots(module, cls, path_members[0], &st.path_init_function);
    for (size_t i = 1; ok && i < sizeof(path_members) / sizeof(path_members[0]); ++i) {
        ok = add_method(module, cls, path_members[i]);
    }
    if (!ok) Py_CLEAR(cls);
    if (cls) cls->tp_vectorcall = native_class_call<&ModuleState::path_init_function>;
    return cls;
}

// The class's own object for `name` (borrowed from its namespace, kept as a new reference).
PyObject* own_entry(PyTypeObject* cls, PyObject* name) {
    bool failed = false;
    PyObject* found = lookup_in_mro(cls, name, &failed);
    if (!found && !failed) PyErr_SetObject(PyExc_AttributeError, name);
    return Py_XNewRef(found);
}

}  // namespace

int model_init(PyObject* module, ModuleState& st) {
    const Names& n = st.names;
    if (!(st.state_type = build_state_class(module, st))) return -1;
    if (PyModule_AddObjectRef(module, "State", reinterpret_cast<PyObject*>(st.state_type)) < 0) return -1;
    if (!(st.path_type = build_path_class(module, st))) return -1;
    if (!(st.base_validate = own_entry(st.state_type, n.validate)) ||
        !(st.base_update_pattern = own_entry(st.state_type, n.update_pattern)) ||
        !(st.base_validate_update = own_entry(st.path_type, n.validate_update)) ||
        !(st.base_pattern = own_entry(st.state_type, n.pattern)) ||
        !(st.base_substitute_hostname = own_entry(st.state_type, n.substitute_hostname)) ||
        !(st.base_substitute_learn_hostname = own_entry(st.state_type, n.substitute_learn_hostname))) {
        return -1;
    }
    PyObject* names[5];
    state_attributes(n, names);
    PyObject* const state_defaults[] = {Py_None, Py_None, Py_None, Py_None, Py_False};
    if (!shared_keys_templates("StateAttributes", names, state_defaults, 5, &st.state_template,
                               &st.state_template_full)) {
        return -1;
    }
    path_attributes(n, names);
    PyObject* const path_defaults[] = {Py_None, Py_None, Py_None, Py_None};
    if (!shared_keys_templates("PathAttributes", names, path_defaults, 4, &st.path_template, &st.path_template_full)) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "Path", reinterpret_cast<PyObject*>(st.path_type));
}

}  // namespace tessel
