// How we talk to the host framework: events, market codes, record times, logging, deep copies.
// Every host name is a module global read at its use, so the host may rebind any of them.
#pragma once

#include "py/attr.hpp"
#include "py/call.hpp"
#include "py/text.hpp"

#include <utility>

namespace host {

// Posts one host event: `event_queue.append(Event(EVENT.<kind>, **payload))`.
// The queue's `append`, `Event` and the `EVENT` member are taken first, as the statement would; the
// event is built whole before the one append, so it is posted whole or not at all.
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
    py::Bound append_;
    py::Ref event_cls_, kind_;
};

// `security_id + "." + get_exchane_from_tovik_mdtype(market_type)`, reading the two record
// attributes through the caller's sites, in that order.
py::Ref market_code(PyObject* record, const py::Attr& security_id, const py::Attr& market_type);

// A record time in seconds: the SDK's millisecond value divided by 1000 (true division).
py::Ref seconds(PyObject* millis);
// `convert_int_to_datetime(<millis> / 1000)`: the converter is taken first, then `millis()` reads
// the record's time, as the call is written.
template <class Millis>
py::Ref record_time(Millis millis) {
    py::Ref converter = py::global(N::convert_int_to_datetime);
    py::Ref secs = seconds(millis().get());
    return py::call(converter.get(), {secs.get()});
}

// `Environment.get_instance()`.
py::Ref environment();
// The host account for a market code: `Environment.get_instance().get_account(<market_code>)`,
// with `market_code()` reading the code once `get_account` has been found.
template <class MarketCode>
py::Ref account_for(MarketCode market_code) {
    py::Bound get_account = py::bind_method(environment().get(), N::get_account);
    return get_account({market_code().get()});
}

// `copy.deepcopy(obj)`.
py::Ref deep_copy(PyObject* obj);

// One log line, `logger.<level>(f"...")`: the logger and its method are taken when the line is
// started, before any of its values is read or formatted; each piece is formatted as it is added,
// and `write` hands the line over.
class LogLine {
public:
    LogLine& lit(const py::Literal& literal) {
        text_.lit(literal);
        return *this;
    }
    LogLine& val(PyObject* value) {
        text_.val(value);
        return *this;
    }
    void write() const;

private:
    friend LogLine log_info();
    friend LogLine log_warning();
    explicit LogLine(py::Bound method) noexcept : method_(std::move(method)) {}
    py::Bound method_;
    py::Text text_;
};

// A line for `system_log.info`, and one for `user_system_log.warning`. The module does not import
// `user_system_log`: it is found when a warning is started (a module global, a builtin, else the
// host's logger module's), and NameError if there is none.
LogLine log_info();
LogLine log_warning();

}  // namespace host
