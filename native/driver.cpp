// The state change driver: go_to with its transition engines, and state detection from the last prompt.
#include "errors.hpp"
#include "module.hpp"

namespace tessel {
namespace {

PyObject* none() { return Py_NewRef(Py_None); }

// What a change needs: the engine class, what it gets as to_state, and what the current state
// must match afterwards.
struct Plan {
    Ref engine_class;
    Ref target;
    Ref expected;
};

enum class Planned { change, already_there, failed };

// isinstance(obj, list), with no attribute lookup for objects whose class cannot pretend.
int is_list(PyObject* obj) {
    if (PyList_Check(obj)) return 1;
    if (PyUnicode_CheckExact(obj)) return 0;
    return PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(&PyList_Type));
}

// a == b, by identity when both compare so.
int equal(PyObject* a, PyObject* b) {
    if (compares_by_identity(a) && compares_by_identity(b)) return a == b;
    Ref same = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    return same ? PyObject_IsTrue(same.get()) : -1;
}

// "any" or a list goes to AnyStateTransition; one state to the hop-wise or the plain engine.
Planned plan_change(const Module& m, PyObject* self, PyObject* to_state, PyObject* hop_wise, Plan& plan) {
    const int listed = is_list(to_state);
    if (listed < 0) return Planned::failed;
    if (listed || is_text(to_state, m.n.text_any)) {
        plan.engine_class = global(m, m.n.mod_any_transition);
        plan.target = Ref::newref(to_state);
        plan.expected = Ref::newref(to_state);
        return plan.engine_class ? Planned::change : Planned::failed;
    }
    plan.target = as_state(m, self, to_state);
    if (!plan.target) return Planned::failed;
    plan.expected = read_attr(plan.target.get(), m.n.name, state_is_plain(m, plan.target.get()));
    if (!plan.expected) return Planned::failed;
    Ref current_name = machine_current_state(m, self);
    Ref current = current_name ? call_get_state(m, self, current_name.get()) : Ref();
    const int already = current ? equal(plan.target.get(), current.get()) : -1;
    if (already != 0) return already > 0 ? Planned::already_there : Planned::failed;
    const int hop = PyObject_IsTrue(hop_wise);
    if (hop < 0) return Planned::failed;
    plan.engine_class = global(m, hop ? m.n.mod_hop_transition : m.n.mod_transition);
    return plan.engine_class ? Planned::change : Planned::failed;
}

Ref build_engine(const Module& m, PyObject* self, const Plan& plan, PyObject* const* a) {
    PyObject* spawn = a[2];
    PyObject* context = a[3] ? a[3] : m.st.default_context;
    PyObject* dialog = a[4] ? a[4] : Py_None;
    PyObject* timeout = a[5] ? a[5] : Py_None;
    PyObject* recovery = a[7] ? a[7] : Py_False;
    PyObject* values[] = {self, plan.target.get(), spawn, dialog, timeout, context, recovery};
    return Ref::steal(PyObject_Vectorcall(plan.engine_class.get(), values, 0, m.st.engine_keywords));
}

// Records the state the engine reports, unless it reports "generic".
bool reconcile(const Module& m, PyObject* self, PyObject* engine) {
    Ref reported = getattr(engine, m.n.current_state);
    if (!reported) return false;
    if (is_text(reported.get(), m.n.text_generic)) return true;
    Ref state = getattr(engine, m.n.current_state);
    return state && call_update_cur_state(m, self, state.get());
}

// The failure of a run as StateMachineError raised from it; returns that error, not raised. When
// wording the error fails, that failure is returned instead, with the run's failure as its context.
Ref run_failure(const Module& m, PyObject* expected, Ref err) {
    if (!PyErr_GivenExceptionMatches(err.get(), PyExc_Exception)) return err;
    raise_error_from(m, err.get(), [&] {
        return Ref::steal(PyUnicode_FromFormat("Failed while bringing device to \"%S\" state", expected));
    });
    return fetch_exception();
}

// repr(spawn.match.match_output), or "None" when the handle has no match.
Ref last_match_text(const Module& m, PyObject* spawn) {
    Ref match = getattr(spawn, m.n.match);
    if (!match) return Ref();
    if (match.get() == Py_None) return Ref::steal(PyObject_Repr(Py_None));
    Ref output = getattr(match.get(), m.n.match_output);
    return output ? Ref::steal(PyObject_Repr(output.get())) : Ref();
}

std::nullptr_t wrong_state(const Module& m, PyObject* self, PyObject* expected, PyObject* spawn) {
    Ref expected_text = Ref::steal(PyObject_Str(expected));
    Ref current = expected_text ? machine_current_state(m, self) : Ref();
    Ref current_text = current ? Ref::steal(PyObject_Str(current.get())) : Ref();
    Ref sent = current_text ? getattr(spawn, m.n.last_sent) : Ref();
    Ref sent_text = sent ? Ref::steal(PyObject_Repr(sent.get())) : Ref();
    Ref buffer = sent_text ? getattr(spawn, m.n.buffer) : Ref();
    Ref buffer_text = buffer ? Ref::steal(PyObject_Repr(buffer.get())) : Ref();
    Ref match_text = buffer_text ? last_match_text(m, spawn) : Ref();
    if (!match_text) return nullptr;
    return raise_error(m, Ref::steal(PyUnicode_FromFormat(
                              "Changing state to %U failed\ncurrent_state: %U\nlast command: %U\nbuffer: %U\n"
                              "last match: %U",
                              expected_text.get(), current_text.get(), sent_text.get(), buffer_text.get(),
                              match_text.get())));
}

// Success: "any" always; a list when it holds the current state's name; one state when its name is it.
int reached(const Module& m, PyObject* self, PyObject* expected) {
    if (is_text(expected, m.n.text_any)) return 1;
    Ref current = machine_current_state(m, self);
    if (!current) return -1;
    const int listed = is_list(expected);
    if (listed < 0) return -1;
    if (listed) return PySequence_Contains(expected, current.get());
    if (PyUnicode_CheckExact(current.get()) && PyUnicode_CheckExact(expected)) return same_text(current.get(), expected);
    Ref same = Ref::steal(PyObject_RichCompare(current.get(), expected, Py_EQ));
    return same ? PyObject_IsTrue(same.get()) : -1;
}

PyObject* go_to(const Module& m, PyObject* const* a) {
    PyObject *self = a[0], *spawn = a[2];
    Plan plan;
    const Planned planned = plan_change(m, self, a[1], a[6] ? a[6] : Py_False, plan);
    if (planned != Planned::change) return planned == Planned::already_there ? none() : nullptr;
    Ref engine = build_engine(m, self, plan, a);
    if (!engine) return nullptr;
    Ref run = getattr(engine.get(), m.n.do_transitions);
    Ref output = run ? call(run.get()) : Ref();
    if (!output) {
        Ref pending = run_failure(m, plan.expected.get(), fetch_exception());
        {
            // Reconciles as a finally block would: an error here replaces the pending one.
            HandlingScope handling(pending.get());
            if (!reconcile(m, self, engine.get())) return nullptr;
        }
        restore_exception(std::move(pending));
        return nullptr;
    }
    if (!reconcile(m, self, engine.get())) return nullptr;
    const int ok = reached(m, self, plan.expected.get());
    if (ok < 0) return nullptr;
    if (!ok) return wrong_state(m, self, plan.expected.get(), spawn);
    return output.release();
}

// The last line of the handle's last match, or null (no error) when there is no output to look at.
Ref last_prompt(const Module& m, PyObject* spawn) {
    Ref match = getattr(spawn, m.n.match);
    if (!match) return Ref();
    const int has_match = PyObject_IsTrue(match.get());
    if (has_match <= 0) return Ref();
    Ref output = getattr(match.get(), m.n.match_output);
    if (!output || output.get() == Py_None) return Ref();
    Ref lines = call_method(output.get(), m.n.splitlines);
    const Py_ssize_t count = lines ? PyObject_Length(lines.get()) : -1;
    if (count <= 0) return Ref();
    return Ref::steal(PySequence_GetItem(lines.get(), count - 1));
}

// re.search(state.pattern, prompt) for one state. With the module's own `re` and the class's own
// pattern property, the state's remembered compiled pattern does the search.
Ref search_state(const Module& m, PyObject* state, PyObject* prompt) {
    bool failed = false;
    if (PyObject_TypeCheck(state, m.st.state_type) && regex_is_original(m) &&
        cached_lookup(m.st, Py_TYPE(state), m.n.pattern, &failed) == m.st.base_pattern) {
        PyObject* compiled = nullptr;
        Ref pattern = state_pattern(m, state, &compiled);
        if (!pattern) return Ref();
        if (compiled) return call_method(compiled, m.n.search, prompt);
        return call(m.st.re_search, pattern.get(), prompt);
    }
    if (failed) return Ref();
    Ref re = global(m, m.n.mod_re);
    Ref search = re ? getattr(re.get(), m.n.search) : Ref();
    Ref pattern = search ? getattr(state, m.n.pattern) : Ref();
    return pattern ? call(search.get(), pattern.get(), prompt) : Ref();
}

// Records the first registered state whose pattern matches the prompt: 1 found, 0 none, -1 error.
int match_registered_state(const Module& m, PyObject* self, PyObject* prompt) {
    Ref states = getattr(self, m.n.states);
    Ref iter = states ? Ref::steal(PyObject_GetIter(states.get())) : Ref();
    if (!iter) return -1;
    while (Ref state = Ref::steal(PyIter_Next(iter.get()))) {
        Ref found = search_state(m, state.get(), prompt);
        const int matched = found ? PyObject_IsTrue(found.get()) : -1;
        if (matched < 0) return -1;
        if (matched) {
            Ref name = read_attr(state.get(), m.n.name, state_is_plain(m, state.get()));
            return name && setattr(self, m.n.current_state_attr, name.get()) ? 1 : -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* detect_state(const Module& m, PyObject* const* a) {
    PyObject *self = a[0], *spawn = a[1];
    Ref prompt = last_prompt(m, spawn);
    if (prompt) {
        const int found = match_registered_state(m, self, prompt.get());
        if (found != 0) return found < 0 ? nullptr : none();
    } else if (PyErr_Occurred()) {
        return nullptr;
    }
    if (!call_method(spawn, m.n.sendline) || !call_method(self, m.n.go_to, m.n.text_any, spawn)) return nullptr;
    return none();
}

}  // namespace

const FunctionSpec go_to_spec = {
    "go_to", "StateMachine.go_to", "self to_state spawn context dialog timeout hop_wise prompt_recovery", 3, go_to,
    " Changes the device to the given state\n\n"
    "        to_state: the destination state, a list of states, or the keyword 'any'\n"
    "        spawn: the device handle on which the state change is performed\n"
    "        context: the device's context, handed to the transition engine\n"
    "        dialog: additional dialogs appended to the machine's path\n"
    "        timeout: the timeout for this one operation\n"
    "        hop_wise: when enabled, each path is processed separately (default off)\n"
    "        prompt_recovery: switches the prompt recovery feature on or off\n\n"
    "        Examples:\n"
    "            sm.go_to('enable', spawn, context=context)\n"
    "            sm.go_to(['enable', 'disable'], spawn, context=context)\n"
    "            sm.go_to('any', spawn, context=context)\n",
    nullptr};

const FunctionSpec detect_state_spec = {
    "detect_state", "StateMachine.detect_state", "self spawn", 2, detect_state,
    " Detects the state the device is in\n\n"
    "        Matches the prompt patterns of the states against the last line of the device's\n"
    "        last output; if no prompt matches, sends a line to get a fresh prompt and detects\n"
    "        the new state. Meant for services that may change the state behind the machine.\n",
    "(self, spawn)"};

}  // namespace tessel
