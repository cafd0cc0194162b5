#include "result_class.hpp"

#include <array>
#include <cstdlib>
#include <new>
#include <cstring>
#include <string>

namespace tarvella {

namespace {

// ---------------------------------------------------------------------------
// Owned payload pieces, before they move into an instance

/// Gives up one share of a text block; the last one frees it. Atomic, since
/// a thread unwinding at shutdown may drop a share without the lock.
void drop_texts(ErrTexts* block) {
    if (block != nullptr && block->shares.fetch_sub(1, std::memory_order_acq_rel) == 1)
        std::free(block);
}

class OwnedTexts {
public:
    OwnedTexts() = default;
    explicit OwnedTexts(ErrTexts* block) : block_(block) {}
    OwnedTexts(OwnedTexts&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    OwnedTexts& operator=(OwnedTexts&& other) noexcept {
        std::swap(block_, other.block_);
        return *this;
    }
    ~OwnedTexts() { drop_texts(block_); }

    ErrTexts* get() const { return block_; }
    ErrTexts* release() { return std::exchange(block_, nullptr); }

private:
    // The C allocator: safe to free from any thread, lock or not.
    ErrTexts* block_ = nullptr;
};

Outcome<OwnedTexts> make_texts(std::string_view message, std::optional<std::string_view> code) {
    const std::size_t code_size = code ? code->size() : 0;
    void* memory = std::malloc(sizeof(ErrTexts) + message.size() + code_size);
    if (memory == nullptr) {
        PyErr_NoMemory();
        return fetch_error_or_system();
    }
    auto* block = new (memory) ErrTexts{};
    block->shares.store(1, std::memory_order_relaxed);
    block->message_size = message.size();
    block->code_size = code ? code->size() : ErrTexts::no_code;
    char* bytes = reinterpret_cast<char*>(block + 1);
    std::memcpy(bytes, message.data(), message.size());
    if (code)
        std::memcpy(bytes + message.size(), code->data(), code_size);
    return OwnedTexts(block);
}

} // namespace

template <bool Clear>
inline void ResultClass::take_references(ResultPayload& payload, PyObject** held) {
    drop_texts(payload.texts);
    held[0] = payload.value;
    held[1] = payload.details;
    if constexpr (Clear)
        payload = {};
}

namespace {

/// Builds an instance of exactly `Result` around `owned`, whose references
/// and text share it takes over; if allocation fails they are released.
/// Callers build `owned` in the call itself, so nothing can fail between.
TARVELLA_ALWAYS_INLINE Outcome<Ref> new_instance(ResultPayload owned) {
    Outcome<Ref> made = alloc_instance<ResultPayload>(result_cell, ResultClass::type());
    if (!made.ok()) [[unlikely]] {
        PyObject* held[2] = {nullptr, nullptr};
        ResultClass::take_references(owned, held);
        release_held(held);
        return std::move(made.error());
    }
    instance_of<ResultPayload>(made.value().get())->payload = owned;
    return std::move(made.value());
}

PyObject* new_reference(PyObject* object) {
    if (object != nullptr)
        Py_INCREF(object);
    return object;
}

/// A fresh instance with the same objects and the same (shared) texts.
TARVELLA_ALWAYS_INLINE Outcome<Ref> copy_of(const ResultPayload& payload) {
    if (payload.texts != nullptr)
        payload.texts->shares.fetch_add(1, std::memory_order_relaxed);
    return new_instance(
        {new_reference(payload.value), new_reference(payload.details), payload.texts});
}

// Always inlined, as is `to_dict`: the releases on their unwinding paths make
// them look larger to GCC's inliner than their success paths are.
TARVELLA_ALWAYS_INLINE Ref code_object(const ErrTexts& texts) {
    std::optional<std::string_view> code = texts.code();
    return code ? new_text(*code) : Ref::borrow(Py_None);
}

PyObject* details_or_none(const ResultPayload& payload) {
    return payload.details != nullptr ? payload.details : Py_None;
}

/// Calls `function(message, code, details)` with the parts of an Err.
Outcome<Ref> call_with_triple(PyObject* function, const ResultPayload& payload) {
    Ref message = new_text(payload.texts->message());
    Ref code = code_object(*payload.texts);
    return call_function(function, message.get(), code.get(), details_or_none(payload));
}

/// The `str` text of an object that must be one; not an argument, so a
/// wrong type is reported without a parameter name.
TARVELLA_ALWAYS_INLINE Error text_of(PyObject* object, std::string_view& out) {
    return to_text(object, out);
}

// ---------------------------------------------------------------------------
// Constructors

Outcome<Ref> ok(Object value) { return new_instance({new_reference(value.object), nullptr, nullptr}); }

Outcome<Ref> err(Text message, OptionalText code, OptionalObject details) {
    Outcome<OwnedTexts> texts = make_texts(message.text, code.text);
    if (!texts.ok())
        return std::move(texts.error());
    return new_instance({nullptr, new_reference(details.object), texts.value().release()});
}

// ---------------------------------------------------------------------------
// Inspection and extraction

Outcome<Ref> is_ok(const ResultPayload& self) { return boolean(self.value != nullptr); }
Outcome<Ref> is_err(const ResultPayload& self) { return boolean(self.texts != nullptr); }

Outcome<Ref> unwrap(const ResultPayload& self) {
    if (self.value != nullptr)
        return Ref::borrow(self.value);
    return Error::message(PyExc_ValueError,
                          "Tried to unwrap an Err: " + std::string(self.texts->message()));
}

Outcome<Ref> expect(const ResultPayload& self, Text message) {
    if (self.value != nullptr)
        return Ref::borrow(self.value);
    return Error::message(PyExc_ValueError, std::string(message.text));
}

Outcome<Ref> unwrap_or(const ResultPayload& self, Object fallback) {
    return value_or(self.value, fallback.object);
}

Outcome<Ref> unwrap_err(const ResultPayload& self) {
    if (self.texts == nullptr)
        return Error::message(PyExc_ValueError, "Tried to unwrap_err on an Ok");
    Ref message = new_text(self.texts->message());
    Ref code = code_object(*self.texts);
    return checked_new(PyTuple_Pack(3, message.get(), code.get(), details_or_none(self)));
}

Outcome<Ref> to_option(const ResultPayload& self) { return value_or_none(self.value); }

// ---------------------------------------------------------------------------
// Combinators

Outcome<Ref> map(const ResultPayload& self, Object func) {
    if (self.value == nullptr)
        return copy_of(self);
    Outcome<Ref> mapped = call_function(func.object, self.value);
    if (!mapped.ok())
        return mapped;
    return new_instance({mapped.value().release(), nullptr, nullptr});
}

/// Builds an Err from the `(message, code, details)` that `map_err`'s
/// function returned.
Outcome<Ref> err_from_triple(PyObject* triple) {
    if (!PyTuple_Check(triple))
        return type_mismatch_error(triple, reinterpret_cast<PyObject*>(&PyTuple_Type));
    const Py_ssize_t size = PyTuple_Size(triple);
    if (size != 3)
        return Error::message(PyExc_ValueError,
                              "expected tuple of length 3, but got tuple of length " +
                                  std::to_string(size));
    std::string_view message;
    if (Error error = text_of(PyTuple_GetItem(triple, 0), message))
        return error;
    std::optional<std::string_view> code;
    PyObject* code_item = PyTuple_GetItem(triple, 1);
    if (code_item != Py_None) {
        std::string_view text;
        if (Error error = text_of(code_item, text))
            return error;
        code = text;
    }
    PyObject* details = PyTuple_GetItem(triple, 2);
    Outcome<OwnedTexts> texts = make_texts(message, code);
    if (!texts.ok())
        return std::move(texts.error());
    return new_instance({nullptr, details != Py_None ? new_reference(details) : nullptr,
                         texts.value().release()});
}

Outcome<Ref> map_err(const ResultPayload& self, Object func) {
    if (self.texts == nullptr)
        return copy_of(self);
    Outcome<Ref> triple = call_with_triple(func.object, self);
    if (!triple.ok())
        return triple;
    return err_from_triple(triple.value().get());
}

/// The chaining step behind `flat_map`, `and_then` and `>>`, on an Ok.
Outcome<Ref> chain_ok(const ResultPayload& self, PyObject* func) {
    Outcome<Ref> returned = call_function(func, self.value);
    if (!returned.ok())
        return returned;
    // `returned` keeps the instance alive, and copying it runs no Python code.
    return with_instance<ResultClass, Ref, false, quiet>(
        returned.value().get(), [](const ResultPayload& payload) { return copy_of(payload); });
}

/// An Err passes straight through, without the Ok case's frame.
TARVELLA_ALWAYS_INLINE Outcome<Ref> chain(const ResultPayload& self, PyObject* func) {
    if (self.value == nullptr)
        return copy_of(self);
    return chain_ok(self, func);
}

TARVELLA_ALWAYS_INLINE Outcome<Ref> flat_map(const ResultPayload& self, Object func) {
    return chain(self, func.object);
}

Outcome<Ref> match(const ResultPayload& self, OptionalObject on_ok, OptionalObject on_err) {
    if (self.value != nullptr)
        return on_ok.object != nullptr ? call_function(on_ok.object, self.value)
                                       : Outcome<Ref>(Ref::borrow(Py_None));
    return on_err.object != nullptr ? call_with_triple(on_err.object, self)
                                    : Outcome<Ref>(Ref::borrow(Py_None));
}

// ---------------------------------------------------------------------------
// Dictionary form

// The keys of the dictionary form, made once per process: interned, their
// hashes are computed once, and lookups with the caller's own constant keys
// (interned too) match by identity.
InternedName ok_key{"ok"};
InternedName value_key{"value"};
InternedName error_key{"error"};
InternedName code_key{"code"};
InternedName details_key{"details"};

TARVELLA_ALWAYS_INLINE Outcome<Ref> to_dict(const ResultPayload& self) {
    Ref dict = checked_new(PyDict_New());
    auto put = [&dict](InternedName& key, PyObject* value) {
        return PyDict_SetItem(dict.get(), interned(key), value) == 0;
    };
    // Keys in the order the dictionary form fixes; absent fields have none.
    bool stored;
    if (self.value != nullptr) {
        stored = put(ok_key, Py_True) && put(value_key, self.value);
    } else {
        stored = put(ok_key, Py_False) && put(error_key, new_text(self.texts->message()).get());
        if (std::optional<std::string_view> code = self.texts->code(); stored && code)
            stored = put(code_key, new_text(*code).get());
        if (stored && self.details != nullptr)
            stored = put(details_key, self.details);
    }
    if (!stored)
        return fetch_error_or_system();
    return dict;
}

/// A plain lookup: a subclass's `__getitem__` or `__missing__` is not asked.
/// An absent key leaves `found` null. The item is borrowed: comparing keys
/// while looking up the next one may run Python code that changes the dict,
/// so an item that must outlive a later lookup is held by the caller.
/// Without the interpreter lock another thread may change the dict at any
/// moment, so there the item comes with a reference of its own, in `held`.
TARVELLA_ALWAYS_INLINE Error lookup(PyObject* dict, InternedName& key, PyObject*& found,
                                   [[maybe_unused]] Ref& held) {
    found = nullptr;
    if (call_out([&] { return lookup_item(dict, interned(key), &found); }) < 0) [[unlikely]]
        return fetch_error_or_system();
    if constexpr (looked_up_items_held)
        held = Ref::steal(found);
    return Error();
}

InternedName module_name{"__module__"};
InternedName bool_name{"__bool__"};

/// Whether `type` is a numeric library's boolean scalar type.
bool is_numeric_bool(PyObject* type) {
    PyObject* module = PyObject_GetAttr(type, interned(module_name));
    if (module == nullptr) {
        PyErr_Clear();
        return false;
    }
    Ref module_owned = Ref::steal(module);
    if (!PyUnicode_Check(module) || PyUnicode_CompareWithASCIIString(module, "numpy") != 0)
        return false;
    PyObject* name = PyType_GetName(reinterpret_cast<PyTypeObject*>(type));
    if (name == nullptr) {
        PyErr_Clear();
        return false;
    }
    Ref name_owned = Ref::steal(name);
    return PyUnicode_CompareWithASCIIString(name, "bool_") == 0 ||
           PyUnicode_CompareWithASCIIString(name, "bool") == 0;
}

/// The truth of "ok": only a `bool`, or a numeric library's boolean scalar.
Outcome<bool> strict_bool(PyObject* object) {
    PyObject* bool_type = reinterpret_cast<PyObject*>(&PyBool_Type);
    if (Py_TYPE(object) == &PyBool_Type)
        return object == Py_True;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    if (!is_numeric_bool(type))
        return type_mismatch_error(object, bool_type);
    PyObject* method = PyObject_GetAttr(type, interned(bool_name));
    if (method == nullptr) {
        Error error = fetch_error_or_system();
        if (!error_matches(error, PyExc_AttributeError))
            return error;
        return Error::message(PyExc_TypeError, "object of type '" + object_text(type) +
                                                   "' does not define a '__bool__' conversion");
    }
    Ref method_owned = Ref::steal(method);
    // Looked up on the type, the method is unbound: it gets the object.
    Outcome<Ref> truth = call_function(method, object);
    if (!truth.ok())
        return std::move(truth.error());
    PyObject* value = truth.value().get();
    if (Py_TYPE(value) != &PyBool_Type)
        return type_mismatch_error(value, bool_type);
    return value == Py_True;
}

Outcome<Ref> from_dict(Dictionary source) {
    PyObject* dict = source.object;
    PyObject* ok_item;
    Ref ok_held;
    if (Error error = lookup(dict, ok_key, ok_item, ok_held))
        return error;
    if (ok_item == nullptr)
        return Error::message(PyExc_ValueError, "Missing 'ok' key in dict");
    bool is_ok_value;
    if (Py_TYPE(ok_item) == &PyBool_Type) [[likely]] {
        is_ok_value = ok_item == Py_True;
    } else {
        Ref held = Ref::borrow(ok_item); // its `__bool__` may change the dict
        Outcome<bool> truth = strict_bool(ok_item);
        if (!truth.ok())
            return std::move(truth.error());
        is_ok_value = truth.value();
    }

    if (is_ok_value) {
        PyObject* value;
        Ref value_held;
        if (Error error = lookup(dict, value_key, value, value_held))
            return error;
        if (value == nullptr)
            return Error::message(PyExc_ValueError, "Missing 'value' key for Ok result");
        return new_instance({new_reference(value), nullptr, nullptr});
    }

    PyObject* found;
    Ref found_held;
    if (Error error = lookup(dict, error_key, found, found_held))
        return error;
    if (found == nullptr)
        return Error::message(PyExc_ValueError, "Missing 'error' key for Err result");
    // The message and code texts are read from the items, so these are held
    // until the texts are copied.
    Ref error_item = Ref::borrow(found);
    std::string_view message;
    if (Error error = text_of(found, message))
        return error;

    if (Error error = lookup(dict, code_key, found, found_held))
        return error;
    Ref code_item;
    std::optional<std::string_view> code;
    if (found != nullptr && PyUnicode_Check(found)) {
        code_item = Ref::borrow(found);
        // A code that is not usable text is dropped, not an error.
        std::string_view text;
        if (Error error = text_of(found, text); !error)
            code = text;
    }

    PyObject* details;
    Ref details_held;
    if (Error error = lookup(dict, details_key, details, details_held))
        return error;
    Outcome<OwnedTexts> texts = make_texts(message, code);
    if (!texts.ok())
        return std::move(texts.error());
    return new_instance({nullptr, new_reference(details), texts.value().release()});
}

// ---------------------------------------------------------------------------
// Pickling and copying: an instance travels as its dictionary form, which
// keeps the value and details objects themselves (so pickle's memo keeps
// them shared) and tells absent details from `None` ones; it comes back
// through the validation of `from_dict`.

Outcome<Ref> state_of(PyObject* self) { return with_instance<ResultClass, Ref>(self, to_dict); }

Outcome<Ref> from_state(PyObject* state) {
    Dictionary dict;
    if (Error error = convert(state, dict))
        return wrap_argument_error("state", std::move(error));
    return from_dict(dict);
}

// ---------------------------------------------------------------------------
// Text form and protocols

/// The text form of an Err. Out of line: its buffer would otherwise enlarge
/// the frame of the text form on every level of a nested Ok.
TARVELLA_NOINLINE Outcome<Ref> err_text(const ErrTexts& texts) {
    std::string_view message = texts.message();
    if (std::optional<std::string_view> code = texts.code())
        return joined_text(std::array{std::string_view("Err('"), message,
                                      std::string_view("', code='"), *code,
                                      std::string_view("')")});
    return joined_text(std::array{std::string_view("Err('"), message, std::string_view("')")});
}

Outcome<Ref> repr(const ResultPayload& self) {
    if (self.value == nullptr)
        return err_text(*self.texts);
    return text_around("Ok(", self.value);
}

bool truth(const ResultPayload& self) { return self.value != nullptr; }
Py_ssize_t length(const ResultPayload& self) { return self.value != nullptr ? 1 : 0; }
Outcome<Ref> iterate(const ResultPayload& self) { return iterate_optional(self.value); }
Outcome<Ref> rshift(const ResultPayload& self, PyObject* func) { return chain(self, func); }
Outcome<Ref> or_value(const ResultPayload& self, PyObject* fallback) {
    return value_or(self.value, fallback);
}

// ---------------------------------------------------------------------------
// Tables

// The variant on which a member runs no Python code: it only copies or reads
// its receiver (see `with_instance`).
bool holds_err(const ResultPayload& self) { return self.value == nullptr; }
bool holds_ok(const ResultPayload& self) { return self.value != nullptr; }

InternedName value_params[] = {{"value"}};
InternedName err_params[] = {{"message"}, {"code"}, {"details"}};
InternedName dict_params[] = {{"dict"}};
InternedName match_params[] = {{"ok"}, {"err"}};

constexpr ArgSpec ok_spec{"Result", "ok", value_params, 1};
constexpr ArgSpec err_spec{"Result", "err", err_params, 1};
constexpr ArgSpec from_dict_spec{"Result", "from_dict", dict_params, 1};
constexpr ArgSpec expect_spec{"Result", "expect", message_params, 1};
constexpr ArgSpec unwrap_or_spec{"Result", "unwrap_or", default_params, 1};
constexpr ArgSpec match_spec{"Result", "match", match_params, 0};
constexpr ArgSpec map_spec{"Result", "map", func_params, 1};
constexpr ArgSpec map_err_spec{"Result", "map_err", func_params, 1};
constexpr ArgSpec flat_map_spec{"Result", "flat_map", func_params, 1};
constexpr ArgSpec and_then_spec{"Result", "and_then", func_params, 1};
constexpr ArgSpec getitem_spec{"Result", "__class_getitem__", item_params, 1};

using C = ResultClass;
constexpr int fast = METH_FASTCALL | METH_KEYWORDS;

constexpr MethodEntry methods[] = {
    {"ok", &static_fast<ok_spec, ok>, fast | METH_STATIC, "ok(value)\n--\n\nConstructeur Ok"},
    {"err", &static_fast<err_spec, err>, fast | METH_STATIC,
     "err(message, code=None, details=None)\n--\n\n"
     "Constructeur Err avec message, code optionnel, details optionnel"},
    {"from_dict", &static_fast<from_dict_spec, from_dict>, fast | METH_STATIC,
     "from_dict(dict)\n--\n\nfrom_dict(d) : construit un Result depuis un dict (inverse de "
     "to_dict)"},
    {"is_ok", &method_noargs<C, is_ok, quiet>, METH_NOARGS, "is_ok($self)\n--\n\nTrue si Ok"},
    {"is_err", &method_noargs<C, is_err, quiet>, METH_NOARGS, "is_err($self)\n--\n\nTrue si Err"},
    {"unwrap", &method_noargs<C, unwrap, quiet>, METH_NOARGS,
     "unwrap($self)\n--\n\nUnwrap value ou ValueError si Err"},
    {"expect", &method_fast<C, expect_spec, expect, quiet>, fast,
     "expect($self, message)\n--\n\nexpect(message) : comme unwrap mais avec message "
     "personnalisé"},
    {"unwrap_or", &method_fast<C, unwrap_or_spec, unwrap_or, quiet>, fast,
     "unwrap_or($self, default)\n--\n\nunwrap_or(default) renvoie value ou default si Err"},
    {"unwrap_err", &method_noargs<C, unwrap_err, quiet>, METH_NOARGS,
     "unwrap_err($self)\n--\n\nunwrap_err() retourne (msg, code, details) ou ValueError si Ok"},
    {"to_option", &method_noargs<C, to_option, quiet>, METH_NOARGS,
     "to_option($self)\n--\n\nto_option() : retourne la valeur ou None"},
    {"match", &method_fast<C, match_spec, match>, fast,
     "match($self, ok=None, err=None)\n--\n\nmatch(ok=..., err=...) : pattern matching "
     "ergonomique"},
    {"map", &method_fast<C, map_spec, map, holds_err>, fast,
     "map($self, func)\n--\n\nmap(fn) : applique fn à Ok, laisse Err intact"},
    {"map_err", &method_fast<C, map_err_spec, map_err, holds_ok>, fast,
     "map_err($self, func)\n--\n\nmap_err(fn) : applique fn à Err, laisse Ok intact\n"
     "fn reçoit (msg, code, details) et doit retourner (msg, code, details)"},
    {"flat_map", &method_fast<C, flat_map_spec, flat_map, holds_err>, fast,
     "flat_map($self, func)\n--\n\nflat_map(fn) : applique fn à Ok et attend un Result en "
     "retour"},
    {"and_then", &method_fast<C, and_then_spec, flat_map, holds_err>, fast,
     "and_then($self, func)\n--\n\nand_then : alias de flat_map"},
    {"to_dict", &method_noargs<C, to_dict, quiet>, METH_NOARGS,
     "to_dict($self)\n--\n\nto_dict() : sérialisation en dict Python\n"
     "Ok  -> {\"ok\": true, \"value\": ...}\n"
     "Err -> {\"ok\": false, \"error\": msg, \"code\": ..., \"details\": ...}"},
    {"__class_getitem__", &class_fast<getitem_spec, class_itself>, fast | METH_CLASS,
     "__class_getitem__($cls, _item)\n--\n\nSupport pour Result[T, E] (typage générique)"},
};

constexpr SlotEntry slots[] = {
    {Py_nb_bool, &number_slot<C, int, truth, quiet>},
    {Py_tp_repr, &unary_slot<C, repr, holds_err>},
    {Py_mp_length, &number_slot<C, Py_ssize_t, length, quiet>},
    {Py_tp_iter, &unary_slot<C, iterate, quiet>},
    {Py_nb_rshift, &operator_slot<C, rshift, holds_err>},
    {Py_nb_or, &operator_slot<C, or_value, quiet>},
};

constexpr ClassSpec result_spec{
    "Result",
    "builtins.Result",
    "Result monad: Ok(value) | Err(message, code?, details?)",
    Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    sizeof(Instance<ResultPayload>),
    methods,
    slots,
    &instance_dealloc<ResultClass>,
    &instance_traverse<ResultClass>,
    &take_references<ResultClass>,
    &state_of,
    &from_state,
};

} // namespace

ClassCell result_cell{result_spec};

} // namespace tarvella
