// `Result`: Ok holding a value, or Err holding a message, an optional code
// and optional details.
#pragma once

#include "module.hpp"

#include <optional>
#include <string_view>

namespace tarvella {

/// Message and optional code of an Err, kept in one block so that an Err
/// costs at most one allocation beyond its instance. The block never changes
/// once written, so the copies that transforming members make share it.
struct ErrTexts {
    static constexpr std::size_t no_code = ~std::size_t(0);
    std::atomic<std::size_t> shares;
    std::size_t message_size;
    std::size_t code_size;

    const char* bytes() const { return reinterpret_cast<const char*>(this + 1); }
    std::string_view message() const { return {bytes(), message_size}; }
    std::optional<std::string_view> code() const {
        if (code_size == no_code)
            return std::nullopt;
        return std::string_view(bytes() + message_size, code_size);
    }
};

/// The payload inside an instance. Ok: `value` only. Err: `texts`, and
/// `details` when given (which may then be `None`, from the dictionary form).
struct ResultPayload {
    PyObject* value;
    PyObject* details;
    ErrTexts* texts;
};

struct ResultClass {
    using Payload = ResultPayload;
    static ClassCell& cell() { return result_cell; }
    static PyObject* type() { return require_class_object(result_cell); }
    /// Every constructor stores exactly one of a value and a message.
    static bool initialised(const ResultPayload& payload) {
        return payload.value != nullptr || payload.texts != nullptr;
    }
    /// The object that members hand to user code borrowed from the payload
    /// (see `hold_while_running`): an Ok's value or an Err's details (its
    /// message and code go out as new `str` objects). Members read the
    /// payload only before that code runs.
    static PyObject* handed_out(const ResultPayload& payload) {
        return payload.value != nullptr ? payload.value : payload.details;
    }
    /// Moves the references out (`held[0..1]`) and drops the texts; `Clear`
    /// false leaves the fields as they were, for an instance being freed.
    template <bool Clear = true>
    static void take_references(ResultPayload& payload, PyObject** held);
    static int traverse(const ResultPayload& payload, visitproc visit, void* arg) {
        if (payload.value != nullptr)
            if (int stop = visit(payload.value, arg))
                return stop;
        return payload.details != nullptr ? visit(payload.details, arg) : 0;
    }
};

} // namespace tarvella
