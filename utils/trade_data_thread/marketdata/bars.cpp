// Bars: one bar dictionary per bar, kept in the code's unbounded history, and one BAR event each
// time a run of consecutive bars with one end time reaches the size of the host's universe. The
// run is counted across instruments, in the adapter's `bar_cnt`, for the bar time it keeps in
// `current_trade_dt` (0 before the first bar).
#include "host/host.hpp"
#include "marketdata/marketdata.hpp"

namespace marketdata {
namespace {

using py::Field;

// The bar dictionary after "market_code" and "orig_time", in key order: key, bar attribute.
Field k_fields[] = {
    {N::open_price, py::Attr{N::open}},       {N::close_price, py::Attr{N::close}},
    {N::high_price, py::Attr{N::high}},       {N::low_price, py::Attr{N::low}},
    {N::total_turnover, py::Attr{N::amount}}, {N::volume, py::Attr{N::volume}},
    {N::prev_close, py::Attr{N::prev_close}},
};
constexpr Py_ssize_t k_dict_size = 2 + sizeof(k_fields) / sizeof(k_fields[0]);

py::Attr k_security_id{N::security_id};
py::Attr k_market_type{N::market_type};
py::Attr k_end_time{N::end_time};          // converted for "orig_time"
py::Attr k_end_time_run{N::end_time};      // compared with current_trade_dt
py::Attr k_end_time_current{N::end_time};  // stored into current_trade_dt

// The adapter's run counter, read and written through one site each.
py::Attr k_bar_cnt{N::bar_cnt};
py::Attr k_current_trade_dt{N::current_trade_dt};

// Counts the bar into the current run, or starts a new run with it, then keeps its bar time.
// Each use of the bar time divides `end_time` afresh.
void count(PyObject* self, PyObject* bar) {
    py::Ref current = k_current_trade_dt(self);
    py::Ref zero = py::integer(0);
    bool same_run = py::equals(current.get(), zero.get());  // no bar yet: the first bar counts
    if (!same_run) {
        py::Ref end_time = k_end_time_run(bar);
        py::Ref bar_time = host::seconds(end_time.get());
        same_run = py::equals(current.get(), bar_time.get());
    }
    py::Ref one = py::integer(1);
    py::Ref cnt;
    if (same_run) {
        py::Ref previous = k_bar_cnt(self);
        cnt = py::Ref::steal(PyNumber_Add(previous.get(), one.get()));
    } else {
        cnt = std::move(one);
    }
    k_bar_cnt.set(self, cnt.get());

    py::Ref end_time = k_end_time_current(bar);
    py::Ref bar_time = host::seconds(end_time.get());
    k_current_trade_dt.set(self, bar_time.get());
}

// True when the run has reached the size of the universe, which is read afresh for every bar.
bool run_complete(PyObject* self) {
    py::Ref env = host::environment();
    py::Ref universe = py::call_method(env.get(), N::get_universe);
    Py_ssize_t n = PyObject_Size(universe.get());
    if (n < 0) py::raise();
    py::Ref size = py::integer(n);
    py::Ref cnt = k_bar_cnt(self);
    return py::equals(size.get(), cnt.get());
}

}  // namespace

py::Ref on_bar(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* bar = args[1];
    py::Ref code = host::market_code(bar, k_security_id, k_market_type);

    py::Ref bar_dict = py::Ref::steal(_PyDict_NewPresized(k_dict_size));
    py::check(PyDict_SetItem(bar_dict.get(), py::name(N::market_code), code.get()));
    py::Ref orig_time = host::record_time(k_end_time(bar).get());
    py::check(PyDict_SetItem(bar_dict.get(), py::name(N::orig_time), orig_time.get()));
    py::copy_fields(bar_dict.get(), bar, k_fields);

    keep(N::history_bar, code.get(), bar_dict.get(), nullptr);
    count(self, bar);
    if (!run_complete(self)) return py::none();

    // The event is dated by the whole second of the stored bar time; the run then starts again.
    py::Ref to_date = py::global(N::convert_int_to_whole_date);
    py::Ref current = k_current_trade_dt(self);
    py::Ref whole = py::Ref::steal(PyNumber_Long(current.get()));
    py::Ref date = py::call(to_date.get(), {whole.get()});
    host::Post post(N::BAR);
    post(py::Kw<N::calendar_dt, N::trading_dt>{}, {date.get(), date.get()});
    py::Ref zero = py::integer(0);
    k_bar_cnt.set(self, zero.get());
    return py::none();
}

}  // namespace marketdata
