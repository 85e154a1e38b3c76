// Per-machine indexes over `states` and `paths`, each checked before use against every change it depends on.
//
// The registry's lists are plain lists that users may change directly, and the states and paths
// are plain objects whose attributes anyone may set. An index is therefore a snapshot taken with
// what it was built from, and it is checked before each use:
//  - the machine still holds the same list object under a plain attribute, with the same items;
//  - each item still has its class (no `__class__` assignment) and its class has the same version
//    tag (no descriptor added since), and the same attribute dict, unchanged: by the dict's version
//    tag up to 3.11, and from 3.12 by watching the dict, where a relevant change counts.
// A failed check rebuilds the index; an index that cannot be built (a list subclass, a class with
// a descriptor for the attribute, a name that is not an exact str) leaves the call to the path as
// written. The snapshot holds references to the objects it compares by identity, so a freed
// object's address cannot pass for it.
//
// The indexes made while create() registers a platform are dropped when it returns, so that a
// machine keeps only those its later lookups and searches ask for.
#pragma once
#include <Python.h>

#include <cstdint>
#include <new>
#include <vector>

#include "module.hpp"

namespace tessel {

// Index storage comes from the interpreter's allocator, so that tracemalloc and the interpreter's
// own accounting see it. Indexes are only made, changed and freed with the GIL held.
template <typename T>
struct PyMemAllocator {
    using value_type = T;
    PyMemAllocator() = default;
    template <typename U>
    PyMemAllocator(const PyMemAllocator<U>&) {}
    T* allocate(size_t n) {
        void* p = n <= static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(T) ? PyMem_Malloc(n * sizeof(T)) : nullptr;
        if (!p) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t) { PyMem_Free(p); }
    template <typename U>
    bool operator==(const PyMemAllocator<U>&) const { return true; }
    template <typename U>
    bool operator!=(const PyMemAllocator<U>&) const { return false; }
};
template <typename T>
using Vec = std::vector<T, PyMemAllocator<T>>;

// A T made in (freed to) the interpreter's allocator; null when out of memory (no error set).
template <typename T>
T* pymem_new() {
    void* p = PyMem_Malloc(sizeof(T));
    return p ? new (p) T() : nullptr;
}
template <typename T>
void pymem_delete(T* p) {
    if (!p) return;
    p->~T();
    PyMem_Free(p);
}

// Registers the module's dict watcher (3.12+); a no-op before. Never fails: without a watcher the
// checks compare attribute values instead.
void index_watch_init(ModuleState& st);
void index_watch_free(ModuleState& st);

// Watches `dict` (3.12+) or records its version tag (up to 3.11), for dict_unchanged.
void watch_dict(ModuleState& st, PyObject* dict, uint64_t* tag);
// The count of watched changes now (3.12+; 0 before).
uint64_t dict_changes_now();
// True when `dict`, seen through watch_dict with `tag` when `changes` was the count, cannot have
// changed since.
bool dict_unchanged(const ModuleState& st, PyObject* dict, uint64_t tag, uint64_t changes);

// Positions (int32) of entries whose keys the caller hashes and compares. Entries take the
// positions 0, 1, 2... in the order they are added. Up to kLinear of them are found by trying each
// in turn, which costs little more than hashing and keeps no table; beyond, by open addressing.
class PositionTable {
public:
    static constexpr int32_t kLinear = 32;
    // Empties the table, with room for `count` positions, or with `growing`, for as many more
    // (hashed from the start: a table filled one entry at a time is searched at each addition).
    void reset(size_t count, bool growing = false);
    // The first position whose entry `eq` accepts, or -1.
    template <typename Eq>
    int32_t find(uint64_t hash, Eq eq) const {
        if (slots_.empty()) {
            for (int32_t pos = 0; pos < count_; ++pos) {
                if (eq(pos)) return pos;
            }
            return -1;
        }
        for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
            const int32_t pos = slots_[i];
            if (pos < 0 || eq(pos)) return pos;
        }
    }
    // Adds `pos` (the next position) unless an equal key is present; -2 when the caller must
    // reset the table larger and add every entry again.
    template <typename Eq>
    int32_t add(uint64_t hash, int32_t pos, Eq eq) {
        if (slots_.empty()) {
            if (pos >= limit_) return -2;
            count_ = pos + 1;
            return pos;
        }
        if ((used_ + 1) * 4 > slots_.size() * 3) return -2;
        for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
            int32_t& slot = slots_[i];
            if (slot < 0) {
                slot = pos;
                ++used_;
                return pos;
            }
            if (eq(slot)) return slot;
        }
    }

private:
    Vec<int32_t> slots_;  // empty while entries are tried in turn
    size_t mask_ = 0;
    size_t used_ = 0;
    int32_t count_ = 0;  // positions added, while tried in turn
    int32_t limit_ = 0;  // positions that may be tried in turn
};

// What an index remembers of one object whose attributes it depends on (the object itself is held
// beside it): its class, and its attribute dict as seen. Up to 3.11 that is the dict's version
// tag, which every change of any dict renews with a value never used before, so a tag also tells
// one dict from another; from 3.12 it is the dict itself, watched for changes.
struct Seen {
    PyTypeObject* type = nullptr;  // kept alive by the index's class list
    uint64_t stamp = 0;
};

// The classes of the objects an index holds, with the version tags they had.
struct ClassGuard {
    PyTypeObject* type;  // owned
    unsigned int tag;
};

// Names of the registered states, by position in `states`.
struct StatesIndex {
    PyObject* list = nullptr;          // owned: the list indexed
    Vec<PyObject*> items;      // the list's items when indexed (owned)
    Vec<Seen> seen;            // one per item
    Vec<PyObject*> names;      // owned, one per item
    Vec<ClassGuard> classes;
    PositionTable by_name;             // name text -> first position
    PositionTable by_identity;         // state object -> first position
    uint64_t changes = 0;              // watched changes counted when last checked (3.12+)
    PyObject* machine_dict = nullptr;  // compared only: the machine's dict as last checked
    uint64_t machine_tag = 0;          // its version tag then (up to 3.11)
    uint64_t serial = 0;               // tells one build of a states index from any other
    uint64_t chain = 0;                // the machine's chain when last checked in full
    bool built = false;
};

// The registered paths with their end states: keys by names, and the route graph.
struct PathsIndex {
    PyObject* list = nullptr;
    Vec<PyObject*> items;      // the paths when indexed (owned)
    Vec<Seen> seen;            // one per path
    Vec<int32_t> from, to;     // end nodes of each path
    Vec<PyObject*> node_objs;  // each state object at an end of some path (owned)
    Vec<Seen> nodes;           // one per node
    Vec<PyObject*> node_names; // owned; null where a name cannot be indexed
    Vec<int32_t> name_id;      // per node: index of its name text among `id_names`, or -1
    Vec<int32_t> node_state;   // per node: its position in the states index, or -1
    uint64_t states_serial = 0;        // the build of the states index node_state refers to
    Vec<PyObject*> id_names;   // borrowed from node_names
    Vec<ClassGuard> classes;
    PositionTable node_of;             // state object -> node
    PositionTable ids;                 // name text -> id
    PositionTable by_key;              // (from id, to id) -> first path position
    bool names_usable = false;         // every end has an indexable name
    bool identity_ends = false;        // every end is a state of a guarded class that compares by identity
    uint64_t ends_classes_seen = 0;    // the module's identity changes when the ends' classes last held
    uint64_t changes = 0;
    uint64_t node_changes = 0;
    PyObject* machine_dict = nullptr;
    uint64_t machine_tag = 0;
    uint64_t chain = 0, names_chain = 0;
    bool built = false;
    // The route graph, built when a search first needs it.
    bool graph_built = false;
    Vec<int32_t> first;        // edges of node s: first[s] .. first[s + 1] - 1
    Vec<int32_t> edge_path;    // path position of each edge
    Vec<int32_t> first_in;     // edges into node s: first_in[s] .. first_in[s + 1] - 1
    Vec<int32_t> edge_in;      // path position of each edge, grouped by target
    // First shortest routes found, by (from node, to node).
    PositionTable memo;
    Vec<int64_t> memo_keys;
    Vec<int32_t> memo_start, memo_length, memo_pool;
};

struct MachineCache {
    StatesIndex* states = nullptr;  // owned, made when first needed
    PathsIndex* paths = nullptr;    // owned, made when first needed
    // str() of the machine, kept while its class (with its version tag) stays the same.
    PyObject* text = nullptr;           // owned
    PyTypeObject* text_type = nullptr;  // owned
    unsigned int text_tag = 0;
    // Whether the route search methods are the base ones, for the class and version tag seen.
    PyTypeObject* verdict_type = nullptr;  // owned
    unsigned int verdict_tag = 0;
    PyObject* verdict_dict = nullptr;      // compared only
    uint64_t verdict_dict_tag = 0;
    uint64_t verdict_changes = 0;
    unsigned int base_methods = 0;         // BaseMethods bits
    bool busy = false;  // an index is being checked or changed
    // Quiet checks. An index whose chain equals `chain` was checked in full, and since then
    // nothing it depends on through attribute dicts or object identities can have changed while
    // the checks stay quiet: the lists are still compared, the per-object checks are skipped.
    // Something that may have changed unseen starts a new chain.
    uint64_t chain = 1;
    uint64_t identity_seen = 0;  // the module's identity changes then
    uint64_t quiet_changes = 0;  // watched dict changes then (3.12+)
    uint64_t clock_end = 0;      // up to 3.11: the dict version after the last quiet registration
    bool quiet_op = false;       // up to 3.11: the registration in progress showed nothing else ran
};

// Layout of StateMachine instances: the shared layout and the machine's cache.
struct MachineObject {
    Instance base;
    MachineCache* cache;
};

// Up to 3.11: whether a construction that left `first` and `last` as its new dict's versions came
// right after the machine's last quiet registration with nothing else changing any dict, so that
// the registration it leads to may check quietly. From 3.12 dict watchers tell that by themselves.
bool quiet_registration(const ModuleState& st, const MachineCache& cache, PyObject* built);
// Ends a registration: up to 3.11, `last` (the version of the dict it changed last, 0 when
// something else may have run) becomes the mark the next quiet registration must follow.
void end_registration(MachineCache& cache, uint64_t last);

// Drops the indexes made while a machine's create() ran, once it has returned.
void index_end_construction(PyObject* self);

// The machine's cache, created on first use; null with MemoryError set.
MachineCache* machine_cache(PyObject* self);
int machine_cache_traverse(MachineCache* cache, visitproc visit, void* arg);
void machine_cache_free(MachineCache*& cache);

// The index of self's states (paths), checked against everything it depends on and rebuilt if
// need be; null when it cannot serve, with *failed set when an error is set. `names`: the end
// states' names are needed too.
StatesIndex* checked_states(const Module& m, PyObject* self, bool* failed);
PathsIndex* checked_paths(const Module& m, PyObject* self, bool names, bool* failed,
                          const StatesIndex* states_checked_now = nullptr);
// Position of the first state named `name` (an exact str), or -1.
int32_t state_position(const StatesIndex& index, PyObject* name);
// Whether `state` (comparing by identity) is an entry.
bool has_state(const StatesIndex& index, PyObject* state);
// Position of the first path whose ends are named as `from` and `to` are; -1 when none, -2 when
// their names cannot be read without running code.
int32_t path_position(ModuleState& st, const PathsIndex& index, PyObject* from, PyObject* to);

// Groups of methods whose base versions fast paths stand in for.
enum BaseMethods : unsigned int {
    routes = 1,     // create_graph, _find_all_paths and find_all_paths
    add_state = 2,  // add_state (what create_state calls)
    add_path = 4,   // add_path (what create_path calls)
};
// 1 when self resolves every method of `which` to the base class's own (neither its class nor the
// instance overrides them), 0 otherwise, -1 on error. Worked out again only when the machine's class
// or its attribute dict changed.
int machine_uses_base(const Module& m, PyObject* self, BaseMethods which);

// What an index says, when it can say it.
enum class Lookup { found, absent, unknown, failed };

// Position in self.states of the first state named `name`.
Lookup index_find_state(const Module& m, PyObject* self, PyObject* name, Py_ssize_t* position);
// Whether `state` is (by identity) in self.states.
Lookup index_has_state(const Module& m, PyObject* self, PyObject* state);
// Tells the index that the registry appended `state` to self.states.
void index_state_appended(const Module& m, PyObject* self, PyObject* state);

// Position in self.paths of the first path whose end names are those of from and to.
Lookup index_find_path(const Module& m, PyObject* self, PyObject* from, PyObject* to, Py_ssize_t* position);
// Tells the index that the registry appended `path` to self.paths; `ends`, when given, are its
// end states as just read from its plain attributes.
void index_path_appended(const Module& m, PyObject* self, PyObject* path, PyObject* const* ends = nullptr);

// The route graph over self.paths, checked: null when it cannot serve (no error set) or on error.
PathsIndex* index_route_graph(const Module& m, PyObject* self, bool* failed);
// Node of a state object in the route graph, or -1.
int32_t index_node(const PathsIndex& index, PyObject* state);

// A shortest route remembered for (start, target): its entry (see memo_start/memo_length), -1 when
// there is known to be none, -2 when not remembered.
int32_t index_remembered_route(const PathsIndex& index, int32_t start, int32_t target);
// Remembers the route found (null: none) for (start, target).
void index_remember_route(PathsIndex& index, int32_t start, int32_t target, const std::vector<int32_t>* route);

// str(self), kept per machine while it cannot change.
Ref machine_text(const Module& m, PyObject* self);

}  // namespace tessel
