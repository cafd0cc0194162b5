#include "maybe_class.hpp"

#include <string>

namespace tarvella {

template <bool Clear>
inline void MayBeClass::take_references(MayBePayload& payload, PyObject** held) {
    held[0] = payload.value;
    if constexpr (Clear)
        payload.value = nullptr;
}

namespace {

/// An instance of exactly `type` holding `value` (absent: Nothing).
TARVELLA_ALWAYS_INLINE Outcome<Ref> instance_holding(PyObject* type, Ref value) {
    Outcome<Ref> made = alloc_instance<MayBePayload>(maybe_cell, type);
    if (!made.ok())
        return std::move(made.error()); // `value` is released on the way out
    instance_of<MayBePayload>(made.value().get())->payload.value = value.release();
    return std::move(made.value());
}

TARVELLA_ALWAYS_INLINE Outcome<Ref> new_instance(Ref value) {
    return instance_holding(MayBeClass::type(), std::move(value));
}

// ---------------------------------------------------------------------------
// Constructors

InternedName obj_params[] = {{"obj"}};
constexpr ArgSpec new_spec{"MayBe", "__new__", obj_params, 1};

/// `MayBe(obj)`: only the `None` object means Nothing.
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return object_entry([&]() -> Outcome<Ref> {
        std::array<PyObject*, 1> cells{};
        if (Error error = extract_tuple_arguments(new_spec, args, kwargs, cells.data()))
            return error;
        OptionalObject obj;
        (void)convert(cells[0], obj);
        before_body();
        Ref value = obj.object != nullptr ? Ref::borrow(obj.object) : Ref();
        return instance_holding(reinterpret_cast<PyObject*>(type), std::move(value));
    });
}

Outcome<Ref> just(Object obj) { return new_instance(Ref::borrow(obj.object)); }
Outcome<Ref> nothing() { return new_instance(Ref()); }

// ---------------------------------------------------------------------------
// Inspection, extraction and combinators

Outcome<Ref> is_just(const MayBePayload& self) { return boolean(self.value != nullptr); }
Outcome<Ref> is_nothing(const MayBePayload& self) { return boolean(self.value == nullptr); }

Outcome<Ref> unwrap(const MayBePayload& self) {
    if (self.value != nullptr)
        return Ref::borrow(self.value);
    return Error::message(PyExc_ValueError, "Tried to unwrap a Nothing");
}

Outcome<Ref> expect(const MayBePayload& self, Text message) {
    if (self.value != nullptr)
        return Ref::borrow(self.value);
    return Error::message(PyExc_ValueError, std::string(message.text));
}

Outcome<Ref> to_option(const MayBePayload& self) { return value_or_none(self.value); }

Outcome<Ref> or_else(const MayBePayload& self, Object fallback) {
    return value_or(self.value, fallback.object);
}

Outcome<Ref> map(const MayBePayload& self, Object func) {
    if (self.value == nullptr)
        return new_instance(Ref());
    Outcome<Ref> mapped = call_function(func.object, self.value);
    if (!mapped.ok())
        return mapped;
    return new_instance(std::move(mapped.value()));
}

/// The chaining step behind `flat_map` and `>>`.
Outcome<Ref> chain(const MayBePayload& self, PyObject* func) {
    if (self.value == nullptr)
        return new_instance(Ref());
    Outcome<Ref> returned = call_function(func, self.value);
    if (!returned.ok())
        return returned;
    // `returned` keeps the instance alive while its value is read.
    Outcome<Ref> value = with_instance<MayBeClass, Ref, false, quiet>(
        returned.value().get(), [](const MayBePayload& payload) -> Outcome<Ref> {
            return payload.value != nullptr ? Ref::borrow(payload.value) : Ref();
        });
    if (!value.ok())
        return value;
    return new_instance(std::move(value.value()));
}

Outcome<Ref> flat_map(const MayBePayload& self, Object func) { return chain(self, func.object); }

Outcome<Ref> match(const MayBePayload& self, OptionalObject on_just, OptionalObject on_nothing) {
    if (self.value != nullptr)
        return on_just.object != nullptr ? call_function(on_just.object, self.value)
                                         : Outcome<Ref>(Ref::borrow(Py_None));
    return on_nothing.object != nullptr ? call_function(on_nothing.object)
                                        : Outcome<Ref>(Ref::borrow(Py_None));
}

// ---------------------------------------------------------------------------
// Pickling and copying: an instance travels as the tuple of what it holds,
// `(value,)` for a Just and `()` for Nothing, as iterating it would give.

Outcome<Ref> state_of(PyObject* self) {
    return with_instance<MayBeClass, Ref>(self, [](const MayBePayload& payload) -> Outcome<Ref> {
        return checked_new(payload.value != nullptr ? PyTuple_Pack(1, payload.value)
                                                    : PyTuple_New(0));
    });
}

Outcome<Ref> from_state(PyObject* state) {
    if (!PyTuple_Check(state))
        return wrap_argument_error(
            "state", type_mismatch_error(state, reinterpret_cast<PyObject*>(&PyTuple_Type)));
    const Py_ssize_t size = PyTuple_Size(state);
    if (size > 1)
        return Error::message(PyExc_ValueError,
                              "expected tuple of length 0 or 1, but got tuple of length " +
                                  std::to_string(size));
    return new_instance(size == 1 ? Ref::borrow(PyTuple_GetItem(state, 0)) : Ref());
}

// ---------------------------------------------------------------------------
// Text form and protocols

Outcome<Ref> repr(const MayBePayload& self) {
    if (self.value == nullptr)
        return text_object("Nothing");
    return text_around("Just(", self.value);
}

bool truth(const MayBePayload& self) { return self.value != nullptr; }
Py_ssize_t length(const MayBePayload& self) { return self.value != nullptr ? 1 : 0; }
Outcome<Ref> iterate(const MayBePayload& self) { return iterate_optional(self.value); }
Outcome<Ref> rshift(const MayBePayload& self, PyObject* func) { return chain(self, func); }
Outcome<Ref> or_value(const MayBePayload& self, PyObject* fallback) {
    return value_or(self.value, fallback);
}

// ---------------------------------------------------------------------------
// Tables

// Nothing is where the chaining members and the text form run no Python code:
// they make a fresh Nothing or a fixed text (see `with_instance`).
bool holds_nothing(const MayBePayload& self) { return self.value == nullptr; }

InternedName match_params[] = {{"just"}, {"nothing"}};

constexpr ArgSpec just_spec{"MayBe", "just", obj_params, 1};
constexpr ArgSpec expect_spec{"MayBe", "expect", message_params, 1};
constexpr ArgSpec match_spec{"MayBe", "match", match_params, 0};
constexpr ArgSpec or_else_spec{"MayBe", "or_else", default_params, 1};
constexpr ArgSpec map_spec{"MayBe", "map", func_params, 1};
constexpr ArgSpec flat_map_spec{"MayBe", "flat_map", func_params, 1};
constexpr ArgSpec getitem_spec{"MayBe", "__class_getitem__", item_params, 1};

using C = MayBeClass;
constexpr int fast = METH_FASTCALL | METH_KEYWORDS;

constexpr MethodEntry methods[] = {
    {"just", &static_fast<just_spec, just>, fast | METH_STATIC,
     "just(obj)\n--\n\nConstructeur Just"},
    {"nothing", &static_noargs<nothing>, METH_NOARGS | METH_STATIC,
     "nothing()\n--\n\nConstructeur Nothing"},
    {"is_just", &method_noargs<C, is_just, quiet>, METH_NOARGS,
     "is_just($self)\n--\n\nTrue si Just, False si Nothing"},
    {"is_nothing", &method_noargs<C, is_nothing, quiet>, METH_NOARGS,
     "is_nothing($self)\n--\n\nTrue si Nothing, False si Just"},
    {"unwrap", &method_noargs<C, unwrap, quiet>, METH_NOARGS,
     "unwrap($self)\n--\n\nUnwrap ou ValueError si Nothing"},
    {"expect", &method_fast<C, expect_spec, expect, quiet>, fast,
     "expect($self, message)\n--\n\nexpect(message) : comme unwrap mais avec message "
     "personnalisé"},
    {"to_option", &method_noargs<C, to_option, quiet>, METH_NOARGS,
     "to_option($self)\n--\n\nto_option() : retourne la valeur ou None"},
    {"match", &method_fast<C, match_spec, match>, fast,
     "match($self, just=None, nothing=None)\n--\n\nmatch(just=..., nothing=...) : pattern "
     "matching ergonomique"},
    {"or_else", &method_fast<C, or_else_spec, or_else, quiet>, fast,
     "or_else($self, default)\n--\n\nor_else(default) renvoie la valeur interne ou default"},
    {"map", &method_fast<C, map_spec, map, holds_nothing>, fast,
     "map($self, func)\n--\n\nmap(fn) : applique fn à la valeur interne et wrappe dans un "
     "nouveau MayBe"},
    {"flat_map", &method_fast<C, flat_map_spec, flat_map, holds_nothing>, fast,
     "flat_map($self, func)\n--\n\nflat_map(fn) : applique fn à la valeur et attend un MayBe "
     "en retour"},
    {"__class_getitem__", &class_fast<getitem_spec, class_itself>, fast | METH_CLASS,
     "__class_getitem__($cls, _item)\n--\n\nSupport pour MayBe[T] (typage générique)"},
};

constexpr SlotEntry slots[] = {
    {Py_tp_new, &construct},
    {Py_mp_length, &number_slot<C, Py_ssize_t, length, quiet>},
    {Py_tp_iter, &unary_slot<C, iterate, quiet>},
    {Py_nb_bool, &number_slot<C, int, truth, quiet>},
    {Py_tp_repr, &unary_slot<C, repr, holds_nothing>},
    {Py_nb_rshift, &operator_slot<C, rshift, holds_nothing>},
    {Py_nb_or, &operator_slot<C, or_value, quiet>},
};

constexpr ClassSpec maybe_spec{
    "MayBe",
    "builtins.MayBe",
    "MayBe(obj)\n--\n\n",
    Py_TPFLAGS_HAVE_GC,
    sizeof(Instance<MayBePayload>),
    methods,
    slots,
    &instance_dealloc<MayBeClass>,
    &instance_traverse<MayBeClass>,
    &take_references<MayBeClass>,
    &state_of,
    &from_state,
};

} // namespace

ClassCell maybe_cell{maybe_spec};

} // namespace tarvella
