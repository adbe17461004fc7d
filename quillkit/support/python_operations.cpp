// The Python operations declared in python_operations.hpp.
#include "python_operations.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <iterator>
#include <memory>
#include <unordered_map>
#include <vector>

namespace quillkit {

void raise(PyObject* type, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    throw nb::python_error();
}

void raise_os_error(int error, nb::handle filename) {
    errno = error;
    if (filename.is_valid()) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    } else {
        PyErr_SetFromErrno(PyExc_OSError);
    }
    throw nb::python_error();
}

void restore_error(std::exception& error) noexcept {
    if (auto* python = dynamic_cast<nanobind::python_error*>(&error)) {
        python->restore();
    } else if (dynamic_cast<std::bad_alloc*>(&error)) {
        PyErr_NoMemory();
    } else {
        PyErr_SetString(PyExc_SystemError, error.what());
    }
}

PyObject* Name::intern() const {
    PyObject* text = PyUnicode_InternFromString(text_);
    if (!text) throw nb::python_error();
    cached_ = text;  // kept for the life of the process
    return text;
}

bool is_exception(const nb::python_error& error) { return error.matches(PyExc_Exception); }

bool truthy(nb::handle value) { return require_status(PyObject_IsTrue(value.ptr())) != 0; }

nb::object to_str(nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return nb::borrow(value);
    return require(PyObject_Str(value.ptr()));
}

nb::object attr(nb::handle obj, const Name& name) { return require(PyObject_GetAttr(obj.ptr(), name.ptr())); }

nb::object module_attr(nb::handle module, const Name& name) {
    if (PyModule_CheckExact(module.ptr())) {
        nb::handle value = dict_item(PyModule_GetDict(module.ptr()), name.handle());
        if (value.is_valid()) return nb::borrow(value);
    }
    return attr(module, name);
}

void ArgumentStack::push(Buffer& buffer, PyObject* value) {
    if (buffer.size == buffer.capacity) {
        auto larger = std::make_unique<PyObject*[]>(buffer.capacity * 2);
        std::copy(buffer.items, buffer.items + buffer.size, larger.get());
        buffer.heap = std::move(larger);
        buffer.items = buffer.heap.get();
        buffer.capacity *= 2;
    }
    buffer.items[buffer.size++] = value;
}

nb::object ArgumentStack::keyword_names() const {
    if (names_.size == 0) return nb::object();
    nb::object names = require(PyTuple_New(static_cast<Py_ssize_t>(names_.size)));
    for (size_t index = 0; index < names_.size; ++index) {
        PyTuple_SET_ITEM(names.ptr(), index, Py_NewRef(names_.items[index]));
    }
    return names;
}

nb::object ArgumentStack::call(nb::handle callable) {
    nb::object names = keyword_names();
    return require(PyObject_Vectorcall(callable.ptr(), values_.items + 1, count(), names.ptr()));
}

nb::object ArgumentStack::call_method(const Name& method) {
    nb::object names = keyword_names();
    return require(PyObject_VectorcallMethod(method.ptr(), values_.items + 1, count(), names.ptr()));
}

namespace {

// Most calls pass a few positional arguments and no keyword: those are laid out on the C stack
// (after the spare slot), without an ArgumentStack.
constexpr size_t kShortCall = 4;

template <class Vectorcall>
nb::object short_call(nb::handle first, std::initializer_list<nb::handle> args, Vectorcall&& vectorcall) {
    PyObject* items[kShortCall + 2];
    size_t count = 0;
    if (first.is_valid()) items[1 + count++] = first.ptr();
    for (nb::handle arg : args) items[1 + count++] = arg.ptr();
    return require(vectorcall(items + 1, count | PY_VECTORCALL_ARGUMENTS_OFFSET));
}

}  // namespace

nb::object call(nb::handle callable, std::initializer_list<nb::handle> args,
                std::initializer_list<Keyword> keywords) {
    if (keywords.size() == 0 && args.size() <= kShortCall) {
        return short_call(nb::handle(), args, [&](PyObject* const* items, size_t count) {
            return PyObject_Vectorcall(callable.ptr(), items, count, nullptr);
        });
    }
    ArgumentStack stack;
    for (nb::handle arg : args) stack.add(arg);
    for (const Keyword& keyword : keywords) stack.add_keyword(keyword.name.handle(), keyword.value);
    return stack.call(callable);
}

nb::object call_method(nb::handle self, const Name& method, std::initializer_list<nb::handle> args,
                       std::initializer_list<Keyword> keywords) {
    if (keywords.size() == 0 && args.size() < kShortCall) {
        return short_call(self, args, [&](PyObject* const* items, size_t count) {
            return PyObject_VectorcallMethod(method.ptr(), items, count, nullptr);
        });
    }
    ArgumentStack stack;
    stack.add(self);
    for (nb::handle arg : args) stack.add(arg);
    for (const Keyword& keyword : keywords) stack.add_keyword(keyword.name.handle(), keyword.value);
    return stack.call_method(method);
}

nb::handle literal(const char* text) {
    // Literals live for the whole program, so their address identifies them. A small table
    // indexed by the address answers most look-ups without hashing; the map keeps them all.
    struct Recent {
        const char* text;
        PyObject* value;
    };
    static Recent recent[256];
    Recent& slot = recent[(reinterpret_cast<uintptr_t>(text) >> 3) % std::size(recent)];
    if (slot.text == text) return slot.value;
    static std::unordered_map<const char*, PyObject*> cache;
    auto found = cache.find(text);
    if (found == cache.end()) {
        PyObject* converted = PyUnicode_FromString(text);
        if (!converted) throw nb::python_error();
        found = cache.emplace(text, converted).first;  // kept for the life of the process
    }
    slot = {text, found->second};
    return found->second;
}

nb::object Piece::text() const {
    if (literal_) return nb::borrow(literal(literal_));
    return to_str(value_);
}

nb::object concat(std::initializer_list<Piece> pieces) {
    // One allocation for the result, as an f-string makes it; no intermediate tuple.
    constexpr size_t kInline = 12;
    nb::object inline_texts[kInline];
    std::vector<nb::object> heap_texts;
    nb::object* texts = inline_texts;
    if (pieces.size() > kInline) {
        heap_texts.resize(pieces.size());
        texts = heap_texts.data();
    }
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    size_t count = 0;
    for (const Piece& piece : pieces) {
        nb::object text = piece.text();
        length += PyUnicode_GET_LENGTH(text.ptr());
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(text.ptr()));
        texts[count++] = std::move(text);
    }
    nb::object result = require(PyUnicode_New(length, widest));
    Py_ssize_t position = 0;
    for (size_t index = 0; index < count; ++index) {
        PyObject* text = texts[index].ptr();
        const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
        if (size && PyUnicode_CopyCharacters(result.ptr(), position, text, 0, size) < 0) {
            throw nb::python_error();
        }
        position += size;
    }
    return result;
}

Py_ssize_t list_size(nb::handle list) {
    const Py_ssize_t size = PyList_Size(list.ptr());
    if (size < 0) throw nb::python_error();
    return size;
}

nb::handle list_item(nb::handle list, Py_ssize_t index) {
    PyObject* item = PyList_GetItem(list.ptr(), index);
    if (!item) throw nb::python_error();
    return item;
}

Py_ssize_t text_length(nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) {
        raise(PyExc_TypeError, "expected str, got %.200s", Py_TYPE(text.ptr())->tp_name);
    }
    return PyUnicode_GET_LENGTH(text.ptr());
}

nb::object pair(nb::handle first, nb::handle second) {
    return require(PyTuple_Pack(2, first.ptr(), second.ptr()));
}

std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    nb::object iterator = require_or_null(PyObject_GetIter(value.ptr()), PyExc_TypeError);
    if (!iterator.is_valid()) {
        raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value.ptr())->tp_name);
    }
    nb::object items[2];
    for (int index = 0; index < 2; ++index) {
        PyObject* item = PyIter_Next(iterator.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw nb::python_error();
            raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", index);
        }
        items[index] = nb::steal(item);
    }
    PyObject* extra = PyIter_Next(iterator.ptr());
    if (extra) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return {std::move(items[0]), std::move(items[1])};
}

void log_to(nb::handle logger, const Name& level, nb::handle message) {
    call_method(logger, level, {message});
}

}  // namespace quillkit
