// The leanest limited-API code for the operations the benchmark measures:
// what a careful hand-written extension does for the same work as tarvella on
// the success path (same instance contents, a fresh instance from every
// transforming member, one shared text block per Err, the same strict checks
// of what user functions return, process-wide interned dictionary keys,
// keyword names matched by pointer first), but no call frame (no argument
// descriptors, lock depth, fault barrier, borrow flag or error values).
// Built with BASELINE_GC (what bench/run does when tarvella's classes are
// garbage-collected), its instances take part in the collector and freed
// blocks are kept for reuse as tarvella keeps them, so that the comparison
// stays one of the same operations.
// Failures only leave a plain exception set; "extra over the baseline" is then
// the frame's own cost. Nothing here is meant for use outside the benchmark.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string_view>

namespace {

#ifdef BASELINE_GC
constexpr bool collected = true;
#else
constexpr bool collected = false;
#endif

// ---------------------------------------------------------------------------
// Shared pieces

// Message and optional code of an Err in one block, shared by the copies
// that transforming members make.
struct Texts {
    static constexpr std::size_t no_code = ~std::size_t(0);
    std::size_t shares;
    std::size_t message_size;
    std::size_t code_size;
    const char* bytes() const { return reinterpret_cast<const char*>(this + 1); }
    bool has_code() const { return code_size != no_code; }
    const char* code() const { return bytes() + message_size; }
};

struct ResultObject {
    PyObject ob_base;
    PyObject* value;
    PyObject* details;
    Texts* texts;
};

struct MayBeObject {
    PyObject ob_base;
    PyObject* value;
};

PyObject* result_type = nullptr;
PyObject* maybe_type = nullptr;

/// Freed instance blocks of one class, linked through their first payload
/// word, each untracked and holding no reference.
struct FreeList {
    static constexpr int capacity = 80;
    PyObject* top = nullptr;
    int count = 0;
};
FreeList result_blocks;
FreeList maybe_blocks;

PyObject*& next_block(PyObject* block) { return *reinterpret_cast<PyObject**>(block + 1); }

PyObject* alloc(PyObject* type, FreeList& blocks, std::size_t size) {
    if (collected && blocks.top != nullptr) {
        PyObject* block = blocks.top;
        blocks.top = next_block(block);
        --blocks.count;
        std::memset(block + 1, 0, size - sizeof(PyObject));
        Py_SET_TYPE(block, reinterpret_cast<PyTypeObject*>(type));
        Py_INCREF(type);
        Py_SET_REFCNT(block, 1);
        PyObject_GC_Track(block);
        return block;
    }
    return PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
}

/// Frees the block of an emptied instance, and drops its class.
void free_block(PyObject* self, FreeList& blocks) {
    PyTypeObject* type = Py_TYPE(self);
    if (!collected) {
        PyObject_Free(self);
    } else if (blocks.count < FreeList::capacity) {
        next_block(self) = blocks.top;
        blocks.top = self;
        ++blocks.count;
    } else {
        PyObject_GC_Del(self);
    }
    Py_DECREF(type);
}

// Interned once per process: parameter names and dictionary keys.
PyObject* name_value;
PyObject* name_message;
PyObject* name_code;
PyObject* name_details;
PyObject* name_func;
PyObject* name_ok;
PyObject* name_err;
PyObject* name_obj;
PyObject* name_dict;
PyObject* name_default;
PyObject* key_error;

PyObject* intern(const char* text) {
    PyObject* made = PyUnicode_FromString(text);
    if (made != nullptr)
        PyUnicode_InternInPlace(&made);
    return made;
}

void drop_texts(Texts* texts) {
    if (texts != nullptr && --texts->shares == 0)
        std::free(texts);
}

Texts* make_texts(std::string_view message, const char* code, Py_ssize_t code_size) {
    const std::size_t extra = code != nullptr ? std::size_t(code_size) : 0;
    auto* block = static_cast<Texts*>(std::malloc(sizeof(Texts) + message.size() + extra));
    if (block == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    block->shares = 1;
    block->message_size = message.size();
    block->code_size = code != nullptr ? extra : Texts::no_code;
    char* bytes = reinterpret_cast<char*>(block + 1);
    std::memcpy(bytes, message.data(), message.size());
    if (code != nullptr)
        std::memcpy(bytes + message.size(), code, extra);
    return block;
}

/// The UTF-8 of a `str` (exact type first: the flag test is a call).
const char* text_of(PyObject* object, Py_ssize_t* size) {
    if (!Py_IS_TYPE(object, &PyUnicode_Type) && !PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "expected str");
        return nullptr;
    }
    return PyUnicode_AsUTF8AndSize(object, size);
}

PyObject* new_text(const char* bytes, std::size_t size) {
    return PyUnicode_FromStringAndSize(bytes, Py_ssize_t(size));
}

PyObject* message_of(const Texts* texts) { return new_text(texts->bytes(), texts->message_size); }

PyObject* code_of(const Texts* texts) {
    if (!texts->has_code())
        return Py_NewRef(Py_None);
    return new_text(texts->code(), texts->code_size);
}

/// Takes over `value`, `details` and `texts`, also when it fails.
PyObject* new_result(PyObject* value, PyObject* details, Texts* texts) {
    auto* self = reinterpret_cast<ResultObject*>(
        alloc(result_type, result_blocks, sizeof(ResultObject)));
    if (self == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(details);
        drop_texts(texts);
        return nullptr;
    }
    self->value = value;
    self->details = details;
    self->texts = texts;
    return &self->ob_base;
}

PyObject* copy_result(const ResultObject* from) {
    if (from->texts != nullptr)
        ++from->texts->shares;
    Py_XINCREF(from->value);
    Py_XINCREF(from->details);
    return new_result(from->value, from->details, from->texts);
}

/// Takes over `value` (null: Nothing), also when it fails.
PyObject* new_maybe(PyObject* type, PyObject* value) {
    auto* self = reinterpret_cast<MayBeObject*>(alloc(type, maybe_blocks, sizeof(MayBeObject)));
    if (self == nullptr) {
        Py_XDECREF(value);
        return nullptr;
    }
    self->value = value;
    return &self->ob_base;
}

ResultObject* as_result(PyObject* self) { return reinterpret_cast<ResultObject*>(self); }
MayBeObject* as_maybe(PyObject* self) { return reinterpret_cast<MayBeObject*>(self); }

bool is_result(PyObject* object) {
    return reinterpret_cast<PyObject*>(Py_TYPE(object)) == result_type ||
           PyType_IsSubtype(Py_TYPE(object), reinterpret_cast<PyTypeObject*>(result_type));
}

PyObject* wrong_arguments() {
    PyErr_SetString(PyExc_TypeError, "wrong arguments");
    return nullptr;
}

template <class... Args>
PyObject* call(PyObject* function, Args... args) {
    PyObject* slots[] = {nullptr, args...};
    return PyObject_Vectorcall(function, slots + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                               nullptr);
}

/// Fills `cells` (null on entry) from a vectorcall: positional arguments,
/// then keywords matched by pointer against the interned names and, failing
/// that, by text. False with an exception set on any error.
bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* const* names,
           Py_ssize_t count, Py_ssize_t required, PyObject** cells) {
    if (nargs > count)
        return wrong_arguments(), false;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        cells[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_Size(kwnames);
        for (Py_ssize_t i = 0; i < keywords; ++i) {
            PyObject* name = PyTuple_GetItem(kwnames, i);
            Py_ssize_t k = 0;
            while (k < count && names[k] != name)
                ++k;
            if (k == count) {
                k = 0;
                while (k < count && PyUnicode_Compare(names[k], name) != 0)
                    ++k;
                if (PyErr_Occurred() || k == count)
                    return wrong_arguments(), false;
            }
            if (cells[k] != nullptr)
                return wrong_arguments(), false;
            cells[k] = args[nargs + i];
        }
    }
    for (Py_ssize_t i = nargs; i < required; ++i) {
        if (cells[i] == nullptr)
            return wrong_arguments(), false;
    }
    return true;
}

/// The common one-parameter method: exactly one argument, by position or by
/// its name.
PyObject* single(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* name) {
    if (nargs == 1 && kwnames == nullptr) [[likely]]
        return args[0];
    PyObject* cell = nullptr;
    return parse(args, nargs, kwnames, &name, 1, 1, &cell) ? cell : nullptr;
}

PyObject* iterate(PyObject* value) {
    PyObject* items = PyTuple_New(value != nullptr ? 1 : 0);
    if (items == nullptr)
        return nullptr;
    if (value != nullptr)
        PyTuple_SetItem(items, 0, Py_NewRef(value));
    PyObject* iterator = PyObject_GetIter(items);
    Py_DECREF(items);
    return iterator;
}

/// `str` of the concatenated parts, copied once into one buffer.
PyObject* joined(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (std::string_view part : parts)
        size += part.size();
    char stack[256];
    char* buffer = size <= sizeof stack ? stack : static_cast<char*>(std::malloc(size));
    if (buffer == nullptr)
        return PyErr_NoMemory();
    char* end = buffer;
    for (std::string_view part : parts) {
        std::memcpy(end, part.data(), part.size());
        end += part.size();
    }
    PyObject* text = new_text(buffer, size);
    if (buffer != stack)
        std::free(buffer);
    return text;
}

/// "{prefix}{str(value)})", through the UTF-8 of `str(value)`.
PyObject* wrapped_str(std::string_view prefix, PyObject* value) {
    PyObject* shown = PyObject_Str(value);
    if (shown == nullptr)
        return nullptr;
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(shown, &size);
    PyObject* text = nullptr;
    if (bytes != nullptr)
        text = joined({prefix, std::string_view(bytes, std::size_t(size)), ")"});
    Py_DECREF(shown);
    return text;
}

// ---------------------------------------------------------------------------
// Result

PyObject* result_ok(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* value = single(args, nargs, kwnames, name_value);
    if (value == nullptr)
        return nullptr;
    return new_result(Py_NewRef(value), nullptr, nullptr);
}

PyObject* result_err(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* names[] = {name_message, name_code, name_details};
    PyObject* cells[3] = {};
    if (!parse(args, nargs, kwnames, names, 3, 1, cells))
        return nullptr;
    Py_ssize_t message_size = 0;
    const char* message = text_of(cells[0], &message_size);
    if (message == nullptr)
        return nullptr;
    const char* code = nullptr;
    Py_ssize_t code_size = 0;
    if (cells[1] != nullptr && cells[1] != Py_None &&
        (code = text_of(cells[1], &code_size)) == nullptr)
        return nullptr;
    PyObject* details = cells[2] != nullptr && cells[2] != Py_None ? cells[2] : nullptr;
    Texts* texts = make_texts({message, std::size_t(message_size)}, code, code_size);
    if (texts == nullptr)
        return nullptr;
    return new_result(nullptr, Py_XNewRef(details), texts);
}

PyObject* result_is_ok(PyObject* self, PyObject*) {
    return Py_NewRef(as_result(self)->value != nullptr ? Py_True : Py_False);
}

PyObject* result_unwrap(PyObject* self, PyObject*) {
    PyObject* value = as_result(self)->value;
    if (value == nullptr) {
        PyErr_SetString(PyExc_ValueError, "Tried to unwrap an Err");
        return nullptr;
    }
    return Py_NewRef(value);
}

PyObject* result_expect(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* message = single(args, nargs, kwnames, name_message);
    if (message == nullptr)
        return nullptr;
    Py_ssize_t size = 0;
    const char* text = text_of(message, &size);
    if (text == nullptr)
        return nullptr;
    PyObject* value = as_result(self)->value;
    if (value == nullptr) {
        PyErr_SetString(PyExc_ValueError, text);
        return nullptr;
    }
    return Py_NewRef(value);
}

PyObject* result_unwrap_or(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyObject* fallback = single(args, nargs, kwnames, name_default);
    if (fallback == nullptr)
        return nullptr;
    PyObject* value = as_result(self)->value;
    return Py_NewRef(value != nullptr ? value : fallback);
}

PyObject* result_map(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* func = single(args, nargs, kwnames, name_func);
    if (func == nullptr)
        return nullptr;
    ResultObject* receiver = as_result(self);
    if (receiver->value == nullptr)
        return copy_result(receiver);
    PyObject* mapped = call(func, receiver->value);
    if (mapped == nullptr)
        return nullptr;
    return new_result(mapped, nullptr, nullptr);
}

PyObject* result_map_err(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    PyObject* func = single(args, nargs, kwnames, name_func);
    if (func == nullptr)
        return nullptr;
    ResultObject* receiver = as_result(self);
    if (receiver->texts == nullptr)
        return copy_result(receiver);
    PyObject* message = message_of(receiver->texts);
    PyObject* code = message != nullptr ? code_of(receiver->texts) : nullptr;
    PyObject* triple = code != nullptr
                           ? call(func, message, code,
                                  receiver->details != nullptr ? receiver->details : Py_None)
                           : nullptr;
    Py_XDECREF(message);
    Py_XDECREF(code);
    if (triple == nullptr)
        return nullptr;
    PyObject* made = nullptr;
    if (!PyTuple_Check(triple) || PyTuple_Size(triple) != 3) {
        wrong_arguments();
    } else {
        Py_ssize_t message_size = 0, code_size = 0;
        const char* new_message = text_of(PyTuple_GetItem(triple, 0), &message_size);
        PyObject* code_item = PyTuple_GetItem(triple, 1);
        const char* new_code = nullptr;
        if (new_message != nullptr &&
            (code_item == Py_None || (new_code = text_of(code_item, &code_size)) != nullptr)) {
            PyObject* details = PyTuple_GetItem(triple, 2);
            Texts* texts =
                make_texts({new_message, std::size_t(message_size)}, new_code, code_size);
            if (texts != nullptr)
                made = new_result(nullptr, details != Py_None ? Py_NewRef(details) : nullptr,
                                  texts);
        }
    }
    Py_DECREF(triple);
    return made;
}

/// `flat_map` and `>>`: the Result that `func` returns, copied.
PyObject* result_chain(ResultObject* receiver, PyObject* func) {
    if (receiver->value == nullptr)
        return copy_result(receiver);
    PyObject* returned = call(func, receiver->value);
    if (returned == nullptr)
        return nullptr;
    if (!is_result(returned)) {
        Py_DECREF(returned);
        return wrong_arguments();
    }
    PyObject* copy = copy_result(as_result(returned));
    Py_DECREF(returned);
    return copy;
}

PyObject* result_flat_map(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    PyObject* func = single(args, nargs, kwnames, name_func);
    if (func == nullptr)
        return nullptr;
    return result_chain(as_result(self), func);
}

PyObject* result_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    PyObject* names[] = {name_ok, name_err};
    PyObject* cells[2] = {};
    if (!parse(args, nargs, kwnames, names, 2, 0, cells))
        return nullptr;
    ResultObject* receiver = as_result(self);
    if (receiver->value != nullptr) {
        if (cells[0] == nullptr || cells[0] == Py_None)
            return Py_NewRef(Py_None);
        return call(cells[0], receiver->value);
    }
    if (cells[1] == nullptr || cells[1] == Py_None)
        return Py_NewRef(Py_None);
    PyObject* message = message_of(receiver->texts);
    if (message == nullptr)
        return nullptr;
    PyObject* code = code_of(receiver->texts);
    PyObject* returned =
        code == nullptr ? nullptr
                        : call(cells[1], message, code,
                               receiver->details != nullptr ? receiver->details : Py_None);
    Py_DECREF(message);
    Py_XDECREF(code);
    return returned;
}

PyObject* result_to_dict(PyObject* self, PyObject*) {
    ResultObject* receiver = as_result(self);
    PyObject* dict = PyDict_New();
    if (dict == nullptr)
        return nullptr;
    bool failed;
    if (receiver->value != nullptr) {
        failed = PyDict_SetItem(dict, name_ok, Py_True) < 0 ||
                 PyDict_SetItem(dict, name_value, receiver->value) < 0;
    } else {
        Texts* texts = receiver->texts;
        PyObject* message = message_of(texts);
        failed = message == nullptr || PyDict_SetItem(dict, name_ok, Py_False) < 0 ||
                 PyDict_SetItem(dict, key_error, message) < 0;
        Py_XDECREF(message);
        if (!failed && texts->has_code()) {
            PyObject* code = new_text(texts->code(), texts->code_size);
            failed = code == nullptr || PyDict_SetItem(dict, name_code, code) < 0;
            Py_XDECREF(code);
        }
        if (!failed && receiver->details != nullptr)
            failed = PyDict_SetItem(dict, name_details, receiver->details) < 0;
    }
    if (failed) {
        Py_DECREF(dict);
        return nullptr;
    }
    return dict;
}

PyObject* result_from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyObject* dict = single(args, nargs, kwnames, name_dict);
    if (dict == nullptr)
        return nullptr;
    if (!Py_IS_TYPE(dict, &PyDict_Type) && !PyDict_Check(dict))
        return wrong_arguments();
    PyObject* ok = PyDict_GetItemWithError(dict, name_ok);
    if (ok == nullptr || !Py_IS_TYPE(ok, &PyBool_Type))
        return PyErr_Occurred() ? nullptr : wrong_arguments();
    if (ok == Py_True) {
        PyObject* value = PyDict_GetItemWithError(dict, name_value);
        if (value == nullptr)
            return PyErr_Occurred() ? nullptr : wrong_arguments();
        return new_result(Py_NewRef(value), nullptr, nullptr);
    }
    PyObject* error = PyDict_GetItemWithError(dict, key_error);
    if (error == nullptr)
        return PyErr_Occurred() ? nullptr : wrong_arguments();
    Py_ssize_t message_size = 0;
    const char* message = text_of(error, &message_size);
    if (message == nullptr)
        return nullptr;
    PyObject* code_item = PyDict_GetItemWithError(dict, name_code);
    if (code_item == nullptr && PyErr_Occurred())
        return nullptr;
    const char* code = nullptr;
    Py_ssize_t code_size = 0;
    if (code_item != nullptr && PyUnicode_Check(code_item) &&
        (code = PyUnicode_AsUTF8AndSize(code_item, &code_size)) == nullptr)
        PyErr_Clear();
    PyObject* details = PyDict_GetItemWithError(dict, name_details);
    if (details == nullptr && PyErr_Occurred())
        return nullptr;
    Texts* texts = make_texts({message, std::size_t(message_size)}, code, code_size);
    if (texts == nullptr)
        return nullptr;
    return new_result(nullptr, Py_XNewRef(details), texts);
}

PyObject* result_repr(PyObject* self) {
    ResultObject* receiver = as_result(self);
    if (receiver->value != nullptr)
        return wrapped_str("Ok(", receiver->value);
    const Texts* texts = receiver->texts;
    std::string_view message(texts->bytes(), texts->message_size);
    if (texts->has_code())
        return joined({"Err('", message, "', code='", {texts->code(), texts->code_size}, "')"});
    return joined({"Err('", message, "')"});
}

int result_bool(PyObject* self) { return as_result(self)->value != nullptr; }
Py_ssize_t result_len(PyObject* self) { return as_result(self)->value != nullptr ? 1 : 0; }
PyObject* result_iter(PyObject* self) { return iterate(as_result(self)->value); }

PyObject* result_rshift(PyObject* left, PyObject* right) {
    if (!is_result(left))
        return Py_NewRef(Py_NotImplemented);
    return result_chain(as_result(left), right);
}

PyObject* result_or(PyObject* left, PyObject* right) {
    if (!is_result(left))
        return Py_NewRef(Py_NotImplemented);
    PyObject* value = as_result(left)->value;
    return Py_NewRef(value != nullptr ? value : right);
}

void result_dealloc(PyObject* self) {
    if (collected)
        PyObject_GC_UnTrack(self);
    ResultObject* object = as_result(self);
    drop_texts(object->texts);
    Py_XDECREF(object->value);
    Py_XDECREF(object->details);
    free_block(self, result_blocks);
}

int result_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_result(self)->value);
    Py_VISIT(as_result(self)->details);
    return 0;
}

template <auto F>
PyCFunction fast_function() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

constexpr int fast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef result_methods[] = {
    {"ok", fast_function<&result_ok>(), fast | METH_STATIC, nullptr},
    {"err", fast_function<&result_err>(), fast | METH_STATIC, nullptr},
    {"from_dict", fast_function<&result_from_dict>(), fast | METH_STATIC, nullptr},
    {"is_ok", &result_is_ok, METH_NOARGS, nullptr},
    {"unwrap", &result_unwrap, METH_NOARGS, nullptr},
    {"expect", fast_function<&result_expect>(), fast, nullptr},
    {"unwrap_or", fast_function<&result_unwrap_or>(), fast, nullptr},
    {"map", fast_function<&result_map>(), fast, nullptr},
    {"map_err", fast_function<&result_map_err>(), fast, nullptr},
    {"flat_map", fast_function<&result_flat_map>(), fast, nullptr},
    {"match", fast_function<&result_match>(), fast, nullptr},
    {"to_dict", &result_to_dict, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}, // sentinel
};

PyType_Slot result_slots[] = {
    {Py_tp_methods, result_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(&result_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&result_traverse)},
    {Py_tp_repr, reinterpret_cast<void*>(&result_repr)},
    {Py_nb_bool, reinterpret_cast<void*>(&result_bool)},
    {Py_mp_length, reinterpret_cast<void*>(&result_len)},
    {Py_tp_iter, reinterpret_cast<void*>(&result_iter)},
    {Py_nb_rshift, reinterpret_cast<void*>(&result_rshift)},
    {Py_nb_or, reinterpret_cast<void*>(&result_or)},
    {0, nullptr}, // sentinel
};

constexpr unsigned gc_flag = collected ? Py_TPFLAGS_HAVE_GC : 0;

PyType_Spec result_spec = {"bench_baseline.Result", sizeof(ResultObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | gc_flag,
                           result_slots};

// ---------------------------------------------------------------------------
// MayBe

PyObject* maybe_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* obj = nullptr;
    if (kwargs == nullptr && PyTuple_Size(args) == 1) [[likely]] {
        obj = PyTuple_GetItem(args, 0);
    } else {
        PyObject* cell = nullptr;
        if (PyTuple_Size(args) > 1 || (kwargs != nullptr && PyDict_Size(kwargs) > 1))
            return wrong_arguments();
        if (PyTuple_Size(args) == 1)
            cell = PyTuple_GetItem(args, 0);
        if (kwargs != nullptr && PyDict_Size(kwargs) == 1) {
            if (cell != nullptr || (cell = PyDict_GetItemWithError(kwargs, name_obj)) == nullptr)
                return PyErr_Occurred() ? nullptr : wrong_arguments();
        }
        if (cell == nullptr)
            return wrong_arguments();
        obj = cell;
    }
    return new_maybe(reinterpret_cast<PyObject*>(type), obj != Py_None ? Py_NewRef(obj) : nullptr);
}

PyObject* maybe_just(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* obj = single(args, nargs, kwnames, name_obj);
    if (obj == nullptr)
        return nullptr;
    return new_maybe(maybe_type, Py_NewRef(obj));
}

PyObject* maybe_nothing(PyObject*, PyObject*) { return new_maybe(maybe_type, nullptr); }

PyObject* maybe_is_just(PyObject* self, PyObject*) {
    return Py_NewRef(as_maybe(self)->value != nullptr ? Py_True : Py_False);
}

PyObject* maybe_map(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* func = single(args, nargs, kwnames, name_func);
    if (func == nullptr)
        return nullptr;
    PyObject* value = as_maybe(self)->value;
    if (value == nullptr)
        return new_maybe(maybe_type, nullptr);
    PyObject* mapped = call(func, value);
    if (mapped == nullptr)
        return nullptr;
    return new_maybe(maybe_type, mapped);
}

void maybe_dealloc(PyObject* self) {
    if (collected)
        PyObject_GC_UnTrack(self);
    Py_XDECREF(as_maybe(self)->value);
    free_block(self, maybe_blocks);
}

int maybe_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_maybe(self)->value);
    return 0;
}

PyMethodDef maybe_methods[] = {
    {"just", fast_function<&maybe_just>(), fast | METH_STATIC, nullptr},
    {"nothing", &maybe_nothing, METH_NOARGS | METH_STATIC, nullptr},
    {"is_just", &maybe_is_just, METH_NOARGS, nullptr},
    {"map", fast_function<&maybe_map>(), fast, nullptr},
    {nullptr, nullptr, 0, nullptr}, // sentinel
};

PyType_Slot maybe_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&maybe_new)},
    {Py_tp_methods, maybe_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(&maybe_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&maybe_traverse)},
    {0, nullptr}, // sentinel
};

PyType_Spec maybe_spec = {"bench_baseline.MayBe", sizeof(MayBeObject), 0,
                          Py_TPFLAGS_DEFAULT | gc_flag, maybe_slots};

// ---------------------------------------------------------------------------
// Module

int module_exec(PyObject* module) {
    if (result_type == nullptr) {
        struct {
            PyObject** cell;
            const char* text;
        } names[] = {{&name_value, "value"}, {&name_message, "message"}, {&name_code, "code"},
                     {&name_details, "details"}, {&name_func, "func"}, {&name_ok, "ok"},
                     {&name_err, "err"}, {&name_obj, "obj"}, {&name_dict, "dict"},
                     {&name_default, "default"}, {&key_error, "error"}};
        for (auto& name : names) {
            if ((*name.cell = intern(name.text)) == nullptr)
                return -1;
        }
        if ((maybe_type = PyType_FromSpec(&maybe_spec)) == nullptr)
            return -1;
        if ((result_type = PyType_FromSpec(&result_spec)) == nullptr)
            return -1;
    }
    if (PyModule_AddObjectRef(module, "Result", result_type) < 0)
        return -1;
    if (PyModule_AddObjectRef(module, "MayBe", maybe_type) < 0)
        return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr}, // sentinel
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "bench_baseline", nullptr, 0, nullptr, module_slots, nullptr, nullptr,
    nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit_bench_baseline() { return PyModuleDef_Init(&module_definition); }
