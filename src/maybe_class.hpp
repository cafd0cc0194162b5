// `MayBe`: Just holding a value, or Nothing.
#pragma once

#include "module.hpp"

namespace tarvella {

/// The payload inside an instance: the value of a Just, null for Nothing.
struct MayBePayload {
    PyObject* value;
};

struct MayBeClass {
    using Payload = MayBePayload;
    static ClassCell& cell() { return maybe_cell; }
    static PyObject* type() { return require_class_object(maybe_cell); }
    /// An empty payload is Nothing: every state is a valid one.
    static constexpr bool initialised(const MayBePayload&) { return true; }
    /// The object that members hand to user code borrowed from the payload
    /// (see `hold_while_running`); they read the payload only before that
    /// code runs.
    static PyObject* handed_out(const MayBePayload& payload) { return payload.value; }
    template <bool Clear = true>
    static void take_references(MayBePayload& payload, PyObject** held);
    static int traverse(const MayBePayload& payload, visitproc visit, void* arg) {
        return payload.value != nullptr ? visit(payload.value, arg) : 0;
    }
};

} // namespace tarvella
