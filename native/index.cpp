// Per-machine indexes over `states` and `paths`: building, checking and extending them.
#include "index.hpp"

#include <new>

namespace tessel {
namespace {

// ---- noticing changes of attribute dicts --------------------------------------------------

#if PY_VERSION_HEX >= 0x030C0000
// Counts changes of watched dicts that an index may depend on. The watcher callback has no
// context of its own, so one count serves every module instance: a change anywhere only makes
// the others check their snapshots again.
uint64_t watched_changes = 0;

// Keys whose values no index depends on: the registry and the driver write them all the time.
bool is_ignored_key(PyObject* key) {
    if (!PyUnicode_Check(key) || !PyUnicode_IS_COMPACT_ASCII(key)) return false;
    static const char* const ignored[] = {"_current_state", "hostname", "learn_hostname", "_linked_sm",
                                          "_pattern", "command", "dialog", "_hostname", "_learn_hostname"};
    const char* text = static_cast<const char*>(PyUnicode_DATA(key));
    const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(key));
    for (const char* name : ignored) {
        if (std::strlen(name) == length && std::memcmp(name, text, length) == 0) return true;
    }
    return false;
}

int on_dict_event(PyDict_WatchEvent event, PyObject*, PyObject* key, PyObject*) {
    const bool keyed = event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED || event == PyDict_EVENT_DELETED;
    if (!(keyed && key && is_ignored_key(key))) ++watched_changes;
    return 0;
}

// True when no watched dict changed since `changes` was taken.
bool watch_holds(const ModuleState& st, uint64_t changes) {
    return st.watching && watched_changes == changes;
}
uint64_t changes_now() { return watched_changes; }
#else
bool watch_holds(const ModuleState&, uint64_t) { return false; }
uint64_t changes_now() { return 0; }
#endif

// Marks the cache as in use while an index is checked or changed: code that dict lookups may run
// (a key with its own __eq__) and that reaches the machine again gets the path as written.
class Busy {
public:
    explicit Busy(MachineCache& cache) : cache_(cache) { cache_.busy = true; }
    ~Busy() { cache_.busy = false; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    MachineCache& cache_;
};

PyObject* dict_of(PyObject* obj) { return reinterpret_cast<Instance*>(obj)->dict; }

// Records a dict as seen now.
void note_dict(ModuleState& st, PyObject* dict, uint64_t* tag) {
    *tag = 0;
    if (!dict) return;
#if PY_VERSION_HEX >= 0x030C0000
    if (st.watching && PyDict_Watch(st.dict_watcher, dict) < 0) PyErr_Clear();
#else
    (void)st;
    *tag = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#endif
}

// What stands for obj's attribute dict in a Seen (0 for none).
uint64_t stamp_of(ModuleState& st, PyObject* dict) {
    if (!dict) return 0;
    uint64_t tag;
    note_dict(st, dict, &tag);
#if PY_VERSION_HEX >= 0x030C0000
    (void)tag;
    return reinterpret_cast<uintptr_t>(dict);
#else
    return tag;
#endif
}

Seen observe(ModuleState& st, PyObject* obj, bool has_layout) {
    Seen seen;
    seen.type = Py_TYPE(obj);
    seen.stamp = has_layout ? stamp_of(st, dict_of(obj)) : 0;
    return seen;
}

// The object still has its class and its attribute dict, unchanged since it was seen.
inline bool still_same(PyObject* obj, const Seen& seen, bool watched) {
    if (Py_TYPE(obj) != seen.type) return false;
    PyObject* dict = dict_of(obj);
    if (!dict) return false;
#if PY_VERSION_HEX >= 0x030C0000
    return watched && reinterpret_cast<uintptr_t>(dict) == seen.stamp;
#else
    (void)watched;
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag == seen.stamp;
#endif
}

// After still_same failed: the object keeps its class and the values of `keys` (compared by
// identity with `values`), so the snapshot stands; it is brought up to date.
bool same_values(ModuleState& st, PyObject* obj, Seen& seen, PyObject* const* keys, PyObject* const* values,
                 int count) {
    if (Py_TYPE(obj) != seen.type) return false;
    PyObject* dict = dict_of(obj);
    if (!dict) return false;
    for (int i = 0; i < count; ++i) {
        PyObject* value = PyDict_GetItemWithError(dict, keys[i]);
        if (!value) PyErr_Clear();
        if (value != values[i]) return false;
    }
    seen.stamp = stamp_of(st, dict);
    return true;
}

// Whether the checks may be quiet now; if not, a new chain starts (see MachineCache).
bool quiet_now(const ModuleState& st, MachineCache& cache) {
#if PY_VERSION_HEX >= 0x030C0000
    const bool quiet = st.watching && watched_changes == cache.quiet_changes && st.identity_changes == cache.identity_seen;
    cache.quiet_changes = watched_changes;
#else
    const bool quiet = cache.quiet_op && st.identity_changes == cache.identity_seen;
#endif
    if (!quiet) {
        ++cache.chain;
        cache.identity_seen = st.identity_changes;
    }
    return quiet;
}

// ---- classes ------------------------------------------------------------------------------

// Registers obj's class with the guard list; false when it cannot be guarded (no version tag).
bool guard_class(ModuleState& st, Vec<ClassGuard>& classes, PyTypeObject* type) {
    for (const auto& guard : classes) {
        if (guard.type == type) return true;
    }
    const unsigned int tag = type_tag(st, type);
    if (!tag) return false;
    classes.push_back(ClassGuard{reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(type))), tag});
    return true;
}

bool classes_unchanged(const Vec<ClassGuard>& classes) {
    for (const auto& guard : classes) {
        if (current_tag(guard.type) != guard.tag) return false;
    }
    return true;
}

void release(Vec<ClassGuard>& classes) {
    for (auto& guard : classes) Py_DECREF(reinterpret_cast<PyObject*>(guard.type));
    classes.clear();
}

// ---- hashing ------------------------------------------------------------------------------

uint64_t pointer_hash(const void* p) {
    return ((reinterpret_cast<uintptr_t>(p) >> 4) * 0x9E3779B97F4A7C15ull) >> 7;
}
uint64_t text_hash(PyObject* text) { return static_cast<uint64_t>(PyObject_Hash(text)) * 0x9E3779B97F4A7C15ull >> 7; }
uint64_t pair_hash(int32_t a, int32_t b) {
    return ((static_cast<uint64_t>(static_cast<uint32_t>(a)) << 32 | static_cast<uint32_t>(b)) *
            0x9E3779B97F4A7C15ull) >> 17;
}

// An indexable name: an exact str (whose hash cannot fail and whose equality is by text).
PyObject* indexable_name(ModuleState& st, PyObject* state) {
    if (!PyObject_TypeCheck(state, st.state_type) || !is_plain_attribute(st, Py_TYPE(state), st.names.name)) {
        return nullptr;
    }
    PyObject* name = plain_value(state, st.names.name);
    return name && PyUnicode_CheckExact(name) ? name : nullptr;
}

// The machine keeps `list` under the plain attribute `attr`. The lookup is skipped while the
// machine's dict is unchanged since it was last made.
template <typename Index>
bool machine_holds(ModuleState& st, PyObject* self, PyObject* attr, Index& index) {
    if (!is_plain_attribute(st, Py_TYPE(self), attr)) return false;
    PyObject* dict = dict_of(self);
    if (!dict) return false;
    if (dict == index.machine_dict && dict_unchanged(st, dict, index.machine_tag, index.changes)) return true;
    if (plain_value(self, attr) != index.list) return false;
    index.machine_dict = dict;
    note_dict(st, dict, &index.machine_tag);
    return true;
}

// ---- the states index ---------------------------------------------------------------------

// Counts builds of states indexes, to tell each from every other (see PathsIndex::states_serial).
uint64_t states_builds = 0;

void clear(StatesIndex& index) {
    for (PyObject* item : index.items) Py_DECREF(item);
    for (PyObject* name : index.names) Py_DECREF(name);
    index.seen.clear();
    index.names.clear();
    index.items.clear();
    release(index.classes);
    Py_CLEAR(index.list);
    index.built = false;
}

// Adds the state at the next position; false when it cannot be indexed.
bool add_state_entry(ModuleState& st, StatesIndex& index, PyObject* state) {
    PyObject* name = indexable_name(st, state);
    if (!name || !compares_by_identity(state) || !guard_class(st, index.classes, Py_TYPE(state))) return false;
    const int32_t pos = static_cast<int32_t>(index.items.size());
    index.items.push_back(Py_NewRef(state));
    index.seen.push_back(observe(st, state, true));
    index.names.push_back(Py_NewRef(name));
    auto same_name = [&](int32_t at) { return same_text(index.names[at], name); };
    auto same_object = [&](int32_t at) { return index.items[at] == state; };
    if (index.by_name.add(text_hash(name), pos, same_name) == -2 ||
        index.by_identity.add(pointer_hash(state), pos, same_object) == -2) {
        // Grow both tables and enter every position again.
        const size_t count = index.items.size() * 2;
        index.by_name.reset(count, true);
        index.by_identity.reset(count, true);
        for (int32_t at = 0; at < static_cast<int32_t>(index.items.size()); ++at) {
            PyObject* text = index.names[at];
            PyObject* obj = index.items[at];
            index.by_name.add(text_hash(text), at, [&](int32_t other) { return same_text(index.names[other], text); });
            index.by_identity.add(pointer_hash(obj), at, [&](int32_t other) { return index.items[other] == obj; });
        }
    }
    return true;
}

bool build(ModuleState& st, PyObject* self, StatesIndex& index, uint64_t chain) {
    clear(index);
    index.chain = chain;
    if (!is_plain_attribute(st, Py_TYPE(self), st.names.states)) return false;
    PyObject* list = plain_value(self, st.names.states);
    if (!list || !PyList_CheckExact(list)) return false;
    const Py_ssize_t count = PyList_GET_SIZE(list);
    index.list = Py_NewRef(list);
    index.machine_dict = dict_of(self);
    note_dict(st, index.machine_dict, &index.machine_tag);
    index.serial = ++states_builds;
    // An empty list is being filled: by create(), or by a platform registering one state at a time.
    index.by_name.reset(static_cast<size_t>(count), count == 0);
    index.by_identity.reset(static_cast<size_t>(count), count == 0);
    index.items.reserve(static_cast<size_t>(count));
    index.seen.reserve(static_cast<size_t>(count));
    index.names.reserve(static_cast<size_t>(count));
    index.changes = changes_now();
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i >= PyList_GET_SIZE(list) || !add_state_entry(st, index, PyList_GET_ITEM(list, i))) {
            clear(index);
            return false;
        }
    }
    index.built = true;
    return true;
}

// The machine still holds the indexed list, the list the same items, and their classes are
// unchanged: what every index checks first.
template <class Index>
bool same_list(ModuleState& st, PyObject* self, PyObject* attribute, Index& index) {
    if (!index.built || !machine_holds(st, self, attribute, index)) return false;
    const size_t count = index.items.size();
    if (static_cast<size_t>(PyList_GET_SIZE(index.list)) != count ||
        (count && std::memcmp(reinterpret_cast<PyListObject*>(index.list)->ob_item, index.items.data(),
                              count * sizeof(PyObject*)) != 0)) {
        return false;
    }
    return classes_unchanged(index.classes);
}

bool still_valid(ModuleState& st, PyObject* self, StatesIndex& index, bool quiet, uint64_t chain) {
    if (!same_list(st, self, st.names.states, index)) return false;
    if (quiet && index.chain == chain) return true;
    const size_t count = index.items.size();
    const bool watched = watch_holds(st, index.changes);
    for (size_t i = 0; i < count; ++i) {
        if (!still_same(index.items[i], index.seen[i], watched) &&
            !same_values(st, index.items[i], index.seen[i], &st.names.name, &index.names[i], 1)) {
            return false;
        }
    }
    index.changes = changes_now();
    index.chain = chain;
    return true;
}

void clear(PathsIndex& index);

// The machine's index held in `slot`, made on first use and brought up to date by
// `refresh(index, quiet, chain)`, which returns whether it can serve; null when it cannot (with
// *failed set when an error is raised).
template <class Index, class Refresh>
Index* serve_index(const Module& m, PyObject* self, Index* MachineCache::*slot, bool* failed, Refresh refresh) {
    *failed = false;
    if (!PyObject_TypeCheck(self, m.st.machine_type)) return nullptr;
    MachineCache* cache = machine_cache(self);
    if (!cache) {
        *failed = true;
        return nullptr;
    }
    if (cache->busy) return nullptr;
    Index*& held = cache->*slot;
    if (!held && !(held = pymem_new<Index>())) {
        PyErr_NoMemory();
        *failed = true;
        return nullptr;
    }
    Index& index = *held;
    Busy busy(*cache);
    try {
        const bool quiet = quiet_now(m.st, *cache);
        if (refresh(index, quiet, cache->chain)) return &index;
    } catch (const std::bad_alloc&) {
        clear(index);
        PyErr_NoMemory();
        *failed = true;
    }
    return nullptr;
}

// The states index, checked and rebuilt if need be; null when it cannot serve.
StatesIndex* states_index(const Module& m, PyObject* self, bool* failed) {
    return serve_index(m, self, &MachineCache::states, failed, [&](StatesIndex& index, bool quiet, uint64_t chain) {
        return still_valid(m.st, self, index, quiet, chain) || build(m.st, self, index, chain);
    });
}

// ---- the paths index ----------------------------------------------------------------------

void clear_graph(PathsIndex& index) {
    if (!index.graph_built && index.memo_keys.empty()) return;
    index.graph_built = false;
    index.first.clear();
    index.edge_path.clear();
    index.first_in.clear();
    index.edge_in.clear();
    index.memo.reset(0);
    index.memo_keys.clear();
    index.memo_start.clear();
    index.memo_length.clear();
    index.memo_pool.clear();
}

void clear(PathsIndex& index) {
    for (PyObject* item : index.items) Py_DECREF(item);
    for (PyObject* node : index.node_objs) Py_DECREF(node);
    for (PyObject* name : index.node_names) Py_XDECREF(name);
    index.seen.clear();
    index.nodes.clear();
    index.node_objs.clear();
    index.node_names.clear();
    index.items.clear();
    index.from.clear();
    index.to.clear();
    index.name_id.clear();
    index.node_state.clear();
    index.id_names.clear();
    release(index.classes);
    Py_CLEAR(index.list);
    index.built = false;
    clear_graph(index);
}

void rehash_nodes(PathsIndex& index) {
    index.node_of.reset(index.nodes.size() * 2, true);
    for (int32_t n = 0; n < static_cast<int32_t>(index.nodes.size()); ++n) {
        PyObject* obj = index.node_objs[n];
        index.node_of.add(pointer_hash(obj), n, [&](int32_t other) { return index.node_objs[other] == obj; });
    }
}

void rehash_ids(PathsIndex& index) {
    index.ids.reset(index.id_names.size() * 2, true);
    for (int32_t id = 0; id < static_cast<int32_t>(index.id_names.size()); ++id) {
        PyObject* text = index.id_names[id];
        index.ids.add(text_hash(text), id, [&](int32_t other) { return same_text(index.id_names[other], text); });
    }
}

void rehash_keys(PathsIndex& index) {
    index.by_key.reset(index.items.size() * 2, true);
    if (!index.names_usable) return;
    for (int32_t p = 0; p < static_cast<int32_t>(index.items.size()); ++p) {
        const int32_t a = index.name_id[index.from[p]], b = index.name_id[index.to[p]];
        index.by_key.add(pair_hash(a, b), p, [&](int32_t other) {
            return index.name_id[index.from[other]] == a && index.name_id[index.to[other]] == b;
        });
    }
}

// The node of a state object, added if new.
int32_t node_for(ModuleState& st, PathsIndex& index, PyObject* state) {
    const uint64_t hash = pointer_hash(state);
    const int32_t found = index.node_of.find(hash, [&](int32_t n) { return index.node_objs[n] == state; });
    if (found >= 0) return found;
    const int32_t node = static_cast<int32_t>(index.nodes.size());
    const bool layout = PyObject_TypeCheck(state, st.state_type);
    index.node_objs.push_back(Py_NewRef(state));
    index.nodes.push_back(observe(st, state, layout));
    // The route graph matches ends by identity where the search as written compares them with ==
    // and hashes them as dict keys. That holds while every end is one of our states (whose
    // __class__ assignments are counted, so checks stop being quiet), its class is guarded, and
    // that class compares and hashes by identity.
    const bool guarded = layout && guard_class(st, index.classes, Py_TYPE(state));
    if (!guarded || !compares_by_identity(state)) index.identity_ends = false;
    PyObject* name = guarded ? indexable_name(st, state) : nullptr;
    index.node_names.push_back(Py_XNewRef(name));
    int32_t id = -1;
    if (name) {
        const uint64_t name_hash = text_hash(name);
        id = index.ids.find(name_hash, [&](int32_t other) { return same_text(index.id_names[other], name); });
        if (id < 0) {
            id = static_cast<int32_t>(index.id_names.size());
            index.id_names.push_back(name);
            if (index.ids.add(name_hash, id, [](int32_t) { return false; }) == -2) rehash_ids(index);
        }
    } else {
        index.names_usable = false;
    }
    index.name_id.push_back(id);
    index.node_state.push_back(-1);
    if (index.node_of.add(hash, node, [](int32_t) { return false; }) == -2) rehash_nodes(index);
    return node;
}

// Paths whose ends are plain instance attributes, read without side effects.
bool has_plain_ends(ModuleState& st, PyTypeObject* type) {
    return PyType_IsSubtype(type, st.path_type) && is_plain_attribute(st, type, st.names.from_state) &&
           is_plain_attribute(st, type, st.names.to_state);
}

// Adds the path at the next position; false when it cannot be indexed.
// Adds the path, whose ends (read as plain attributes) are given, at the next position.
bool add_path_entry(ModuleState& st, PathsIndex& index, PyObject* path, PyObject* const* ends) {
    if (!guard_class(st, index.classes, Py_TYPE(path))) return false;
    const int32_t pos = static_cast<int32_t>(index.items.size());
    index.items.push_back(Py_NewRef(path));
    index.seen.push_back(observe(st, path, true));
    index.from.push_back(node_for(st, index, ends[0]));
    index.to.push_back(node_for(st, index, ends[1]));
    clear_graph(index);
    if (index.names_usable) {
        const int32_t a = index.name_id[index.from[pos]], b = index.name_id[index.to[pos]];
        if (index.by_key.add(pair_hash(a, b), pos, [&](int32_t other) {
                return index.name_id[index.from[other]] == a && index.name_id[index.to[other]] == b;
            }) == -2) {
            rehash_keys(index);
        }
    }
    return true;
}

// Adds the path at the next position; false when it cannot be indexed.
bool add_path_entry(ModuleState& st, PathsIndex& index, PyObject* path) {
    if (!has_plain_ends(st, Py_TYPE(path))) return false;
    PyObject* const names[] = {st.names.from_state, st.names.to_state};
    PyObject* ends[2];
    plain_values(path, names, ends, 2);
    return ends[0] && ends[1] && add_path_entry(st, index, path, ends);
}

bool build(ModuleState& st, PyObject* self, PathsIndex& index, uint64_t chain) {
    clear(index);
    index.chain = index.names_chain = chain;
    if (!is_plain_attribute(st, Py_TYPE(self), st.names.paths)) return false;
    PyObject* list = plain_value(self, st.names.paths);
    if (!list || !PyList_CheckExact(list)) return false;
    const Py_ssize_t count = PyList_GET_SIZE(list);
    index.list = Py_NewRef(list);
    index.machine_dict = dict_of(self);
    note_dict(st, index.machine_dict, &index.machine_tag);
    index.names_usable = true;
    index.identity_ends = true;
    index.ends_classes_seen = st.identity_changes;
    index.node_of.reset(static_cast<size_t>(count), count == 0);
    index.ids.reset(static_cast<size_t>(count), count == 0);
    index.by_key.reset(static_cast<size_t>(count), count == 0);
    index.items.reserve(static_cast<size_t>(count));
    index.seen.reserve(static_cast<size_t>(count));
    index.from.reserve(static_cast<size_t>(count));
    index.to.reserve(static_cast<size_t>(count));
    index.changes = index.node_changes = changes_now();
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i >= PyList_GET_SIZE(list) || !add_path_entry(st, index, PyList_GET_ITEM(list, i))) {
            clear(index);
            return false;
        }
    }
    // The number of end states was not known beforehand: give back what their lists did not use.
    index.node_objs.shrink_to_fit();
    index.nodes.shrink_to_fit();
    index.node_names.shrink_to_fit();
    index.name_id.shrink_to_fit();
    index.node_state.shrink_to_fit();
    index.id_names.shrink_to_fit();
    index.built = true;
    return true;
}

// The paths and the states at their ends, with their classes, are still those indexed (names not
// checked).
bool paths_valid(ModuleState& st, PyObject* self, PathsIndex& index, bool quiet, uint64_t chain) {
    if (!same_list(st, self, st.names.paths, index)) return false;
    if (quiet && index.chain == chain) return true;
    const size_t count = index.items.size();
    const bool watched = watch_holds(st, index.changes);
    PyObject* const keys[] = {st.names.from_state, st.names.to_state};
    for (size_t p = 0; p < count; ++p) {
        if (still_same(index.items[p], index.seen[p], watched)) continue;
        PyObject* const ends[] = {index.node_objs[index.from[p]], index.node_objs[index.to[p]]};
        if (!same_values(st, index.items[p], index.seen[p], keys, ends, 2)) return false;
    }
    // An end state given another class may compare by value now: the route graph must not serve.
    // Only a __class__ assignment, which the module counts, gives one of our states another class.
    if (index.ends_classes_seen != st.identity_changes) {
        for (size_t n = 0; n < index.nodes.size(); ++n) {
            if (Py_TYPE(index.node_objs[n]) != index.nodes[n].type) return false;
        }
        index.ends_classes_seen = st.identity_changes;
    }
    index.changes = changes_now();
    index.chain = chain;
    return true;
}

// Where each end state stands in the states index, for names_valid.
void map_nodes(PathsIndex& index, const StatesIndex& states) {
    for (size_t n = 0; n < index.nodes.size(); ++n) {
        PyObject* obj = index.node_objs[n];
        index.node_state[n] =
            states.by_identity.find(pointer_hash(obj), [&](int32_t at) { return states.items[at] == obj; });
    }
    index.states_serial = states.serial;
}

// The names of the end states are still those indexed. `states`, when given, was checked just now:
// an end state that is one of its entries, under the same name, needs no check of its own.
bool names_valid(ModuleState& st, PathsIndex& index, const StatesIndex* states, bool quiet, uint64_t chain) {
    if (!index.names_usable) return false;
    if (quiet && index.names_chain == chain) return true;
    if (states && index.states_serial != states->serial) map_nodes(index, *states);
    const bool watched = watch_holds(st, index.node_changes);
    for (size_t n = 0; n < index.nodes.size(); ++n) {
        PyObject* obj = index.node_objs[n];
        const int32_t at = states ? index.node_state[n] : -1;
        if (at >= 0 && static_cast<size_t>(at) < states->items.size() && states->items[at] == obj &&
            states->names[at] == index.node_names[n]) {
            continue;
        }
        if (!still_same(obj, index.nodes[n], watched) &&
            !same_values(st, obj, index.nodes[n], &st.names.name, &index.node_names[n], 1)) {
            return false;
        }
    }
    index.node_changes = changes_now();
    index.names_chain = chain;
    return true;
}

enum class Need { ends, names };

PathsIndex* paths_index(const Module& m, PyObject* self, Need need, bool* failed, const StatesIndex* states = nullptr) {
    return serve_index(m, self, &MachineCache::paths, failed, [&](PathsIndex& index, bool quiet, uint64_t chain) {
        const bool ok = paths_valid(m.st, self, index, quiet, chain) &&
                        (need == Need::ends || names_valid(m.st, index, states, quiet, chain));
        return ok || (build(m.st, self, index, chain) && (need == Need::ends || index.names_usable));
    });
}

// The name of a state given to a lookup, when it can be read without side effects.
PyObject* argument_name(ModuleState& st, PyObject* state) { return indexable_name(st, state); }

// ---- the route graph ----------------------------------------------------------------------

void build_graph(PathsIndex& index) {
    const size_t nodes = index.nodes.size();
    index.first.assign(nodes + 1, 0);
    for (int32_t from : index.from) ++index.first[from + 1];
    for (size_t s = 0; s < nodes; ++s) index.first[s + 1] += index.first[s];
    Vec<int32_t> fill(index.first.begin(), index.first.end() - 1);
    index.edge_path.assign(index.items.size(), 0);
    for (int32_t p = 0; p < static_cast<int32_t>(index.items.size()); ++p) index.edge_path[fill[index.from[p]]++] = p;
    index.first_in.assign(nodes + 1, 0);
    for (int32_t to : index.to) ++index.first_in[to + 1];
    for (size_t s = 0; s < nodes; ++s) index.first_in[s + 1] += index.first_in[s];
    fill.assign(index.first_in.begin(), index.first_in.end() - 1);
    index.edge_in.assign(index.items.size(), 0);
    for (int32_t p = 0; p < static_cast<int32_t>(index.items.size()); ++p) index.edge_in[fill[index.to[p]]++] = p;
    index.memo.reset(16);
    index.graph_built = true;
}

}  // namespace

// ---- public -------------------------------------------------------------------------------

void PositionTable::reset(size_t count, bool growing) {
    mask_ = 0;
    used_ = 0;
    count_ = 0;
    if (!growing && count <= static_cast<size_t>(kLinear)) {
        limit_ = count ? kLinear : 0;
        slots_.clear();
        slots_.shrink_to_fit();
        return;
    }
    limit_ = 0;
    size_t size = 8;
    while (growing ? size < count * 2 : size * 3 < count * 4) size <<= 1;
    slots_.assign(size, -1);
    slots_.shrink_to_fit();
    mask_ = size - 1;
}

void watch_dict(ModuleState& st, PyObject* dict, uint64_t* tag) { note_dict(st, dict, tag); }

bool quiet_registration(const ModuleState& st, const MachineCache& cache, PyObject* built) {
#if PY_VERSION_HEX >= 0x030C0000
    (void)st;
    (void)cache;
    (void)built;
    return false;
#else
    return built && st.built.obj == built && st.built.last && cache.clock_end && st.built.first == cache.clock_end + 1;
#endif
}

void end_registration(MachineCache& cache, uint64_t last) {
    cache.quiet_op = false;
    cache.clock_end = last;
}

uint64_t dict_changes_now() { return changes_now(); }

bool dict_unchanged(const ModuleState& st, PyObject* dict, uint64_t tag, uint64_t changes) {
#if PY_VERSION_HEX >= 0x030C0000
    (void)dict;
    (void)tag;
    return watch_holds(st, changes);
#else
    (void)st;
    (void)changes;
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag == tag;
#endif
}

namespace {

// Deletes an index with what it holds (null allowed).
template <typename Index>
void drop(Index*& index) {
    Index* doomed = index;
    index = nullptr;
    if (!doomed) return;
    clear(*doomed);
    pymem_delete(doomed);
}

}  // namespace

void index_end_construction(PyObject* self) {
    MachineCache* cache = reinterpret_cast<MachineObject*>(self)->cache;
    if (!cache || cache->busy) return;
    drop(cache->states);
    drop(cache->paths);
}

void index_watch_init(ModuleState& st) {
#if PY_VERSION_HEX >= 0x030C0000
    st.dict_watcher = PyDict_AddWatcher(on_dict_event);
    st.watching = st.dict_watcher >= 0;
    if (!st.watching) PyErr_Clear();
#else
    st.watching = false;
#endif
}

void index_watch_free(ModuleState& st) {
#if PY_VERSION_HEX >= 0x030C0000
    if (st.watching && PyDict_ClearWatcher(st.dict_watcher) < 0) PyErr_Clear();
#endif
    st.watching = false;
}

MachineCache* machine_cache(PyObject* self) {
    auto* machine = reinterpret_cast<MachineObject*>(self);
    if (!machine->cache) {
        machine->cache = pymem_new<MachineCache>();
        if (!machine->cache) PyErr_NoMemory();
    }
    return machine->cache;
}

int machine_cache_traverse(MachineCache* cache, visitproc visit, void* arg) {
    if (!cache) return 0;
    if (const StatesIndex* states = cache->states) {
        Py_VISIT(states->list);
        for (PyObject* item : states->items) Py_VISIT(item);
        for (PyObject* name : states->names) Py_VISIT(name);
        for (const auto& guard : states->classes) Py_VISIT(reinterpret_cast<PyObject*>(guard.type));
    }
    if (const PathsIndex* paths = cache->paths) {
        Py_VISIT(paths->list);
        for (PyObject* item : paths->items) Py_VISIT(item);
        for (PyObject* node : paths->node_objs) Py_VISIT(node);
        for (PyObject* name : paths->node_names) Py_VISIT(name);
        for (const auto& guard : paths->classes) Py_VISIT(reinterpret_cast<PyObject*>(guard.type));
    }
    Py_VISIT(cache->text);
    Py_VISIT(reinterpret_cast<PyObject*>(cache->text_type));
    Py_VISIT(reinterpret_cast<PyObject*>(cache->verdict_type));
    return 0;
}

void machine_cache_free(MachineCache*& cache) {
    if (!cache) return;
    // Detach first: releasing references may run code that reaches the machine again.
    MachineCache* doomed = cache;
    cache = nullptr;
    drop(doomed->states);
    drop(doomed->paths);
    Py_CLEAR(doomed->text);
    Py_CLEAR(doomed->text_type);
    Py_CLEAR(doomed->verdict_type);
    pymem_delete(doomed);
}

StatesIndex* checked_states(const Module& m, PyObject* self, bool* failed) { return states_index(m, self, failed); }

PathsIndex* checked_paths(const Module& m, PyObject* self, bool names, bool* failed, const StatesIndex* states) {
    return paths_index(m, self, names ? Need::names : Need::ends, failed, states);
}

int32_t state_position(const StatesIndex& index, PyObject* name) {
    return index.by_name.find(text_hash(name), [&](int32_t at) { return same_text(index.names[at], name); });
}

bool has_state(const StatesIndex& index, PyObject* state) {
    return index.by_identity.find(pointer_hash(state), [&](int32_t at) { return index.items[at] == state; }) >= 0;
}

int32_t path_position(ModuleState& st, const PathsIndex& index, PyObject* from, PyObject* to) {
    // A state at an end of some path has its name's id already (the names were just checked).
    auto id_of = [&](PyObject* state) -> int32_t {
        const int32_t node =
            index.node_of.find(pointer_hash(state), [&](int32_t n) { return index.node_objs[n] == state; });
        if (node >= 0) return index.name_id[node] >= 0 ? index.name_id[node] : -2;
        PyObject* name = argument_name(st, state);
        if (!name) return -2;
        const int32_t id =
            index.ids.find(text_hash(name), [&](int32_t other) { return same_text(index.id_names[other], name); });
        return id >= 0 ? id : -1;
    };
    const int32_t a = id_of(from);
    const int32_t b = a == -2 ? -2 : id_of(to);
    if (a == -2 || b == -2) return -2;
    if (a < 0 || b < 0) return -1;
    return index.by_key.find(pair_hash(a, b), [&](int32_t p) {
        return index.name_id[index.from[p]] == a && index.name_id[index.to[p]] == b;
    });
}

Lookup index_find_state(const Module& m, PyObject* self, PyObject* name, Py_ssize_t* position) {
    if (!PyUnicode_CheckExact(name)) return Lookup::unknown;
    bool failed;
    StatesIndex* index = states_index(m, self, &failed);
    if (!index) return failed ? Lookup::failed : Lookup::unknown;
    const int32_t found =
        index->by_name.find(text_hash(name), [&](int32_t at) { return same_text(index->names[at], name); });
    *position = found;
    return found >= 0 ? Lookup::found : Lookup::absent;
}

Lookup index_has_state(const Module& m, PyObject* self, PyObject* state) {
    if (!compares_by_identity(state)) return Lookup::unknown;
    bool failed;
    StatesIndex* index = states_index(m, self, &failed);
    if (!index) return failed ? Lookup::failed : Lookup::unknown;
    const int32_t found =
        index->by_identity.find(pointer_hash(state), [&](int32_t at) { return index->items[at] == state; });
    return found >= 0 ? Lookup::found : Lookup::absent;
}

void index_state_appended(const Module& m, PyObject* self, PyObject* state) {
    if (!PyObject_TypeCheck(self, m.st.machine_type)) return;
    auto* cache = reinterpret_cast<MachineObject*>(self)->cache;
    if (!cache || !cache->states || !cache->states->built || cache->busy) return;
    Busy busy(*cache);
    StatesIndex& index = *cache->states;
    try {
        if (static_cast<size_t>(PyList_GET_SIZE(index.list)) != index.items.size() + 1 ||
            PyList_GET_ITEM(index.list, index.items.size()) != state || !add_state_entry(m.st, index, state)) {
            clear(index);
        }
    } catch (const std::bad_alloc&) {
        clear(index);
    }
}

Lookup index_find_path(const Module& m, PyObject* self, PyObject* from, PyObject* to, Py_ssize_t* position) {
    if (!argument_name(m.st, from) || !argument_name(m.st, to)) return Lookup::unknown;
    bool failed;
    PathsIndex* index = paths_index(m, self, Need::names, &failed);
    if (!index) return failed ? Lookup::failed : Lookup::unknown;
    *position = path_position(m.st, *index, from, to);
    return *position >= 0 ? Lookup::found : Lookup::absent;
}

void index_path_appended(const Module& m, PyObject* self, PyObject* path, PyObject* const* ends) {
    if (!PyObject_TypeCheck(self, m.st.machine_type)) return;
    auto* cache = reinterpret_cast<MachineObject*>(self)->cache;
    if (!cache || !cache->paths || !cache->paths->built || cache->busy) return;
    Busy busy(*cache);
    PathsIndex& index = *cache->paths;
    try {
        if (static_cast<size_t>(PyList_GET_SIZE(index.list)) != index.items.size() + 1 ||
            PyList_GET_ITEM(index.list, index.items.size()) != path ||
            !(ends ? add_path_entry(m.st, index, path, ends) : add_path_entry(m.st, index, path))) {
            clear(index);
        }
    } catch (const std::bad_alloc&) {
        clear(index);
    }
}

PathsIndex* index_route_graph(const Module& m, PyObject* self, bool* failed) {
    PathsIndex* index = paths_index(m, self, Need::ends, failed);
    if (!index || !index->identity_ends) return nullptr;
    try {
        if (!index->graph_built) build_graph(*index);
    } catch (const std::bad_alloc&) {
        clear_graph(*index);
        PyErr_NoMemory();
        *failed = true;
        return nullptr;
    }
    return index;
}

int32_t index_node(const PathsIndex& index, PyObject* state) {
    return index.node_of.find(pointer_hash(state), [&](int32_t n) { return index.node_objs[n] == state; });
}

namespace {

unsigned int base_methods_now(const Module& m, PyObject* self, int* failed) {
    const struct {
        BaseMethods group;
        PyObject* name;
        PyObject* base;
    } methods[] = {
        {BaseMethods::routes, m.n.create_graph, m.st.base_create_graph},
        {BaseMethods::routes, m.n.find_all_paths_helper, m.st.base_find_all_paths_helper},
        {BaseMethods::routes, m.n.find_all_paths, m.st.base_find_all_paths},
        {BaseMethods::add_state, m.n.add_state, m.st.base_add_state},
        {BaseMethods::add_path, m.n.add_path, m.st.base_add_path},
    };
    unsigned int bits = BaseMethods::routes | BaseMethods::add_state | BaseMethods::add_path;
    for (const auto& method : methods) {
        const int base = uses_base_method(m.st, self, m.st.machine_type, method.name, method.base);
        if (base < 0) *failed = 1;
        if (base <= 0) bits &= ~static_cast<unsigned int>(method.group);
    }
    return bits;
}

}  // namespace

int machine_uses_base(const Module& m, PyObject* self, BaseMethods which) {
    if (!PyObject_TypeCheck(self, m.st.machine_type)) return 0;
    MachineCache* cache = machine_cache(self);
    if (!cache) return -1;
    PyTypeObject* type = Py_TYPE(self);
    const unsigned int tag = type_tag(m.st, type);
    PyObject* dict = dict_of(self);
    if (tag && dict && cache->verdict_type == type && cache->verdict_tag == tag && cache->verdict_dict == dict &&
        dict_unchanged(m.st, dict, cache->verdict_dict_tag, cache->verdict_changes)) {
        return (cache->base_methods & which) == which;
    }
    int failed = 0;
    const unsigned int bits = base_methods_now(m, self, &failed);
    if (failed) return -1;
    if (tag && dict) {
        Py_XSETREF(cache->verdict_type, reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(type))));
        cache->verdict_tag = tag;
        cache->verdict_dict = dict;
        cache->verdict_changes = dict_changes_now();
        note_dict(m.st, dict, &cache->verdict_dict_tag);
        cache->base_methods = bits;
    }
    return (bits & which) == which;
}

int32_t index_remembered_route(const PathsIndex& index, int32_t start, int32_t target) {
    const int64_t key = static_cast<int64_t>(start) << 32 | static_cast<uint32_t>(target);
    const int32_t entry =
        index.memo.find(pair_hash(start, target), [&](int32_t at) { return index.memo_keys[at] == key; });
    if (entry < 0) return -2;
    return index.memo_length[entry] < 0 ? -1 : entry;
}

void index_remember_route(PathsIndex& index, int32_t start, int32_t target, const std::vector<int32_t>* route) {
    // Bounded: a machine searched between every pair of many states forgets and starts again.
    if (index.memo_pool.size() > 4096 + 16 * index.items.size()) {
        index.memo.reset(16);
        index.memo_keys.clear();
        index.memo_start.clear();
        index.memo_length.clear();
        index.memo_pool.clear();
    }
    const int32_t entry = static_cast<int32_t>(index.memo_keys.size());
    index.memo_keys.push_back(static_cast<int64_t>(start) << 32 | static_cast<uint32_t>(target));
    index.memo_start.push_back(static_cast<int32_t>(index.memo_pool.size()));
    index.memo_length.push_back(route ? static_cast<int32_t>(route->size()) : -1);
    if (route) index.memo_pool.insert(index.memo_pool.end(), route->begin(), route->end());
    auto same = [&](int32_t at) { return index.memo_keys[at] == index.memo_keys[entry]; };
    if (index.memo.add(pair_hash(start, target), entry, same) == -2) {
        index.memo.reset(index.memo_keys.size() * 2, true);
        for (int32_t at = 0; at <= entry; ++at) {
            const int64_t key = index.memo_keys[at];
            index.memo.add(pair_hash(static_cast<int32_t>(key >> 32), static_cast<int32_t>(key & 0xFFFFFFFF)), at,
                           [&](int32_t other) { return index.memo_keys[other] == key; });
        }
    }
}

Ref machine_text(const Module& m, PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    const bool default_text = type->tp_str == PyBaseObject_Type.tp_str && type->tp_repr == PyBaseObject_Type.tp_repr;
    MachineCache* cache = nullptr;
    if (default_text && PyObject_TypeCheck(self, m.st.machine_type) && !(cache = machine_cache(self))) return Ref();
    const unsigned int tag = cache ? type_tag(m.st, type) : 0;
    if (tag && cache->text && cache->text_type == type && cache->text_tag == tag) return Ref::newref(cache->text);
    Ref text = Ref::steal(PyObject_Str(self));
    if (text && tag && PyUnicode_CheckExact(text.get())) {
        Py_XSETREF(cache->text, Py_NewRef(text.get()));
        Py_XSETREF(cache->text_type, reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(type))));
        cache->text_tag = tag;
    }
    return text;
}

}  // namespace tessel
