// Algo orders: the algo service's responses are forwarded field for field as one host event each;
// its parent-order, child-order and child-trade updates become host objects, cached per
// `sys_quote_id` and posted as deep copies.
#include "adapter/adapter.hpp"
#include "host/host.hpp"
#include "sdk/sdk.hpp"

#include <span>

namespace adapter {
namespace {

// ---- responses -----------------------------------------------------------------------------------

constexpr std::size_t k_max_fields = 4;

using py::Field;

// A response kind: its event and its payload, keywords in order. Values are passed unchanged, a
// failed response (non-zero `error_code`) included: the host decides what it means.
struct Response {
    template <std::size_t K>
    constexpr Response(N kind, Field (&fields)[K]) : kind(kind), fields(fields) {
        static_assert(K <= k_max_fields);
    }
    N kind;
    std::span<const Field> fields;
    py::KwNames kwnames;
};

Field k_login_fields[] = {
    {N::req_id, py::Attr{N::client_seq_id}},
    {N::algo_account, py::Attr{N::trader_id}},
    {N::code, py::Attr{N::error_code}},
    {N::msg, py::Attr{N::error_msg}},
};
Field k_create_fields[] = {
    {N::req_id, py::Attr{N::client_seq_id}},
    {N::parent_order_id, py::Attr{N::sys_quote_id}},
    {N::code, py::Attr{N::error_code}},
    {N::msg, py::Attr{N::error_msg}},
};
Field k_cancel_fields[] = {
    {N::parent_order_id, py::Attr{N::sys_quote_id}},
    {N::code, py::Attr{N::error_code}},
    {N::msg, py::Attr{N::error_msg}},
};
// Pause and resume answers carry the same fields.
Field k_control_fields[] = {
    {N::parent_order_id, py::Attr{N::sys_quote_id}},
    {N::code, py::Attr{N::error_code}},
    {N::msg, py::Attr{N::error_msg}},
};

Response k_login{N::ALGO_LOGIN, k_login_fields};
Response k_create{N::PARENT_ORDER_CREATE, k_create_fields};
Response k_cancel{N::PARENT_ORDER_CANCEL, k_cancel_fields};
Response k_pause{N::PARENT_ORDER_PAUSE, k_control_fields};
Response k_resume{N::PARENT_ORDER_RESUME, k_control_fields};

py::Attr k_control_type{N::control_type};

// `event_queue.append(Event(EVENT.<kind>, keyword=record.attribute, ...))`, each value read right
// after the previous one, in table order.
void forward(const Response& response, PyObject* record) {
    host::Post post(response.kind);
    py::Ref owned[k_max_fields];
    PyObject* values[k_max_fields];
    std::size_t n = 0;
    for (const Field& field : response.fields) {
        owned[n] = field.attr(record);
        values[n] = owned[n].get();
        ++n;
    }
    post(response.kwnames.get(response.fields, &Field::key), std::span(values, n));
}

// `record.control_type == AlgoControlType.<member>`.
bool control_is(PyObject* record, PyObject* types, N member) {
    py::Ref type = k_control_type(record);
    py::Ref wanted = py::class_attr(types, member);
    return py::equals(type.get(), wanted.get());
}

// ---- updates -------------------------------------------------------------------------------------

// One update stream: its cache (module global, `sys_quote_id` -> host object), its host class
// (module global with `from_tovik(record, existing)`), its event and the payload keyword.
struct Stream {
    constexpr Stream(N cache, N model, N kind, N keyword) : cache(cache), model(model), kind(kind), keyword(keyword) {}
    N cache;
    N model;
    N kind;
    N keyword;
    py::Attr key{N::sys_quote_id};  // one read site per stream: each stream sees one record type
    py::KwNames kwnames;
};

Stream k_parent_orders{N::algo_parent_orders, N::AlgoParentOrder, N::PARENT_ORDER_UPDATE, N::algo_parent_order};
Stream k_child_orders{N::algo_child_orders, N::AlgoChildOrder, N::CHILD_ORDER_UPDATE, N::algo_child_order};
Stream k_child_trades{N::algo_child_trades, N::AlgoChildTrade, N::CHILD_ORDER_TRADE, N::algo_child_trade};

// The cache is updated before the event is built, so when the host sees an update the cache
// already holds the object it was copied from; the event carries a deep copy, so nothing the next
// update does to the cached object reaches an event already posted.
void update(Stream& stream, PyObject* record) {
    // 1-2. The object cached for the record's key, or None.
    py::Ref existing = py::none();
    py::Ref key = stream.key(record);
    if (py::contains(py::global(stream.cache).get(), key.get())) {
        py::Ref cache = py::global(stream.cache);
        py::Ref key_again = stream.key(record);
        existing = py::get_or_none(cache.get(), key_again.get());
    }
    // 3. The host object for this record.
    py::Ref model = py::global(stream.model);
    py::Ref obj = py::call_method(model.get(), N::from_tovik, {record, existing.get()});
    // 4. Cached under the record's key, replacing any earlier entry.
    py::Ref cache = py::global(stream.cache);
    py::Ref store_key = stream.key(record);
    py::setitem(cache.get(), store_key.get(), obj.get());
    // 5-6. Posted as a deep copy made now.
    host::Post post(stream.kind);
    py::Ref copy = host::deep_copy(obj.get());
    PyObject* payload[] = {copy.get()};
    post(stream.kwnames.get(std::span(&stream.keyword, 1)), payload);
}

}  // namespace

py::Ref on_algo_login(PyObject* const* args) {
    forward(k_login, args[1]);
    return py::none();
}

py::Ref on_create_algo_parent_order_res(PyObject* const* args) {
    forward(k_create, args[1]);
    return py::none();
}

py::Ref on_cancel_algo_parent_order_res(PyObject* const* args) {
    forward(k_cancel, args[1]);
    return py::none();
}

// Pause and resume answers are forwarded; any other control type is dropped silently.
py::Ref on_control_algo_parent_order_res(PyObject* const* args) {
    PyObject* record = args[1];
    py::Ref types = sdk::control_types();
    if (control_is(record, types.get(), N::Pause)) {
        forward(k_pause, record);
    } else if (control_is(record, types.get(), N::Resume)) {
        forward(k_resume, record);
    }
    return py::none();
}

py::Ref on_algo_parent_order_update(PyObject* const* args) {
    update(k_parent_orders, args[1]);
    return py::none();
}

py::Ref on_algo_child_order_update(PyObject* const* args) {
    update(k_child_orders, args[1]);
    return py::none();
}

py::Ref on_algo_child_order_trade(PyObject* const* args) {
    update(k_child_trades, args[1]);
    return py::none();
}

}  // namespace adapter
