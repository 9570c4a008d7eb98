// Snapshots: one tick dictionary per snapshot, kept in the code's ring of the newest 60, and one
// TICK event carrying a TickObject built from that same dictionary.
#include "host/host.hpp"
#include "marketdata/marketdata.hpp"
#include "py/dict.hpp"

namespace marketdata {
namespace {

constexpr Py_ssize_t k_ring_size = 60;

using py::Field;

// The tick dictionary after "market_code" and "datetime", in key order: key, snapshot attribute.
constexpr Field k_fields[] = {
    {N::open_price, N::open_price},
    {N::close_price, N::close_price},
    {N::high_price, N::high_price},
    {N::low_price, N::low_price},
    {N::total_turnover, N::total_value_trade},
    {N::volume, N::total_volume_trade},
    {N::prev_close, N::pre_close_price},
    {N::ask_vols, N::ask_volume},
    {N::asks, N::ask_price},
    {N::bid_vols, N::bid_volume},
    {N::bids, N::bid_price},
    {N::high_limited, N::high_limited},
    {N::last_price, N::last_price},
    {N::low_limited, N::low_limited},
    {N::open_interest, N::open_interest},
    {N::prev_settlement, N::prev_settlement},
    {N::iopv, N::iopv},
    {N::trading_phase_code, N::trading_phase_code},
};
constexpr std::size_t k_field_count = sizeof(k_fields) / sizeof(k_fields[0]);

}  // namespace

// The buffer helper the tick and bar histories share.
void keep(N history_name, PyObject* code, PyObject* record, PyObject* maxlen) {
    py::Ref history = py::global(history_name);
    py::Ref buffer;
    // For the history's own dict and a str code, one lookup is the membership test and the fetch.
    if (PyDict_CheckExact(history.get()) && PyUnicode_CheckExact(code)) {
        buffer = py::Ref::borrow_or_empty(PyDict_GetItemWithError(history.get(), code));
        if (!buffer && PyErr_Occurred()) py::raise();
    }
    if (!buffer) {
        if (!py::contains(history.get(), code)) {
            py::Ref deque = py::global(N::deque);
            py::Ref fresh = maxlen ? py::call(deque.get(), {}, py::Kw<N::maxlen>{}, {maxlen}) : py::call(deque.get());
            py::setitem(history.get(), code, fresh.get());
        }
        buffer = py::getitem(history.get(), code);
    }
    static const py::Method k_append{N::append};
    k_append(buffer.get(), {record});
}

py::Ref on_snapshot(PyObject* const* args) {
    PyObject* snapshot = args[1];
    static const py::Reads fields{k_fields};
    py::Ref dt = host::record_time([&] { return TDT_GET(snapshot, N::orig_time); });
    py::Ref code = host::market_code(snapshot, TDT_SITE(N::security_id), TDT_SITE(N::market_type));

    py::Ref values[k_field_count];
    py::read_fields(snapshot, fields, values);
    static const py::DictShape tick_shape{{N::market_code, N::datetime}, k_fields};
    py::Ref tick = tick_shape.build({code.get(), dt.get()}, values);

    keep(N::history_tick, code.get(), tick.get(), py::integer(k_ring_size).get());

    host::Post post(N::TICK);
    py::Ref tick_cls = py::global(N::TickObject);
    py::Ref env = host::environment();
    py::Ref proxy = TDT_GET(env.get(), N::data_proxy);
    py::Ref instrument = py::call_method(proxy.get(), N::instruments, {code.get()});
    static const py::New new_tick;
    py::Ref tick_obj = new_tick(tick_cls.get(), {instrument.get(), tick.get()});
    post(py::Kw<N::calendar_dt, N::trading_dt, N::tick>{}, {dt.get(), dt.get(), tick_obj.get()});
    return py::none();
}

}  // namespace marketdata
