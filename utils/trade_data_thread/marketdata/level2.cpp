// Level-2 orders and trades: each record becomes one L2Order or L2Transaction, posted as one
// L2_ORDER or L2_TRANSACTION event. Character-coded fields reach the host converters as chr(code).
#include "host/host.hpp"
#include "marketdata/marketdata.hpp"
#include "sdk/sdk.hpp"

namespace marketdata {
namespace {

// `converter(chr(record.<code>), record.market_type)`, or `converter(chr(record.<code>))` without
// the market type: the converter (a module global) first, then the arguments in order, as the call
// is written. One instantiation per call, so each has its own read sites.
template <N converter, N code, bool with_market_type = true>
py::Ref convert_code(PyObject* record) {
    py::Ref fn = py::global(converter);
    py::Ref ch = sdk::character(TDT_GET(record, code).get());
    if constexpr (with_market_type) return py::call(fn.get(), {ch.get(), TDT_GET(record, N::market_type).get()});
    return py::call(fn.get(), {ch.get()});
}

}  // namespace

py::Ref on_tick_order(PyObject* const* args) {
    PyObject* rec = args[1];
    py::Ref dt = host::record_time([&] { return TDT_GET(rec, N::order_time); });
    py::Ref code = host::market_code(rec, TDT_SITE(N::security_id), TDT_SITE(N::market_type));
    py::Ref side = convert_code<N::get_side_from_tovik_l2_order, N::side>(rec);

    py::Bound from_create = TDT_CLASS_BIND(py::global(N::L2Order).get(), N::dunder_from_create);
    py::Ref l2_order = from_create({TDT_GET(rec, N::biz_index).get(), code.get(), dt.get(), side.get(),
                                    TDT_GET(rec, N::order_price).get(), TDT_GET(rec, N::order_volume).get(),
                                    convert_code<N::get_order_type_from_tovik_l2_order, N::order_type>(rec).get(),
                                    TDT_GET(rec, N::orig_order_no).get(),
                                    convert_code<N::get_l2order_type_from_tovik, N::order_type>(rec).get()});

    host::Post post(N::L2_ORDER);
    post(py::Kw<N::calendar_dt, N::trading_dt, N::l2_order>{}, {dt.get(), dt.get(), l2_order.get()});
    return py::none();
}

py::Ref on_tick_trade(PyObject* const* args) {
    PyObject* rec = args[1];
    py::Ref dt = host::record_time([&] { return TDT_GET(rec, N::trade_time); });
    py::Ref code = host::market_code(rec, TDT_SITE(N::security_id), TDT_SITE(N::market_type));

    // The later order is the aggressor: a later bid (`bid > offer`) makes a buy; equal counts as a sell.
    py::Ref bid_seq = TDT_GET(rec, N::bid_appl_seq_num);
    py::Ref offer_seq = TDT_GET(rec, N::offer_appl_seq_num);
    bool buy = py::compare(bid_seq.get(), offer_seq.get(), Py_GT);
    py::Ref side = TDT_MEMBER(N::SIDE, buy ? N::BUY : N::SELL);

    py::Bound from_create = TDT_CLASS_BIND(py::global(N::L2Transaction).get(), N::dunder_from_create);
    py::Ref l2_transaction =
        from_create({TDT_GET(rec, N::biz_index).get(), code.get(), dt.get(), side.get(),
                     TDT_GET(rec, N::trade_price).get(), TDT_GET(rec, N::trade_volume).get(),
                     TDT_GET(rec, N::value_trade).get(),
                     convert_code<N::get_trade_type_from_tovik, N::trade_type, false>(rec).get(),
                     TDT_GET(rec, N::bid_appl_seq_num).get(), TDT_GET(rec, N::offer_appl_seq_num).get()});

    host::Post post(N::L2_TRANSACTION);
    post(py::Kw<N::calendar_dt, N::trading_dt, N::l2_transaction>{}, {dt.get(), dt.get(), l2_transaction.get()});
    return py::none();
}

}  // namespace marketdata
