// Bars: one bar dictionary per bar, kept in the code's unbounded history, and one BAR event each
// time a run of consecutive bars with one end time reaches the size of the host's universe. The
// run is counted across instruments, in the adapter's `bar_cnt`, for the bar time it keeps in
// `current_trade_dt` (0 before the first bar).
#include "host/host.hpp"
#include "marketdata/marketdata.hpp"
#include "py/dict.hpp"

namespace marketdata {
namespace {

using py::Field;

// The bar dictionary after "market_code" and "orig_time", in key order: key, bar attribute.
constexpr Field k_fields[] = {
    {N::open_price, N::open},       {N::close_price, N::close},
    {N::high_price, N::high},       {N::low_price, N::low},
    {N::total_turnover, N::amount}, {N::volume, N::volume},
    {N::prev_close, N::prev_close},
};
constexpr std::size_t k_field_count = sizeof(k_fields) / sizeof(k_fields[0]);

// Counts the bar into the current run, or starts a new run with it, then keeps its bar time.
// Each use of the bar time divides `end_time` afresh.
void count(PyObject* self, PyObject* bar) {
    py::Ref current = TDT_GET(self, N::current_trade_dt);
    py::Ref zero = py::integer(0);
    bool same_run = py::equals(current.get(), zero.get());  // no bar yet: the first bar counts
    if (!same_run) {
        py::Ref bar_time = host::seconds(TDT_GET(bar, N::end_time).get());
        same_run = py::equals(current.get(), bar_time.get());
    }
    py::Ref one = py::integer(1);
    py::Ref cnt;
    if (same_run) {
        py::Ref previous = TDT_GET(self, N::bar_cnt);
        cnt = py::Ref::steal_or_raise(PyNumber_Add(previous.get(), one.get()));
    } else {
        cnt = std::move(one);
    }
    TDT_SET(self, N::bar_cnt, cnt.get());

    py::Ref bar_time = host::seconds(TDT_GET(bar, N::end_time).get());
    TDT_SET(self, N::current_trade_dt, bar_time.get());
}

// True when the run has reached the size of the universe, which is read afresh for every bar.
bool run_complete(PyObject* self) {
    py::Ref env = host::environment();
    py::Ref universe = py::call_method(env.get(), N::get_universe);
    Py_ssize_t n = PyObject_Size(universe.get());
    if (n < 0) py::raise();
    py::Ref size = py::integer(n);
    py::Ref cnt = TDT_GET(self, N::bar_cnt);
    return py::equals(size.get(), cnt.get());
}

}  // namespace

py::Ref on_bar(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* bar = args[1];
    static const py::Reads fields{k_fields};
    py::Ref code = host::market_code(bar, TDT_SITE(N::security_id), TDT_SITE(N::market_type));

    py::Ref orig_time = host::record_time([&] { return TDT_GET(bar, N::end_time); });
    py::Ref values[k_field_count];
    py::read_fields(bar, fields, values);
    static const py::DictShape bar_shape{{N::market_code, N::orig_time}, k_fields};
    py::Ref bar_dict = bar_shape.build({code.get(), orig_time.get()}, values);

    keep(N::history_bar, code.get(), bar_dict.get(), nullptr);
    count(self, bar);
    if (!run_complete(self)) return py::none();

    // The event is dated by the whole second of the stored bar time; the run then starts again.
    py::Ref to_date = py::global(N::convert_int_to_whole_date);
    py::Ref current = TDT_GET(self, N::current_trade_dt);
    py::Ref whole = py::Ref::steal_or_raise(PyNumber_Long(current.get()));
    py::Ref date = py::call(to_date.get(), {whole.get()});
    host::Post post(N::BAR);
    post(py::Kw<N::calendar_dt, N::trading_dt>{}, {date.get(), date.get()});
    TDT_SET(self, N::bar_cnt, py::integer(0).get());
    return py::none();
}

}  // namespace marketdata
