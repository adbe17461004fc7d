// The snapshot of the logging package declared in logging_snapshot.hpp.
#include "logging_snapshot.hpp"

#include <structmember.h>

namespace quillkit::chronicle {

namespace {

// Bumped whenever a watched namespace changes; a snapshot read at another value is stale.
uint64_t g_generation = 1;
int g_dict_watcher = -1;
int g_type_watcher = -1;
bool g_watching = false;  // false when the interpreter had no watcher left to give

int on_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++g_generation;
    return 0;
}

int on_type_change(PyTypeObject*) {
    ++g_generation;
    return 0;
}

// Registers the watchers once for the process; without them every record reads afresh.
void start_watching() {
    static bool tried = false;
    if (tried) return;
    tried = true;
    g_dict_watcher = PyDict_AddWatcher(on_dict_change);
    g_type_watcher = g_dict_watcher >= 0 ? PyType_AddWatcher(on_type_change) : -1;
    if (g_dict_watcher < 0 || g_type_watcher < 0) {
        PyErr_Clear();  // all watcher places taken: the snapshot is then read for every record
        return;
    }
    g_watching = true;
}

void watch_dict(PyObject* dict) {
    if (g_watching && dict && PyDict_Check(dict)) require_status(PyDict_Watch(g_dict_watcher, dict));
}

void watch_type(PyObject* type) {
    if (g_watching && type && PyType_Check(type)) {
        require_status(PyType_Watch(g_type_watcher, type));
    }
}

// `obj.name`, or null when the attribute is missing or raises.
nb::object attribute_or_null(nb::handle obj, const Name& name) {
    PyObject* value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
    PyErr_Clear();  // the long way meets the same error and reports it where it belongs
    return nb::object();
}

const Name* const kLevelNames[] = {&names::level_debug, &names::level_info, &names::level_warning,
                                   &names::level_error, &names::level_critical};

PyObject* g_child_descriptor = nullptr;  // _LazyLogger._child as made (kept for the process)
Py_ssize_t g_child_offset = 0;

// What this module's namespace holds.
void read_globals(const State& state, PyObject* globals, Facility& facility) {
    watch_dict(globals);
    facility.logging = namespace_entry(globals, names::logging);
    facility.base_name = namespace_entry(globals, names::base_name_global);
    nb::object get_logger = namespace_entry(globals, names::get_logger);
    facility.get_logger_is_ours = get_logger.is_valid() && is_function(get_logger, kGetLogger);
    PyObject* lazy_class = state.lazy_logger_class;
    watch_type(lazy_class);
    if (lazy_class && g_child_descriptor) {
        PyObject* members = reinterpret_cast<PyTypeObject*>(lazy_class)->tp_dict;
        facility.lazy_class_intact = namespace_entry(members, names::_emit).ptr() == state.emit_function &&
                                     namespace_entry(members, names::_l).ptr() == state.logger_property &&
                                     namespace_entry(members, names::_child).ptr() == g_child_descriptor;
    }
}

// What the shortcut to the registry relies on (see registered_logger).
void read_registry(const State& state, Facility& facility) {
    nb::object logging = facility.logging;
    facility.root = namespace_entry(PyModule_GetDict(logging.ptr()), names::root);
    nb::object logger_class = namespace_entry(PyModule_GetDict(logging.ptr()), names::Logger);
    if (!logger_class.is_valid() || !PyType_Check(logger_class.ptr())) return;
    watch_type(logger_class.ptr());
    facility.logger_class = logger_class;
    nb::object log = attribute_or_null(logger_class, names::log);
    facility.log_is_standard = log.is_valid() && log.ptr() == state.standard_log;
    facility.manager = attribute_or_null(logger_class, names::manager);
}

// What the logging module holds, when `logging` is a plain module.
void read_logging(const State& state, Facility& facility) {
    if (!facility.logging.is_valid() || !PyModule_CheckExact(facility.logging.ptr())) return;
    PyObject* module_dict = PyModule_GetDict(facility.logging.ptr());
    watch_dict(module_dict);
    for (size_t index = 0; index < static_cast<size_t>(Level::count); ++index) {
        nb::object level = namespace_entry(module_dict, *kLevelNames[index]);
        if (level.is_valid() && PyLong_CheckExact(level.ptr())) facility.levels[index] = level;
    }
    facility.get_logger_is_standard = namespace_entry(module_dict, names::getLogger).ptr() == state.facility_get_logger;
    read_registry(state, facility);
}

}  // namespace

const Facility& current_facility(Call& c) {
    static Facility& facility = *new Facility;  // for the process: never destroyed after the interpreter
    static uint64_t read_at = 0;
    static PyObject* read_for = nullptr;  // the globals it was read from (compared, never used)
    start_watching();
    PyObject* globals = PyModule_GetDict(c.module().ptr());
    if (g_watching && read_at == g_generation && read_for == globals) return facility;
    // Read at the generation before reading: a change while reading makes the next use read again.
    const uint64_t generation = g_generation;
    Facility fresh;
    read_globals(c.state<State>(), globals, fresh);
    read_logging(c.state<State>(), fresh);
    facility = std::move(fresh);
    read_at = generation;
    read_for = globals;
    return facility;
}

void remember_child_slot(nb::handle lazy_logger_class) {
    PyObject* members = reinterpret_cast<PyTypeObject*>(lazy_logger_class.ptr())->tp_dict;
    nb::object descriptor = namespace_entry(members, names::_child);
    if (!descriptor.is_valid() || !PyObject_TypeCheck(descriptor.ptr(), &PyMemberDescr_Type)) return;
    const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descriptor.ptr())->d_member;
    if (member->type != Py_T_OBJECT_EX) return;
    g_child_offset = member->offset;
    Py_XSETREF(g_child_descriptor, descriptor.release().ptr());
}

nb::object child_of(nb::handle self) {
    PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self.ptr()) + g_child_offset);
    if (!value) return attr(self, names::_child);  // unset: attribute access raises its error
    return nb::borrow(value);
}

}  // namespace quillkit::chronicle
