// The view of the logging package declared in logging_snapshot.hpp, the loggers resolved through
// it and the records known to go nowhere.
#include "chronicle.hpp"

#include <structmember.h>

#include <tuple>
#include <utility>

namespace quillkit::chronicle {

namespace {

// `object.name`, or null when the attribute is missing or raises an Exception (the long way meets
// the same error and reports it where it belongs).
nb::object attribute_or_null(nb::handle object, const Name& name) {
    PyObject* value = PyObject_GetAttr(object.ptr(), name.ptr());
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
    PyErr_Clear();
    return nb::object();
}

void set_field(PyObject*& field, PyObject* value) { Py_XSETREF(field, Py_XNewRef(value)); }

const Name* const kLevelNames[] = {&names::level_debug, &names::level_info, &names::level_warning,
                                   &names::level_error, &names::level_critical};

// Whether instances of `type` are read by plain attribute access: no __getattribute__ or
// __getattr__ of their own, and a `__class__` that tells their class (isinstance reads it).
bool plain_attribute_access(nb::handle type) {
    static PyObject* const object_class =
        class_member(reinterpret_cast<PyObject*>(&PyBaseObject_Type), names::dunder_class);
    return reinterpret_cast<PyTypeObject*>(type.ptr())->tp_getattro == PyObject_GenericGetAttr &&
           class_member(type, names::dunder_class) == object_class;
}

// Whether the standard functions still run the code they were found with.
bool standard_code(const Standard& standard, size_t first, size_t count) {
    PyObject* const functions[] = {standard.get_logger, standard.manager_get_logger, standard.log,
                                   standard.is_enabled_for};
    for (size_t index = first; index < first + count; ++index) {
        if (!functions[index] || PyFunction_GET_CODE(functions[index]) != standard.code[index]) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Reading the view

// What the registry shortcut relies on: getLogger and the manager's getLogger are the logging
// package's own, `Logger.manager` is a manager of the standard class with the registry, and the
// root logger has its name. Leaves the view without a root when any of it does not hold.
void read_registry(ViewReading& reading, State& state, PyObject* module_dict) {
    const Standard& standard = state.standard;
    LoggingView& view = state.view;
    if (!standard.get_logger || namespace_entry(module_dict, names::getLogger).ptr() != standard.get_logger ||
        namespace_entry(module_dict, names::PlaceHolder).ptr() != standard.place_holder) {
        return;
    }
    // Held: making an attribute dict below may run the collector, and with it Python code.
    nb::object logger_class = namespace_entry(module_dict, names::Logger);
    nb::object root = namespace_entry(module_dict, names::root);
    // `Logger.manager` is what the class holds when its metaclass is `type`'s own.
    if (!logger_class.is_valid() || !root.is_valid() || Py_TYPE(logger_class.ptr()) != &PyType_Type) return;
    reading.watch_type(logger_class);
    nb::object manager = nb::borrow(class_member(logger_class, names::manager));
    if (!manager.is_valid() || Py_TYPE(manager.ptr())->tp_descr_get) return;
    nb::object manager_class = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr())));
    nb::object root_class = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(root.ptr())));
    reading.watch_type(manager_class);
    reading.watch_type(root_class);
    if (!plain_attribute_access(manager_class) || !plain_attribute_access(root_class) ||
        class_member(manager_class, names::getLogger) != standard.manager_get_logger ||
        class_member(manager_class, names::loggerDict) || class_member(root_class, names::name)) {
        return;
    }
    nb::object root_name, registry;
    PyObject* root_attributes = reading.watch_attributes(root);
    PyObject* manager_attributes = reading.watch_attributes(manager);
    if (root_attributes && manager_attributes) {
        if (namespace_entry(manager_attributes, names::getLogger).is_valid()) return;  // the manager's own
        root_name = namespace_entry(root_attributes, names::name);
        registry = namespace_entry(manager_attributes, names::loggerDict);
        state.plain.root_attributes = root_attributes;
        state.plain.manager_attributes = manager_attributes;
    } else {
        // Read again at each use (resolution_holds).
        root_name = attribute_or_null(root, names::name);
        registry = attribute_or_null(manager, names::loggerDict);
    }
    // A dict of another class may answer `in` and `[]` its own way.
    if (!root_name.is_valid() || !PyUnicode_CheckExact(root_name.ptr()) || !registry.is_valid() ||
        !PyDict_CheckExact(registry.ptr())) {
        return;
    }
    reading.watch_dict(registry);
    set_field(view.root, root.ptr());
    set_field(view.root_class, root_class.ptr());
    set_field(view.root_name, root_name.ptr());
    set_field(view.manager, manager.ptr());
    set_field(view.manager_class, manager_class.ptr());
    set_field(view.registry, registry.ptr());
}

// What the logging module holds, when `logging` is a plain module.
void read_logging(ViewReading& reading, State& state) {
    PyObject* module_dict = PyModule_GetDict(state.view.logging);
    reading.watch_dict(module_dict);
    for (size_t index = 0; index < static_cast<size_t>(Level::count); ++index) {
        nb::object level = namespace_entry(module_dict, *kLevelNames[index]);
        if (level.is_valid() && PyLong_CheckExact(level.ptr()))
            set_field(state.view.levels[index], level.ptr());
    }
    read_registry(reading, state, module_dict);
}

// Reads the whole view again, watching what it reads.
void read_view(Call& c, State& state) {
    ViewReading reading(state.plain.watch);
    LoggingView& view = state.view;
    for (PyObject** field : {&view.logging, &view.base_name, &view.root, &view.root_class, &view.root_name,
                             &view.manager, &view.manager_class, &view.registry}) {
        Py_CLEAR(*field);
    }
    for (PyObject*& level : view.levels) Py_CLEAR(level);
    PyDict_Clear(state_field(view.loggers).ptr());
    state.plain.get_logger_is_ours = state.plain.lazy_class_intact = false;
    state.plain.root_attributes = state.plain.manager_attributes = nullptr;

    PyObject* globals = PyModule_GetDict(c.module().ptr());
    reading.watch_dict(globals);
    nb::object logging = namespace_entry(globals, names::logging);
    if (logging.is_valid() && PyModule_CheckExact(logging.ptr())) set_field(view.logging, logging.ptr());
    set_field(view.base_name, namespace_entry(globals, names::base_name_global).ptr());
    nb::object get_logger = namespace_entry(globals, names::get_logger);
    state.plain.get_logger_is_ours = get_logger.is_valid() && is_function(get_logger, kGetLogger);
    nb::handle lazy_class = state_field(state.lazy_logger_class);
    reading.watch_type(lazy_class);
    state.plain.lazy_class_intact = state.plain.child_offset &&
                                    class_member(lazy_class, names::_emit) == state.emit_function &&
                                    class_member(lazy_class, names::_l) == state.logger_property &&
                                    class_member(lazy_class, names::_child) == state.child_descriptor;
    if (view.logging) read_logging(reading, state);
    reading.done();
}

// ---------------------------------------------------------------------------------------------
// Resolving loggers

// An entry of the cache: (base name, joined name, logger, its class, attributes, cache).
//   - logger: what the registry holds for the name (no placeholder, plainly read), or None;
//   - attributes: for a logger whose record may be known dropped, its attribute dict (watched)
//     or True (its attributes are read at each use); None when its records go through `log`;
//   - cache: the logger's `_cache` when its attribute dict is watched, else None.
// The collector shows the cache to Python code: an entry is checked before it is read.
enum Slot : Py_ssize_t { kBase, kName, kLogger, kClass, kAttributes, kCache, kSlots };

// Whether the registry and the root logger still say what the view read of them.
bool resolution_holds(const State& state) {
    const LoggingView& view = state.view;
    if (!view.root || reinterpret_cast<PyObject*>(Py_TYPE(view.root)) != view.root_class ||
        reinterpret_cast<PyObject*>(Py_TYPE(view.manager)) != view.manager_class ||
        !standard_code(state.standard, 0, 2)) {
        return false;
    }
    if (state.plain.root_attributes) {
        return attribute_dict(view.root) == state.plain.root_attributes &&
               attribute_dict(view.manager) == state.plain.manager_attributes;
    }
    return attribute_or_null(view.root, names::name).ptr() == view.root_name &&
           attribute_or_null(view.manager, names::loggerDict).ptr() == view.registry &&
           finds_class_member(view.manager, names::getLogger, state.standard.manager_get_logger);
}

// The logger `logging.getLogger(name)` gives, read from the registry; invalid where getLogger
// must be asked (a missing logger, a placeholder, an object read another way).
nb::object registered(const State& state, nb::handle name) {
    const LoggingView& view = state.view;
    if (PyUnicode_GET_LENGTH(name.ptr()) == 0 || PyUnicode_Compare(name.ptr(), view.root_name) == 0) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(view.root);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    nb::handle found = dict_item(view.registry, name);
    if (!found.is_valid()) return nb::object();
    // (make_entry watches this class before Python code can run again.)
    nb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(found.ptr()));
    if (PyObject_TypeCheck(found.ptr(), reinterpret_cast<PyTypeObject*>(state.standard.place_holder)) ||
        !plain_attribute_access(type)) {
        return nb::object();
    }
    return nb::borrow(found);
}

// Whether the records of `logger` may be known dropped: its class has logging's own `log` and
// `isEnabledFor` and no member of the names those read. The logger's own attributes are then
// watched (the attribute dict it gives) or read at each use (True); None otherwise.
std::pair<nb::object, nb::object> dropped_facts(State& state, nb::handle logger) {
    const Standard& standard = state.standard;
    nb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(logger.ptr()));
    if (!standard_code(standard, 2, 2) || class_member(type, names::log) != standard.log ||
        class_member(type, names::isEnabledFor) != standard.is_enabled_for ||
        class_member(type, names::_cache) || class_member(type, names::disabled)) {
        return {nb::none(), nb::none()};
    }
    PyObject* attributes = watch_attributes(state.plain.watch, logger);
    if (!attributes) {
        if (attribute_dicts_watchable()) return {nb::none(), nb::none()};  // no attribute dict
        return {nb::borrow(Py_True), nb::none()};
    }
    nb::object cache = namespace_entry(attributes, names::_cache);
    nb::object disabled = namespace_entry(attributes, names::disabled);
    if (namespace_entry(attributes, names::log).is_valid() ||
        namespace_entry(attributes, names::isEnabledFor).is_valid() || !cache.is_valid() ||
        !PyDict_CheckExact(cache.ptr()) || (disabled.ptr() != Py_True && disabled.ptr() != Py_False)) {
        return {nb::none(), nb::none()};
    }
    return {nb::borrow(attributes), cache};
}

// A new entry for `child`, kept while the view stays current.
nb::object make_entry(State& state, nb::handle base, nb::handle child) {
    nb::object name = PyUnicode_GET_LENGTH(child.ptr()) > 0 ? concat({base, ".", child}) : nb::borrow(base);
    nb::object logger = state.view.root ? registered(state, name) : nb::object();
    nb::object type = nb::none(), attributes = nb::none(), cache = nb::none();
    if (logger.is_valid()) {
        type = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(logger.ptr())));
        if (watch_type(state.plain.watch, type)) {
            std::tie(attributes, cache) = dropped_facts(state, logger);
        } else {
            logger = nb::object();  // what the class says may change unseen
        }
    }
    nb::object made =
        require(PyTuple_Pack(kSlots, base.ptr(), name.ptr(), logger.is_valid() ? logger.ptr() : Py_None,
                             type.ptr(), attributes.ptr(), cache.ptr()));
    if (still_current(state.plain.watch)) {
        PyObject* loggers = state_field(state.view.loggers).ptr();
        if (PyDict_GET_SIZE(loggers) >= kMaxCachedNames) PyDict_Clear(loggers);
        require_status(PyDict_SetItem(loggers, child.ptr(), made.ptr()));
    }
    return made;
}

// The cache's entry for `child` under `base`, checked; invalid when it holds none.
nb::object cached_entry(const State& state, nb::handle base, nb::handle child) {
    PyObject* found = dict_item(state_field(state.view.loggers), child).ptr();
    if (!found || !PyTuple_CheckExact(found) || PyTuple_GET_SIZE(found) != kSlots ||
        PyTuple_GET_ITEM(found, kBase) != base.ptr() ||
        !PyUnicode_CheckExact(PyTuple_GET_ITEM(found, kName))) {
        return nb::object();
    }
    PyObject* type = PyTuple_GET_ITEM(found, kClass);
    PyObject* attributes = PyTuple_GET_ITEM(found, kAttributes);
    PyObject* cache = PyTuple_GET_ITEM(found, kCache);
    const bool logger = PyTuple_GET_ITEM(found, kLogger) != Py_None;
    if ((logger && !PyType_Check(type)) ||
        (attributes != Py_None && attributes != Py_True && !PyDict_Check(attributes)) ||
        (cache != Py_None && !PyDict_CheckExact(cache)) || (PyDict_Check(attributes) != (cache != Py_None))) {
        return nb::object();
    }
    return nb::borrow(found);
}

}  // namespace

void capture_standard(State& state, nb::handle logging, nb::handle lazy_logger_class) {
    Standard& standard = state.standard;
    PyObject* module_dict = PyModule_GetDict(logging.ptr());
    nb::object logger_class_entry = namespace_entry(module_dict, names::Logger);
    nb::object manager_class_entry = namespace_entry(module_dict, names::Manager);
    nb::object place_holder_entry = namespace_entry(module_dict, names::PlaceHolder);
    nb::object get_logger_entry = namespace_entry(module_dict, names::getLogger);
    PyObject* logger_class = logger_class_entry.ptr();
    PyObject* manager_class = manager_class_entry.ptr();
    PyObject* place_holder = place_holder_entry.ptr();
    PyObject* functions[4] = {get_logger_entry.ptr(), nullptr, nullptr, nullptr};
    if (manager_class && PyType_Check(manager_class))
        functions[1] = class_member(manager_class, names::getLogger);
    if (logger_class && PyType_Check(logger_class)) {
        functions[2] = class_member(logger_class, names::log);
        functions[3] = class_member(logger_class, names::isEnabledFor);
    }
    bool all = place_holder && PyType_Check(place_holder);
    for (PyObject* function : functions) all = all && function && PyFunction_Check(function);
    if (all) {  // else no shortcut: every field stays null
        set_field(standard.get_logger, functions[0]);
        set_field(standard.manager_get_logger, functions[1]);
        set_field(standard.log, functions[2]);
        set_field(standard.is_enabled_for, functions[3]);
        for (size_t index = 0; index < 4; ++index)
            set_field(standard.code[index], PyFunction_GET_CODE(functions[index]));
        set_field(standard.place_holder, place_holder);
    }
    state.view.loggers = require(PyDict_New()).release().ptr();

    PyObject* descriptor = class_member(lazy_logger_class, names::_child);
    if (!descriptor || !PyObject_TypeCheck(descriptor, &PyMemberDescr_Type)) return;
    const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descriptor)->d_member;
    if (member->type != Py_T_OBJECT_EX) return;
    state.plain.child_offset = member->offset;
    set_field(state.child_descriptor, descriptor);
}

State& current_view(Call& c) {
    State& state = c.state<State>();
    if (!still_current(state.plain.watch)) read_view(c, state);
    return state;
}

nb::handle ResolvedLogger::name() const {
    return entry_.is_valid() ? PyTuple_GET_ITEM(entry_.ptr(), kName) : nullptr;
}

ResolvedLogger resolve(State& state, nb::handle child) {
    // Held: finding the entry may run Python code (a key's comparison), which may read the view again.
    nb::object base = nb::borrow(state.view.base_name);
    // Any other base name is formatted anew at each use, as an f-string would.
    if (!base.is_valid() || !PyUnicode_CheckExact(base.ptr())) return ResolvedLogger();
    nb::object found = cached_entry(state, base, child);
    if (!found.is_valid()) found = make_entry(state, base, child);
    nb::handle logger = PyTuple_GET_ITEM(found.ptr(), kLogger);
    const bool usable =
        logger.ptr() != Py_None &&
        reinterpret_cast<PyObject*>(Py_TYPE(logger.ptr())) == PyTuple_GET_ITEM(found.ptr(), kClass) &&
        still_current(state.plain.watch) && resolution_holds(state);
    return ResolvedLogger(std::move(found), usable ? logger : nb::handle());
}

bool is_dropped(State& state, const ResolvedLogger& resolved, nb::handle level) {
    nb::handle logger = resolved.logger();
    if (!logger.is_valid() || !PyLong_CheckExact(level.ptr())) return false;
    PyObject* attributes = PyTuple_GET_ITEM(resolved.entry_.ptr(), kAttributes);
    if (attributes == Py_None || !standard_code(state.standard, 2, 2)) return false;
    nb::object cache;
    if (attributes == Py_True) {
        // Read now, as isEnabledFor reads them: `disabled` first, for its truth.
        if (!finds_class_member(logger, names::log, state.standard.log) ||
            !finds_class_member(logger, names::isEnabledFor, state.standard.is_enabled_for)) {
            return false;
        }
        nb::object disabled = attribute_or_null(logger, names::disabled);
        if (disabled.ptr() == Py_True) return true;
        if (disabled.ptr() != Py_False) return false;
        cache = attribute_or_null(logger, names::_cache);
        if (!cache.is_valid() || !PyDict_CheckExact(cache.ptr())) return false;
    } else {
        if (attribute_dict(logger) != attributes) return false;
        cache = nb::borrow(PyTuple_GET_ITEM(resolved.entry_.ptr(), kCache));
    }
    nb::handle enabled = dict_item(cache, level);
    if (enabled.ptr() == Py_False) return true;
    if (enabled.is_valid()) return false;
    // Not asked yet since the levels last changed: isEnabledFor answers and keeps the answer.
    return !truthy(call(state.standard.is_enabled_for, {logger, level}));
}

nb::object child_of(const State& state, nb::handle self) {
    const Py_ssize_t offset = state.plain.child_offset;
    PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self.ptr()) + offset);
    if (!value) return attr(self, names::_child);  // unset: attribute access raises its error
    return nb::borrow(value);
}

}  // namespace quillkit::chronicle
