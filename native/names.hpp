// The interned names and texts of the module, generated from one list into its state.
#pragma once

// X(field, text): attribute, method, parameter and module-level names.
#define TESSEL_NAMES(X)                                                                       \
    X(name, "name") X(pattern, "pattern") X(pattern_list, "_pattern") X(linked_sm, "_linked_sm") \
    X(hostname, "hostname") X(learn_hostname, "learn_hostname") X(validate, "validate")        \
    X(update_pattern, "_update_pattern") X(substitute_hostname, "substitute_hostname")          \
    X(substitute_learn_hostname, "substitute_learn_hostname") X(from_state, "from_state")       \
    X(to_state, "to_state") X(command, "command") X(dialog, "dialog")                           \
    X(validate_update, "validate_update") X(machine_hostname, "_hostname")                      \
    X(machine_learn_hostname, "_learn_hostname") X(states, "states") X(paths, "paths")          \
    X(default_dialog, "default_dialog") X(current_state_attr, "_current_state")                 \
    X(create, "create") X(add_state, "add_state") X(get_state, "get_state")                     \
    X(add_path, "add_path") X(get_path, "get_path") X(create_graph, "create_graph")             \
    X(find_all_paths_helper, "_find_all_paths") X(find_all_paths, "find_all_paths")             \
    X(do_transitions, "do_transitions") X(current_state, "current_state")                       \
    X(update_cur_state, "update_cur_state") X(go_to, "go_to") X(match, "match")                 \
    X(match_output, "match_output") X(splitlines, "splitlines") X(sendline, "sendline")         \
    X(last_sent, "last_sent") X(buffer, "buffer") X(search, "search") X(sub, "sub")             \
    X(append, "append") X(index, "index") X(remove, "remove") X(extend, "extend")               \
    X(format, "format") X(dunder_name, "__name__") X(mod_re, "re") X(mod_state, "State")        \
    X(mod_path, "Path") X(mod_dialog, "Dialog") X(mod_statement, "Statement")                   \
    X(mod_error, "StateMachineError") X(mod_transition, "StateTransition")                      \
    X(mod_any_transition, "AnyStateTransition") X(mod_hop_transition, "HopWiseStateTransition") \
    X(mod_attribute_dict, "AttributeDict") X(mod_subst_pat, "HOSTNAME_SUBST_PAT")               \
    X(kw_state_machine, "state_machine") X(kw_spawn, "spawn") X(kw_timeout, "timeout")          \
    X(kw_context, "context") X(kw_prompt_recovery, "prompt_recovery")                           \
    X(text_any, "any") X(text_generic, "generic") X(text_bar, "|") X(text_placeholder, "%N")    \
    X(text_format_template, "{}") X(text_empty, "") X(text_backslash, "\\")                 \
    X(text_two_backslashes, "\\\\") X(dunder_str, "__str__") X(start, "start") \
    X(end, "end") X(replace, "replace") X(find, "find") X(escape, "escape")                   \
    X(version_probe, "__tessel_version_probe__") X(compile, "compile") X(dunder_class, "__class__")

#define TESSEL_NAME_FIELD(field, text) PyObject* field;
