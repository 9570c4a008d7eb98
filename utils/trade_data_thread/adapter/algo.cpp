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
    N kind;
    std::span<const Field> fields;
    py::KwNames kwnames;
};

constexpr Field k_login_fields[] = {
    {N::req_id, N::client_seq_id},
    {N::algo_account, N::trader_id},
    {N::code, N::error_code},
    {N::msg, N::error_msg},
};
constexpr Field k_create_fields[] = {
    {N::req_id, N::client_seq_id},
    {N::parent_order_id, N::sys_quote_id},
    {N::code, N::error_code},
    {N::msg, N::error_msg},
};
constexpr Field k_cancel_fields[] = {
    {N::parent_order_id, N::sys_quote_id},
    {N::code, N::error_code},
    {N::msg, N::error_msg},
};
// Pause and resume answers carry the same fields.
constexpr Field k_control_fields[] = {
    {N::parent_order_id, N::sys_quote_id},
    {N::code, N::error_code},
    {N::msg, N::error_msg},
};

Response k_login{N::ALGO_LOGIN, k_login_fields, {}};
Response k_create{N::PARENT_ORDER_CREATE, k_create_fields, {}};
Response k_cancel{N::PARENT_ORDER_CANCEL, k_cancel_fields, {}};
Response k_pause{N::PARENT_ORDER_PAUSE, k_control_fields, {}};
Response k_resume{N::PARENT_ORDER_RESUME, k_control_fields, {}};

// `event_queue.append(Event(EVENT.<kind>, keyword=record.attribute, ...))`, each value read right
// after the previous one, in table order, through the caller's read sites for that table.
template <std::size_t K>
void forward(const Response& response, const py::Reads<K>& reads, PyObject* record) {
    static_assert(K <= k_max_fields);
    host::Post post(response.kind);
    py::Ref owned[K];
    PyObject* values[K];
    for (std::size_t i = 0; i < K; ++i) {
        owned[i] = reads[i](record);
        values[i] = owned[i].get();
    }
    post(response.kwnames.get(response.fields, &Field::key), std::span(values, K));
}

// `record.control_type == AlgoControlType.<member>`.
bool control_is(PyObject* record, PyObject* types, N member) {
    py::Ref type = TDT_GET(record, N::control_type);
    py::Ref wanted = TDT_CLASS_ATTR(types, member);
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
    py::KwNames kwnames;
};

Stream k_parent_orders{N::algo_parent_orders, N::AlgoParentOrder, N::PARENT_ORDER_UPDATE, N::algo_parent_order};
Stream k_child_orders{N::algo_child_orders, N::AlgoChildOrder, N::CHILD_ORDER_UPDATE, N::algo_child_order};
Stream k_child_trades{N::algo_child_trades, N::AlgoChildTrade, N::CHILD_ORDER_TRADE, N::algo_child_trade};

// `cache.get(<key>)`: `get` is found before `key()` reads the key, as the call is written. A plain
// dict's `get` is its own, found without running any code.
template <class Key>
py::Ref cached(PyObject* cache, Key key) {
    if (PyDict_CheckExact(cache)) return py::get_or_none(cache, key().get());
    py::Bound get = py::bind_method(cache, N::get);
    return get({key().get()});
}

// The cache is updated before the event is built, so when the host sees an update the cache
// already holds the object it was copied from; the event carries a deep copy, so nothing the next
// update does to the cached object reaches an event already posted. One instantiation per stream,
// so each stream's records have read sites of their own.
template <Stream& stream>
void update(PyObject* record) {
    // 1-2. The object cached for the record's key, or None.
    py::Ref existing = py::none();
    py::Ref key = TDT_GET(record, N::sys_quote_id);
    if (py::contains(py::global(stream.cache).get(), key.get())) {
        py::Ref cache = py::global(stream.cache);
        existing = cached(cache.get(), [&] { return TDT_GET(record, N::sys_quote_id); });
    }
    // 3. The host object for this record.
    py::Ref model = py::global(stream.model);
    py::Ref obj = py::call_method(model.get(), N::from_tovik, {record, existing.get()});
    // 4. Cached under the record's key, replacing any earlier entry.
    py::Ref cache = py::global(stream.cache);
    py::setitem(cache.get(), TDT_GET(record, N::sys_quote_id).get(), obj.get());
    // 5-6. Posted as a deep copy made now.
    host::Post post(stream.kind);
    py::Ref copy = host::deep_copy(obj.get());
    PyObject* payload[] = {copy.get()};
    post(stream.kwnames.get(std::span(&stream.keyword, 1)), payload);
}

}  // namespace

py::Ref on_algo_login(PyObject* const* args) {
    static const py::Reads reads{k_login_fields};
    forward(k_login, reads, args[1]);
    return py::none();
}

py::Ref on_create_algo_parent_order_res(PyObject* const* args) {
    static const py::Reads reads{k_create_fields};
    forward(k_create, reads, args[1]);
    return py::none();
}

py::Ref on_cancel_algo_parent_order_res(PyObject* const* args) {
    static const py::Reads reads{k_cancel_fields};
    forward(k_cancel, reads, args[1]);
    return py::none();
}

// Pause and resume answers are forwarded; any other control type is dropped silently.
py::Ref on_control_algo_parent_order_res(PyObject* const* args) {
    PyObject* record = args[1];
    static const py::Reads pause_reads{k_control_fields}, resume_reads{k_control_fields};
    py::Ref types = sdk::control_types();
    if (control_is(record, types.get(), N::Pause)) {
        forward(k_pause, pause_reads, record);
    } else if (control_is(record, types.get(), N::Resume)) {
        forward(k_resume, resume_reads, record);
    }
    return py::none();
}

py::Ref on_algo_parent_order_update(PyObject* const* args) {
    update<k_parent_orders>(args[1]);
    return py::none();
}

py::Ref on_algo_child_order_update(PyObject* const* args) {
    update<k_child_orders>(args[1]);
    return py::none();
}

py::Ref on_algo_child_order_trade(PyObject* const* args) {
    update<k_child_trades>(args[1]);
    return py::none();
}

}  // namespace adapter
