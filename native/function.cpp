// The native function type behind every method, and the helpers that put methods into classes.
#include <Python.h>
#include <structmember.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "binder.hpp"
#include "module.hpp"

namespace tessel {
namespace {

// Behaves like a plain Python function: binds as a method through __get__, and counts `self`
// among its positional arguments.
struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* module;
    PyObject* params;    // tuple of interned parameter names
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* signature;
};

// Lowest usable address of this thread's stack, with a margin kept free; 0 when unknown.
uintptr_t stack_floor() {
    thread_local uintptr_t floor = [] {
        pthread_attr_t attr;
        void* low = nullptr;
        size_t size = 0;
        uintptr_t result = 0;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            if (pthread_attr_getstack(&attr, &low, &size) == 0) {
                const size_t margin = size / 8 < (256u << 10) ? size / 8 : (256u << 10);
                result = reinterpret_cast<uintptr_t>(low) + margin;
            }
            pthread_attr_destroy(&attr);
        }
        return result;
    }();
    return floor;
}

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
#if PY_VERSION_HEX >= 0x030D0000
constexpr int kCLevels = Py_C_RECURSION_LIMIT;
#else
constexpr int kCLevels = C_RECURSION_LIMIT;
#endif

// From 3.12 Py_EnterRecursiveCall counts C levels against a fixed limit of the interpreter's
// (1500 on 3.12, 10000 on 3.13), not sys.getrecursionlimit(), so a recursion through our methods
// alone would run far deeper, and for far longer, than the same methods written in Python. Our
// calls in progress therefore count with the Python frames against the recursion limit, as
// frames of Python functions would.
//
// Our count is per thread, while a thread may switch between stacks (greenlet) with calls of
// ours in progress on each. It is bounded by the C levels in use, which belong to the thread
// state and are switched with the stack, and of which each call of ours takes one.
thread_local int calls_in_progress = 0;

bool beyond_recursion_limit() {
    // The Python frames take py_recursion_limit - py_recursion_remaining levels of the limit
    // (sys.setrecursionlimit() updates both fields of every thread): ours may take the rest.
    const PyThreadState* ts = PyThreadState_Get();
    const int c_levels = kCLevels - ts->c_recursion_remaining;
    const int ours = calls_in_progress < c_levels ? calls_in_progress : c_levels;
    return ours >= ts->py_recursion_remaining;
}

void count_call(int step) { calls_in_progress += step; }
#else
// Up to 3.11 Py_EnterRecursiveCall follows the recursion limit by itself.
bool beyond_recursion_limit() { return false; }
void count_call(int) {}
#endif

// Methods call each other through the instance, so recursion can pass through native frames alone:
// each call counts as a level of recursion, and the C stack itself is checked as well.
bool enter_call(const char* name) {
    const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    const uintptr_t floor = stack_floor();
    if (floor && here < floor) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded in %s() (stack exhausted)", name);
        return false;
    }
    if (beyond_recursion_limit()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded in a state machine method");
        return false;
    }
    if (Py_EnterRecursiveCall(" in a state machine method") != 0) return false;
    count_call(1);
    return true;
}

void leave_call() {
    count_call(-1);
    Py_LeaveRecursiveCall();
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* fn = reinterpret_cast<NativeFunction*>(callable);
    PyObject* bound[kMaxParams];
    if (!bind_arguments(fn->spec->name, fn->params, fn->spec->nrequired, args, nargsf, kwnames, bound)) {
        return nullptr;
    }
    if (!enter_call(fn->spec->name)) return nullptr;
    ModuleState* st = module_state(fn->module);
    Module m{*st, st->names, PyModule_GetDict(fn->module)};
    PyObject* result = fn->spec->impl(m, bound);
    leave_call();
    return result;
}

PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    auto* fn = reinterpret_cast<NativeFunction*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", fn->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* fn = reinterpret_cast<NativeFunction*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->module);
    Py_VISIT(fn->params);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->signature);
    return 0;
}

int function_clear(PyObject* self) {
    auto* fn = reinterpret_cast<NativeFunction*>(self);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->params);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->signature);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* function_module_name(PyObject* self, void*) {
    auto* fn = reinterpret_cast<NativeFunction*>(self);
    return PyModule_GetNameObject(fn->module);
}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, vectorcall), READONLY, nullptr},
    {"__name__", T_OBJECT, offsetof(NativeFunction, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(NativeFunction, qualname), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(NativeFunction, doc), READONLY, nullptr},
    {"__text_signature__", T_OBJECT, offsetof(NativeFunction, signature), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__module__", function_module_name, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "tessel.statemachine.statemachine.native_function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// Splits "self name pattern" into a tuple of interned names.
Ref parameter_names(const char* params) {
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return Ref();
    const char* start = params;
    while (*start) {
        const char* end = std::strchr(start, ' ');
        const size_t len = end ? static_cast<size_t>(end - start) : std::strlen(start);
        Ref name = Ref::steal(PyUnicode_FromStringAndSize(start, static_cast<Py_ssize_t>(len)));
        if (!name) return Ref();
        PyObject* raw = name.release();
        PyUnicode_InternInPlace(&raw);
        name = Ref::steal(raw);
        if (PyList_Append(names.get(), name.get()) < 0) return Ref();
        start += len;
        while (*start == ' ') ++start;
    }
    return Ref::steal(PyList_AsTuple(names.get()));
}

Ref text_or_none(const char* text) {
    if (!text) return Ref::newref(Py_None);
    return Ref::steal(PyUnicode_FromString(text));
}

}  // namespace

int instance_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Instance*>(self)->dict);
    return 0;
}

int instance_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<Instance*>(self)->dict);
    return 0;
}

namespace {

void instance_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<Instance*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    instance_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// Counts an assignment to __dict__ or __class__, which no dict change shows, for the indexes.
void note_identity_change(PyObject* obj) {
    if (PyObject* module = module_of(Py_TYPE(obj))) {
        ++module_state(module)->identity_changes;
    } else {
        PyErr_Clear();
    }
}

int instance_set_dict(PyObject* obj, PyObject* value, void* context) {
    note_identity_change(obj);
    return PyObject_GenericSetDict(obj, value, context);
}

PyObject* instance_get_class(PyObject* obj, void*) { return Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(obj))); }

// Assigns __class__ as object's own descriptor does, after counting the change.
int instance_set_class(PyObject* obj, PyObject* value, void*) {
    PyObject* module = module_of(Py_TYPE(obj));
    if (!module) return -1;
    ++module_state(module)->identity_changes;
    PyObject* descr = module_state(module)->object_class;
    return Py_TYPE(descr)->tp_descr_set(descr, obj, value);
}

PyGetSetDef instance_getset[] = {
    {"__dict__", PyObject_GenericGetDict, instance_set_dict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef model_getset[] = {
    {"__dict__", PyObject_GenericGetDict, instance_set_dict, nullptr, nullptr},
    {"__class__", instance_get_class, instance_set_class, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef instance_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(Instance, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Instance, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

int function_type_init(PyObject* module, ModuleState& st) {
    // object's own __class__ descriptor, which the model classes' __class__ setter hands over to.
#if PY_VERSION_HEX >= 0x030C0000
    Ref object_dict = Ref::steal(PyType_GetDict(&PyBaseObject_Type));
#else
    Ref object_dict = Ref::newref(PyBaseObject_Type.tp_dict);
#endif
    PyObject* descr = object_dict ? PyDict_GetItemWithError(object_dict.get(), st.names.dunder_class) : nullptr;
    if (!descr || !Py_TYPE(descr)->tp_descr_set) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "object.__class__ is not a data descriptor");
        return -1;
    }
    st.object_class = Py_NewRef(descr);
    st.function_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &function_spec, nullptr));
    return st.function_type ? 0 : -1;
}

Ref make_function(PyObject* module, const FunctionSpec& spec) {
    ModuleState* st = module_state(module);
    Ref params = parameter_names(spec.params);
    if (!params) return Ref();
    auto* fn = PyObject_GC_New(NativeFunction, st->function_type);
    if (!fn) return Ref();
    fn->vectorcall = function_vectorcall;
    fn->spec = &spec;
    fn->module = Py_NewRef(module);
    fn->params = params.release();
    fn->name = PyUnicode_InternFromString(spec.name);
    fn->qualname = PyUnicode_FromString(spec.qualname);
    fn->doc = text_or_none(spec.doc).release();
    fn->signature = text_or_none(spec.signature).release();
    PyObject_GC_Track(fn);
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(fn));
    if (!fn->name || !fn->qualname || !fn->doc || !fn->signature) return Ref();
    return result;
}

bool add_method_keeping_slots(PyObject* module, PyTypeObject* cls, const FunctionSpec& spec, PyObject** function) {
    Ref fn = make_function(module, spec);
    if (!fn) return false;
#if PY_VERSION_HEX >= 0x030C0000
    Ref dict = Ref::steal(PyType_GetDict(cls));
#else
    Ref dict = Ref::newref(cls->tp_dict);
#endif
    if (!dict || PyDict_SetItemString(dict.get(), spec.name, fn.get()) < 0) return false;
    PyType_Modified(cls);
    *function = fn.release();
    return true;
}

namespace {

// Calls the native __init__ of the class with `self` before the arguments.
PyObject* call_init(PyObject* init, PyObject* self, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    const size_t total = nargs + (kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
    PyObject* local[kMaxParams + 1];
    std::unique_ptr<PyObject*[]> heap;
    PyObject** stack = local;
    if (total + 1 > kMaxParams + 1) {
        heap.reset(new (std::nothrow) PyObject*[total + 1]);
        if (!heap) return PyErr_NoMemory();
        stack = heap.get();
    }
    stack[0] = self;
    for (size_t i = 0; i < total; ++i) stack[i + 1] = args[i];
    return PyObject_Vectorcall(init, stack, nargs + 1, kwnames);
}

// type.__call__(cls, *args, **kwargs), from vectorcall arguments.
PyObject* call_as_type(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    Ref kwargs;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        if (!(kwargs = Ref::steal(PyDict_New()))) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
        }
    }
    return PyType_Type.tp_call(type, tuple.get(), kwargs.get());
}

}  // namespace

template <PyObject* ModuleState::*Init>
int native_tp_init(PyObject* self, PyObject* args, PyObject* kwds) {
    PyObject* module = module_of(Py_TYPE(self));
    if (!module) return -1;
    PyObject* init = module_state(module)->*Init;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwds ? PyDict_GET_SIZE(kwds) : 0;
    Ref kwnames = nkw ? Ref::steal(PyTuple_New(nkw)) : Ref();
    if (nkw && !kwnames) return -1;
    std::vector<PyObject*> stack;
    try {
        stack.reserve(static_cast<size_t>(nargs + nkw));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) stack.push_back(PyTuple_GET_ITEM(args, i));
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (nkw && PyDict_Next(kwds, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
        stack.push_back(value);
    }
    PyObject* result = call_init(init, self, stack.data(), static_cast<size_t>(nargs), kwnames.get());
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
}

template <PyObject* ModuleState::*Init>
PyObject* native_class_call(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    // Construction as the class has it now: a __new__ or __init__ of its own takes the usual way.
    if (cls->tp_new != PyType_GenericNew || cls->tp_init != native_tp_init<Init>) {
        return call_as_type(type, args, nargsf, kwnames);
    }
    PyObject* module = module_of(cls);
    if (!module) return nullptr;
    PyObject* self = cls->tp_alloc(cls, 0);
    if (!self) return nullptr;
    PyObject* result = call_init(module_state(module)->*Init, self, args, PyVectorcall_NARGS(nargsf), kwnames);
    if (!result) {
        Py_DECREF(self);
        return nullptr;
    }
    Py_DECREF(result);
    return self;
}

template int native_tp_init<&ModuleState::state_init_function>(PyObject*, PyObject*, PyObject*);
template int native_tp_init<&ModuleState::path_init_function>(PyObject*, PyObject*, PyObject*);
template PyObject* native_class_call<&ModuleState::state_init_function>(PyObject*, PyObject* const*, size_t,
                                                                        PyObject*);
template PyObject* native_class_call<&ModuleState::path_init_function>(PyObject*, PyObject* const*, size_t,
                                                                       PyObject*);

bool shared_keys_templates(const char* class_name, PyObject* const* names, PyObject* const* values, int count,
                           PyObject** first_only, PyObject** full) {
    Ref namespace_dict = Ref::steal(PyDict_New());
    Ref cls = namespace_dict ? Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O",
                                                                class_name, namespace_dict.get()))
                             : Ref();
    if (!cls) return false;
    // One instance with every attribute, in order, enters the names into the keys the instances
    // share. Instances of a new class start with room for many more attributes; the interpreter
    // trims that room as instances are made, so a few more are made before the ones kept.
    Ref first = call(cls.get());
    if (!first) return false;
    for (int i = 0; i < count; ++i) {
        if (!setattr(first.get(), names[i], values[i])) return false;
    }
    for (int i = 0; i < 64; ++i) {
        if (!call(cls.get())) return false;
    }
    Ref partial = call(cls.get());
    Ref whole = call(cls.get());
    if (!partial || !whole || !setattr(partial.get(), names[0], values[0])) return false;
    for (int i = 0; i < count; ++i) {
        if (!setattr(whole.get(), names[i], values[i])) return false;
    }
    *first_only = PyObject_GenericGetDict(partial.get(), nullptr);
    *full = *first_only ? PyObject_GenericGetDict(whole.get(), nullptr) : nullptr;
    return *full != nullptr;
}

bool add_method(PyObject* module, PyTypeObject* cls, const FunctionSpec& spec) {
    Ref fn = make_function(module, spec);
    // Set through the class so that special methods (__init__, __str__) update their slots.
    return fn && PyObject_SetAttrString(reinterpret_cast<PyObject*>(cls), spec.name, fn.get()) == 0;
}

bool add_static_method(PyObject* module, PyTypeObject* cls, const FunctionSpec& spec) {
    Ref fn = make_function(module, spec);
    if (!fn) return false;
    Ref wrapped = Ref::steal(PyStaticMethod_New(fn.get()));
    return wrapped && PyObject_SetAttrString(reinterpret_cast<PyObject*>(cls), spec.name, wrapped.get()) == 0;
}

bool add_property(PyObject* module, PyTypeObject* cls, const char* name, const FunctionSpec& getter,
                  const FunctionSpec& setter, const char* doc) {
    Ref get = make_function(module, getter);
    Ref set = make_function(module, setter);
    if (!get || !set) return false;
    Ref doc_text = text_or_none(doc);
    if (!doc_text) return false;
    Ref prop = call(reinterpret_cast<PyObject*>(&PyProperty_Type), get.get(), set.get(), Py_None, doc_text.get());
    return prop && PyObject_SetAttrString(reinterpret_cast<PyObject*>(cls), name, prop.get()) == 0;
}

PyTypeObject* make_class(PyObject* module, const char* spec_name, const char* doc, const ClassLayout& layout) {
    const bool own = layout.traverse != nullptr;
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
        {Py_tp_traverse, reinterpret_cast<void*>(own ? layout.traverse : instance_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(own ? layout.clear : instance_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(own ? layout.dealloc : instance_dealloc)},
        {Py_tp_getset, layout.model ? model_getset : instance_getset},
        {Py_tp_members, instance_members},
        {layout.init ? Py_tp_init : 0, reinterpret_cast<void*>(layout.init)},
        {0, nullptr},
    };
    PyType_Spec spec = {
        spec_name, static_cast<int>(layout.basicsize), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

}  // namespace tessel
