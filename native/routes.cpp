// Route search over the registered paths: the graph, every route, the shortest route, and DOT export.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "errors.hpp"
#include "index.hpp"
#include "module.hpp"

namespace tessel {
namespace {

// ---- the search as written, reached through the instance ---------------------------------

PyObject* create_graph(const Module& m, PyObject* const* a) {
    Ref paths = getattr(a[0], m.n.paths);
    Ref iter = paths ? Ref::steal(PyObject_GetIter(paths.get())) : Ref();
    Ref graph = iter ? Ref::steal(PyDict_New()) : Ref();
    if (!graph) return nullptr;
    while (Ref path = Ref::steal(PyIter_Next(iter.get()))) {
        Ref from = getattr(path.get(), m.n.from_state);
        const int known = from ? PyDict_Contains(graph.get(), from.get()) : -1;
        if (known < 0) return nullptr;
        Ref key = getattr(path.get(), m.n.from_state);
        if (!key) return nullptr;
        if (known) {
            PyObject* leaving = PyDict_GetItemWithError(graph.get(), key.get());
            if (!leaving || PyList_Append(leaving, path.get()) < 0) {
                if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.get());
                return nullptr;
            }
        } else {
            Ref leaving = Ref::steal(PyList_New(1));
            if (!leaving) return nullptr;
            PyList_SET_ITEM(leaving.get(), 0, Py_NewRef(path.get()));
            if (PyDict_SetItem(graph.get(), key.get(), leaving.get()) < 0) return nullptr;
        }
    }
    return PyErr_Occurred() ? nullptr : graph.release();
}

// [t.from_state for t in transitions]
Ref states_left(const Module& m, PyObject* transitions) {
    Ref iter = Ref::steal(PyObject_GetIter(transitions));
    Ref left = iter ? Ref::steal(PyList_New(0)) : Ref();
    if (!left) return Ref();
    while (Ref path = Ref::steal(PyIter_Next(iter.get()))) {
        Ref from = getattr(path.get(), m.n.from_state);
        if (!from || PyList_Append(left.get(), from.get()) < 0) return Ref();
    }
    return PyErr_Occurred() ? Ref() : std::move(left);
}

PyObject* find_all_paths_helper(const Module& m, PyObject* const* a) {
    PyObject *self = a[0], *from = a[1], *to = a[2], *graph = a[3];
    // The search can run for very long on dense graphs: let signal handlers interrupt it.
    if (PyErr_CheckSignals() < 0) return nullptr;
    Ref fresh = a[4] ? Ref() : Ref::steal(PyList_New(0));
    PyObject* transitions = a[4] ? a[4] : fresh.get();
    if (!transitions) return nullptr;
    Ref same = Ref::steal(PyObject_RichCompare(from, to, Py_EQ));
    const int arrived = same ? PyObject_IsTrue(same.get()) : -1;
    if (arrived < 0) return nullptr;
    if (arrived) {
        PyObject* routes = PyList_New(1);
        if (routes) PyList_SET_ITEM(routes, 0, Py_NewRef(transitions));
        return routes;
    }
    const int known = PySequence_Contains(graph, from);
    if (known <= 0) return known < 0 ? nullptr : PyList_New(0);
    Ref routes = Ref::steal(PyList_New(0));
    Ref leaving = routes ? Ref::steal(PyObject_GetItem(graph, from)) : Ref();
    Ref iter = leaving ? Ref::steal(PyObject_GetIter(leaving.get())) : Ref();
    if (!iter) return nullptr;
    while (Ref node = Ref::steal(PyIter_Next(iter.get()))) {
        Ref left = states_left(m, transitions);
        Ref updated = left ? Ref::steal(PySequence_List(transitions)) : Ref();
        Ref next = updated ? getattr(node.get(), m.n.to_state) : Ref();
        const int visited = next ? PySequence_Contains(left.get(), next.get()) : -1;
        if (visited < 0) return nullptr;
        if (visited) continue;
        if (PyList_Append(updated.get(), node.get()) < 0) return nullptr;
        Ref target = getattr(node.get(), m.n.to_state);
        Ref found = target ? call_method(self, m.n.find_all_paths_helper, target.get(), to, graph, updated.get())
                           : Ref();
        Ref found_iter = found ? Ref::steal(PyObject_GetIter(found.get())) : Ref();
        if (!found_iter) return nullptr;
        while (Ref route = Ref::steal(PyIter_Next(found_iter.get()))) {
            if (PyList_Append(routes.get(), route.get()) < 0) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    return PyErr_Occurred() ? nullptr : routes.release();
}

// Steps of find_all_paths after the states are resolved: self.create_graph, then self._find_all_paths.
Ref search_through_instance(const Module& m, PyObject* self, PyObject* from, PyObject* to) {
    Ref graph = call_method(self, m.n.create_graph);
    return graph ? call_method(self, m.n.find_all_paths_helper, from, to, graph.get()) : Ref();
}

// ---- native fast path --------------------------------------------------------------------

// 1 when the machine uses the base graph and search methods, so the native search gives their result.
int routes_use_base_methods(const Module& m, PyObject* self) {
    return machine_uses_base(m, self, BaseMethods::routes);
}

Ref new_route(const std::vector<PyObject*>& paths) {
    Ref route = Ref::steal(PyList_New(static_cast<Py_ssize_t>(paths.size())));
    if (!route) return Ref();
    for (size_t i = 0; i < paths.size(); ++i) PyList_SET_ITEM(route.get(), i, Py_NewRef(paths[i]));
    return route;
}

// A new list of the paths at `positions` of the index.
PyObject* route_list(const PathsIndex& graph, const int32_t* positions, size_t count) {
    PyObject* route = PyList_New(static_cast<Py_ssize_t>(count));
    if (!route) return nullptr;
    for (size_t i = 0; i < count; ++i) PyList_SET_ITEM(route, i, Py_NewRef(graph.items[positions[i]]));
    return route;
}

// Every route from `from` to `to`, depth first in registration order, as the recursive search finds them.
PyObject* enumerate_routes(PathsIndex& graph, PyObject* from, PyObject* to) {
    Ref routes = Ref::steal(PyList_New(0));
    if (!routes) return nullptr;
    if (from == to) {
        Ref empty = Ref::steal(PyList_New(0));
        return empty && PyList_Append(routes.get(), empty.get()) == 0 ? routes.release() : nullptr;
    }
    const int32_t start = index_node(graph, from), target = index_node(graph, to);
    if (start < 0 || target < 0) return routes.release();
    struct Frame {
        int32_t node;
        int32_t next;  // position in graph.edge_path
    };
    std::vector<Frame> stack{{start, graph.first[start]}};
    std::vector<PyObject*> route;
    std::vector<int32_t> times_left(graph.nodes.size(), 0);
    for (size_t steps = 1; !stack.empty(); ++steps) {
        if ((steps & 0xFFFF) == 0 && PyErr_CheckSignals() < 0) return nullptr;
        Frame& frame = stack.back();
        if (frame.next == graph.first[frame.node + 1]) {
            stack.pop_back();
            if (!stack.empty()) {
                route.pop_back();
                --times_left[stack.back().node];
            }
            continue;
        }
        const int32_t path = graph.edge_path[frame.next++];
        const int32_t next = graph.to[path];
        if (times_left[next] > 0) continue;
        route.push_back(graph.items[path]);
        if (next == target) {
            Ref found = new_route(route);
            if (!found || PyList_Append(routes.get(), found.get()) < 0) return nullptr;
            route.pop_back();
            continue;
        }
        ++times_left[frame.node];
        stack.push_back(Frame{next, graph.first[next]});
    }
    return routes.release();
}

// The first shortest route in depth-first order, as positions of paths: breadth-first distances to
// the target, then at each state the first leaving path (in registration order) that gets one
// step closer. False when there is none.
bool shortest_positions(const PathsIndex& graph, int32_t start, int32_t target, std::vector<int32_t>& route) {
    std::vector<int32_t> distance(graph.nodes.size(), -1), queue{target};
    distance[target] = 0;
    for (size_t head = 0; head < queue.size() && distance[start] < 0; ++head) {
        const int32_t node = queue[head];
        for (int32_t e = graph.first_in[node]; e < graph.first_in[node + 1]; ++e) {
            const int32_t source = graph.from[graph.edge_in[e]];
            if (distance[source] < 0) {
                distance[source] = distance[node] + 1;
                queue.push_back(source);
            }
        }
    }
    if (distance[start] < 0) return false;
    route.clear();
    for (int32_t node = start; node != target;) {
        const int32_t closer = distance[node] - 1;
        for (int32_t e = graph.first[node]; e < graph.first[node + 1]; ++e) {
            const int32_t path = graph.edge_path[e];
            if (distance[graph.to[path]] == closer) {
                route.push_back(path);
                node = graph.to[path];
                break;
            }
        }
    }
    return true;
}

// The shortest route as a new list, remembered per pair of states while the graph stands; null
// without an error when there is none.
PyObject* shortest_route(PathsIndex& graph, PyObject* from, PyObject* to) {
    if (from == to) return PyList_New(0);
    const int32_t start = index_node(graph, from), target = index_node(graph, to);
    if (start < 0 || target < 0) return nullptr;
    const int32_t found = index_remembered_route(graph, start, target);
    if (found == -2) {
        std::vector<int32_t> positions;
        const bool exists = shortest_positions(graph, start, target, positions);
        index_remember_route(graph, start, target, exists ? &positions : nullptr);
        return exists ? route_list(graph, positions.data(), positions.size()) : nullptr;
    }
    if (found < 0) return nullptr;
    return route_list(graph, graph.memo_pool.data() + graph.memo_start[found],
                      static_cast<size_t>(graph.memo_length[found]));
}

// ---- the public searches ------------------------------------------------------------------

// Runs `search` on the route graph of self's paths. Sets *declined, with no error, when the
// paths cannot be indexed and the search as written must run instead.
template <typename Search>
PyObject* search_natively(const Module& m, PyObject* self, bool* declined, Search search) noexcept {
    *declined = false;
    bool failed = false;
    PathsIndex* graph = index_route_graph(m, self, &failed);
    if (!graph) {
        *declined = !failed;
        return nullptr;
    }
    try {
        return search(*graph);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* find_all_paths(const Module& m, PyObject* const* a) {
    PyObject* self = a[0];
    Ref from, to;
    if (!as_states(m, self, a[1], a[2], from, to)) return nullptr;
    const int fast = routes_use_base_methods(m, self);
    if (fast < 0) return nullptr;
    if (fast && compares_by_identity(from.get()) && compares_by_identity(to.get())) {
        bool declined = false;
        PyObject* routes = search_natively(m, self, &declined, [&](PathsIndex& graph) {
            return enumerate_routes(graph, from.get(), to.get());
        });
        if (!declined) return routes;
    }
    return search_through_instance(m, self, from.get(), to.get()).release();
}

std::nullptr_t no_route(const Module& m, PyObject* from, PyObject* to) {
    return raise_error(m, Ref::steal(PyUnicode_FromFormat("Path doesn't exist for %S -> %S ", from, to)));
}

// min(routes, key=len)
PyObject* first_shortest(PyObject* routes) {
    Ref iter = Ref::steal(PyObject_GetIter(routes));
    if (!iter) return nullptr;
    Ref best;
    Py_ssize_t best_length = 0;
    while (Ref route = Ref::steal(PyIter_Next(iter.get()))) {
        const Py_ssize_t length = PyObject_Length(route.get());
        if (length < 0) return nullptr;
        if (!best || length < best_length) {
            best = std::move(route);
            best_length = length;
        }
    }
    if (PyErr_Occurred()) return nullptr;
    if (!best) PyErr_SetString(PyExc_ValueError, "min() arg is an empty sequence");
    return best.release();
}

PyObject* shortest_of(const Module& m, Ref routes, PyObject* from_arg, PyObject* to_arg) {
    if (!routes) return nullptr;
    const int any = PyObject_IsTrue(routes.get());
    if (any <= 0) return any < 0 ? nullptr : no_route(m, from_arg, to_arg);
    return first_shortest(routes.get());
}

PyObject* get_shortest_path(const Module& m, PyObject* const* a) {
    PyObject *self = a[0], *from_arg = a[1], *to_arg = a[2];
    const int fast = routes_use_base_methods(m, self);
    if (fast < 0) return nullptr;
    if (!fast) return shortest_of(m, call_method(self, m.n.find_all_paths, from_arg, to_arg), from_arg, to_arg);
    // find_all_paths is the base one: resolve the states as it does, then search natively where possible.
    Ref from, to;
    if (!as_states(m, self, from_arg, to_arg, from, to)) return nullptr;
    if (compares_by_identity(from.get()) && compares_by_identity(to.get())) {
        bool declined = false;
        PyObject* route = search_natively(m, self, &declined, [&](PathsIndex& graph) -> PyObject* {
            PyObject* found = shortest_route(graph, from.get(), to.get());
            return found || PyErr_Occurred() ? found : no_route(m, from_arg, to_arg);
        });
        if (!declined) return route;
    }
    return shortest_of(m, search_through_instance(m, self, from.get(), to.get()), from_arg, to_arg);
}

// ---- DOT export ---------------------------------------------------------------------------

// Escapes backslashes and double quotes for a quoted DOT string.
Ref dot_quoted(Ref text) {
    if (!text) return Ref();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
    if (PyUnicode_FindChar(text.get(), '\\', 0, length, 1) == -1 &&
        PyUnicode_FindChar(text.get(), '"', 0, length, 1) == -1) {
        return text;
    }
    Ref backslash = Ref::steal(PyUnicode_FromString("\\"));
    Ref backslash2 = Ref::steal(PyUnicode_FromString("\\\\"));
    Ref quote = Ref::steal(PyUnicode_FromString("\""));
    Ref quote_escaped = Ref::steal(PyUnicode_FromString("\\\""));
    if (!backslash || !backslash2 || !quote || !quote_escaped) return Ref();
    Ref step = Ref::steal(PyUnicode_Replace(text.get(), backslash.get(), backslash2.get(), -1));
    return step ? Ref::steal(PyUnicode_Replace(step.get(), quote.get(), quote_escaped.get(), -1)) : Ref();
}

// The label of a path: name() for a callable command (its type's name when it has no __name__),
// else the command itself.
Ref command_label(const Module& m, PyObject* command) {
    if (!PyCallable_Check(command)) return Ref::steal(PyObject_Str(command));
    Ref name = getattr(command, m.n.dunder_name);
    if (!name) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
        name = Ref::steal(PyType_GetName(Py_TYPE(command)));
        if (!name) return Ref();
    }
    return Ref::steal(PyUnicode_FromFormat("%S()", name.get()));
}

Ref edge_line(const Module& m, PyObject* path) {
    Ref from = getattr(path, m.n.from_state);
    Ref from_text = from ? dot_quoted(Ref::steal(PyObject_Str(from.get()))) : Ref();
    Ref to = from_text ? getattr(path, m.n.to_state) : Ref();
    Ref to_text = to ? dot_quoted(Ref::steal(PyObject_Str(to.get()))) : Ref();
    Ref command = to_text ? getattr(path, m.n.command) : Ref();
    Ref label = command ? dot_quoted(command_label(m, command.get())) : Ref();
    if (!label) return Ref();
    return Ref::steal(PyUnicode_FromFormat("  \"%U\" -> \"%U\" [label=\" %U \"]\n", from_text.get(), to_text.get(),
                                           label.get()));
}

PyObject* dotgraph(const Module& m, PyObject* const* a) {
    Ref paths = getattr(a[0], m.n.paths);
    Ref iter = paths ? Ref::steal(PyObject_GetIter(paths.get())) : Ref();
    Ref lines = iter ? Ref::steal(PyList_New(0)) : Ref();
    Ref header = lines ? Ref::steal(PyUnicode_FromString("digraph G {\n")) : Ref();
    if (!header || PyList_Append(lines.get(), header.get()) < 0) return nullptr;
    while (Ref path = Ref::steal(PyIter_Next(iter.get()))) {
        Ref line = edge_line(m, path.get());
        if (!line || PyList_Append(lines.get(), line.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref footer = Ref::steal(PyUnicode_FromString("}\n"));
    if (!footer || PyList_Append(lines.get(), footer.get()) < 0) return nullptr;
    return PyUnicode_Join(m.n.text_empty, lines.get());
}

}  // namespace

const FunctionSpec create_graph_spec = {
    "create_graph", "StateMachine.create_graph", "self", 1, create_graph,
    " Creates a graph out of all states available in the state machine\n\n"
    "        Maps each state to the list of registered paths that leave it.\n",
    "(self)"};
const FunctionSpec find_all_paths_helper_spec = {
    "_find_all_paths", "StateMachine._find_all_paths", "self from_state to_state graph transitions", 4,
    find_all_paths_helper, " Gets all possible paths from any state to any state\n",
    nullptr};
const FunctionSpec find_all_paths_spec = {
    "find_all_paths", "StateMachine.find_all_paths", "self from_state to_state", 3, find_all_paths,
    " Returns all possible paths from any given state to any state\n\n"
    "        Example: sm.find_all_paths('enable', 'disable')\n",
    "(self, from_state, to_state)"};
const FunctionSpec get_shortest_path_spec = {
    "get_shortest_path", "StateMachine.get_shortest_path", "self from_state to_state", 3, get_shortest_path,
    " Finds the shortest path from the list of possible paths\n\n"
    "        Example: sm.get_shortest_path('disable', 'config')\n",
    "(self, from_state, to_state)"};
const FunctionSpec dotgraph_spec = {"dotgraph", "StateMachine.dotgraph", "self", 1, dotgraph,
                                    " Returns the graph of the state machine's paths as DOT text\n", "(self)"};

}  // namespace tessel
