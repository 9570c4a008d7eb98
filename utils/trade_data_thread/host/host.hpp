// How we talk to the host framework: events, market codes, record times, logging, deep copies.
// Every host name is a module global read at its use, so the host may rebind any of them.
#pragma once

#include "py/attr.hpp"
#include "py/call.hpp"
#include "py/text.hpp"

namespace host {

// Posts one host event: `event_queue.append(Event(EVENT.<kind>, **payload))`.
// The queue, `Event` and the `EVENT` member are taken first, as the statement would; the event is
// built whole before the one append, so it is posted whole or not at all.
class Post {
public:
    explicit Post(N kind);
    // For an event type given as an object (an `EVENT` member the caller already holds).
    explicit Post(PyObject* kind);
    template <N... Ks>
    void operator()(py::Kw<Ks...>, std::initializer_list<PyObject*> payload) const {
        (*this)(py::Kw<Ks...>::names(), {payload.begin(), payload.size()});
    }
    // The same with keywords given as data: `kwnames` (from a `py::KwNames`) names `payload`.
    void operator()(PyObject* kwnames, std::span<PyObject* const> payload) const;

private:
    py::Ref queue_, event_cls_, kind_;
};

// `security_id + "." + get_exchane_from_tovik_mdtype(market_type)`, reading the two record
// attributes through the caller's sites, in that order.
py::Ref market_code(PyObject* record, const py::Attr& security_id, const py::Attr& market_type);

// A record time in seconds: the SDK's millisecond value divided by 1000 (true division).
py::Ref seconds(PyObject* millis);
// `convert_int_to_datetime(millis / 1000)`.
py::Ref record_time(PyObject* millis);

// `Environment.get_instance()`.
py::Ref environment();
// The host account for a market code: `Environment.get_instance().get_account(market_code)`.
py::Ref account_for(PyObject* market_code);

// `copy.deepcopy(obj)`.
py::Ref deep_copy(PyObject* obj);

// `system_log.info(text)` and `user_system_log.warning(text)`. The module does not import
// `user_system_log`: it is found when a warning is written (a module global, a builtin, else the
// host's logger module's), and NameError if there is none.
void log_info(const py::Text& text);
void log_warning(const py::Text& text);

}  // namespace host
