// The least a native Result/MayBe can do: the same instance layout and the
// same work on the success path as tarvella, but no call frame around it (no
// argument descriptors, receiver checks, borrow flag, lock depth, fault
// barrier or error values). The benchmark sets tarvella against it to show
// what the frame costs. Failure paths only have to leave an exception set;
// nothing here is meant for use outside the benchmark.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <cstring>

namespace {

// One block per Err for message and code, laid out as tarvella lays it out,
// so that the allocator does the same work for both.
struct Texts {
    static constexpr std::size_t no_code = ~std::size_t(0);
    std::size_t message_size;
    std::size_t code_size;
    char* bytes() { return reinterpret_cast<char*>(this + 1); }
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

Texts* make_texts(const char* message, Py_ssize_t message_size, const char* code,
                  Py_ssize_t code_size) {
    const std::size_t extra = code != nullptr ? std::size_t(code_size) : 0;
    auto* block = static_cast<Texts*>(std::malloc(sizeof(Texts) + std::size_t(message_size) + extra));
    if (block == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    block->message_size = std::size_t(message_size);
    block->code_size = code != nullptr ? std::size_t(code_size) : Texts::no_code;
    std::memcpy(block->bytes(), message, std::size_t(message_size));
    if (code != nullptr)
        std::memcpy(block->bytes() + message_size, code, extra);
    return block;
}

Texts* copy_texts(Texts* texts) {
    if (texts == nullptr)
        return nullptr;
    const bool has_code = texts->code_size != Texts::no_code;
    return make_texts(texts->bytes(), Py_ssize_t(texts->message_size),
                      has_code ? texts->bytes() + texts->message_size : nullptr,
                      has_code ? Py_ssize_t(texts->code_size) : 0);
}

/// Takes over `value`, `details` and `texts`, also when it fails.
PyObject* new_result(PyObject* value, PyObject* details, Texts* texts) {
    auto* self = reinterpret_cast<ResultObject*>(
        PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(result_type), 0));
    if (self == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(details);
        std::free(texts);
        return nullptr;
    }
    self->value = value;
    self->details = details;
    self->texts = texts;
    return &self->ob_base;
}

PyObject* copy_result(ResultObject* from) {
    Texts* texts = nullptr;
    if (from->texts != nullptr && (texts = copy_texts(from->texts)) == nullptr)
        return nullptr;
    Py_XINCREF(from->value);
    Py_XINCREF(from->details);
    return new_result(from->value, from->details, texts);
}

ResultObject* as_result(PyObject* self) { return reinterpret_cast<ResultObject*>(self); }

PyObject* wrong_arguments() {
    PyErr_SetString(PyExc_TypeError, "wrong arguments");
    return nullptr;
}

PyObject* call_one(PyObject* function, PyObject* argument) {
    PyObject* slots[2] = {nullptr, argument};
    return PyObject_Vectorcall(function, slots + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// ---------------------------------------------------------------------------
// Result

PyObject* result_ok(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 1 || kwnames != nullptr)
        return wrong_arguments();
    Py_INCREF(args[0]);
    return new_result(args[0], nullptr, nullptr);
}

PyObject* result_err(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 1 || nargs > 3 || kwnames != nullptr)
        return wrong_arguments();
    if (!PyUnicode_Check(args[0]))
        return wrong_arguments();
    Py_ssize_t message_size = 0;
    const char* message = PyUnicode_AsUTF8AndSize(args[0], &message_size);
    if (message == nullptr)
        return nullptr;
    const char* code = nullptr;
    Py_ssize_t code_size = 0;
    if (nargs >= 2 && args[1] != Py_None) {
        if (!PyUnicode_Check(args[1]))
            return wrong_arguments();
        if ((code = PyUnicode_AsUTF8AndSize(args[1], &code_size)) == nullptr)
            return nullptr;
    }
    PyObject* details = nargs == 3 && args[2] != Py_None ? args[2] : nullptr;
    Texts* texts = make_texts(message, message_size, code, code_size);
    if (texts == nullptr)
        return nullptr;
    Py_XINCREF(details);
    return new_result(nullptr, details, texts);
}

PyObject* result_unwrap(PyObject* self, PyObject*) {
    PyObject* value = as_result(self)->value;
    if (value == nullptr) {
        PyErr_SetString(PyExc_ValueError, "Tried to unwrap an Err");
        return nullptr;
    }
    Py_INCREF(value);
    return value;
}

PyObject* result_map(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 1 || kwnames != nullptr)
        return wrong_arguments();
    ResultObject* receiver = as_result(self);
    if (receiver->value == nullptr)
        return copy_result(receiver);
    PyObject* mapped = call_one(args[0], receiver->value);
    if (mapped == nullptr)
        return nullptr;
    return new_result(mapped, nullptr, nullptr);
}

PyObject* result_flat_map(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    if (nargs != 1 || kwnames != nullptr)
        return wrong_arguments();
    ResultObject* receiver = as_result(self);
    if (receiver->value == nullptr)
        return copy_result(receiver);
    PyObject* returned = call_one(args[0], receiver->value);
    if (returned == nullptr)
        return nullptr;
    if (!PyObject_TypeCheck(returned, reinterpret_cast<PyTypeObject*>(result_type))) {
        Py_DECREF(returned);
        return wrong_arguments();
    }
    PyObject* copy = copy_result(as_result(returned));
    Py_DECREF(returned);
    return copy;
}

int store(PyObject* dict, const char* key, Py_ssize_t key_size, PyObject* value) {
    PyObject* key_text = PyUnicode_FromStringAndSize(key, key_size);
    if (key_text == nullptr)
        return -1;
    int done = PyDict_SetItem(dict, key_text, value);
    Py_DECREF(key_text);
    return done;
}

PyObject* result_to_dict(PyObject* self, PyObject*) {
    ResultObject* receiver = as_result(self);
    PyObject* dict = PyDict_New();
    if (dict == nullptr)
        return nullptr;
    int failed;
    if (receiver->value != nullptr) {
        failed = store(dict, "ok", 2, Py_True) < 0 || store(dict, "value", 5, receiver->value) < 0;
    } else {
        Texts* texts = receiver->texts;
        PyObject* message =
            PyUnicode_FromStringAndSize(texts->bytes(), Py_ssize_t(texts->message_size));
        failed = message == nullptr || store(dict, "ok", 2, Py_False) < 0 ||
                 store(dict, "error", 5, message) < 0;
        Py_XDECREF(message);
        if (!failed && texts->code_size != Texts::no_code) {
            PyObject* code = PyUnicode_FromStringAndSize(texts->bytes() + texts->message_size,
                                                         Py_ssize_t(texts->code_size));
            failed = code == nullptr || store(dict, "code", 4, code) < 0;
            Py_XDECREF(code);
        }
        if (!failed && receiver->details != nullptr)
            failed = store(dict, "details", 7, receiver->details) < 0;
    }
    if (failed) {
        Py_DECREF(dict);
        return nullptr;
    }
    return dict;
}

void result_dealloc(PyObject* self) {
    ResultObject* object = as_result(self);
    std::free(object->texts);
    Py_XDECREF(object->value);
    Py_XDECREF(object->details);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

constexpr int fast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef result_methods[] = {
    {"ok", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&result_ok)),
     fast | METH_STATIC, nullptr},
    {"err", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&result_err)),
     fast | METH_STATIC, nullptr},
    {"unwrap", &result_unwrap, METH_NOARGS, nullptr},
    {"map", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&result_map)), fast,
     nullptr},
    {"flat_map", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&result_flat_map)),
     fast, nullptr},
    {"to_dict", &result_to_dict, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_methods, result_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(&result_dealloc)},
    {0, nullptr},
};

PyType_Spec result_spec = {"bench_baseline.Result", sizeof(ResultObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, result_slots};

// ---------------------------------------------------------------------------
// MayBe

PyObject* maybe_just(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 1 || kwnames != nullptr)
        return wrong_arguments();
    auto* self = reinterpret_cast<MayBeObject*>(
        PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(maybe_type), 0));
    if (self == nullptr)
        return nullptr;
    Py_INCREF(args[0]);
    self->value = args[0];
    return &self->ob_base;
}

void maybe_dealloc(PyObject* self) {
    Py_XDECREF(reinterpret_cast<MayBeObject*>(self)->value);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

PyMethodDef maybe_methods[] = {
    {"just", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&maybe_just)),
     fast | METH_STATIC, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot maybe_slots[] = {
    {Py_tp_methods, maybe_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(&maybe_dealloc)},
    {0, nullptr},
};

PyType_Spec maybe_spec = {"bench_baseline.MayBe", sizeof(MayBeObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, maybe_slots};

// ---------------------------------------------------------------------------
// Module

int module_exec(PyObject* module) {
    if (result_type == nullptr && (result_type = PyType_FromSpec(&result_spec)) == nullptr)
        return -1;
    if (maybe_type == nullptr && (maybe_type = PyType_FromSpec(&maybe_spec)) == nullptr)
        return -1;
    if (PyModule_AddObjectRef(module, "Result", result_type) < 0)
        return -1;
    if (PyModule_AddObjectRef(module, "MayBe", maybe_type) < 0)
        return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "bench_baseline", nullptr, 0, nullptr, module_slots, nullptr, nullptr,
    nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit_bench_baseline() { return PyModuleDef_Init(&module_definition); }
