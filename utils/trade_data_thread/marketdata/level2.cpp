// Level-2 orders and trades: each record becomes one L2Order or L2Transaction, posted as one
// L2_ORDER or L2_TRANSACTION event. Character-coded fields reach the host converters as chr(code).
#include "host/host.hpp"
#include "marketdata/marketdata.hpp"
#include "sdk/sdk.hpp"

namespace marketdata {
namespace {

// converter(chr(record.<code>), record.market_type), or converter(chr(record.<code>)) when no
// market-type site is given; in Python's evaluation order.
py::Ref convert_code(N converter, PyObject* record, const py::Attr& code, const py::Attr* market_type = nullptr) {
    py::Ref fn = py::global(converter);
    py::Ref raw = code(record);
    py::Ref ch = sdk::character(raw.get());
    if (!market_type) return py::call(fn.get(), {ch.get()});
    py::Ref type = (*market_type)(record);
    return py::call(fn.get(), {ch.get(), type.get()});
}

// One site per read, in read order.
namespace order {
py::Attr order_time{N::order_time}, security_id{N::security_id}, market_type{N::market_type};
py::Attr side{N::side}, side_market_type{N::market_type};
py::Attr biz_index{N::biz_index}, order_price{N::order_price}, order_volume{N::order_volume};
py::Attr order_type{N::order_type}, order_type_market_type{N::market_type};
py::Attr orig_order_no{N::orig_order_no};
py::Attr l2_order_type{N::order_type}, l2_order_type_market_type{N::market_type};
}  // namespace order

namespace trade {
py::Attr trade_time{N::trade_time}, security_id{N::security_id}, market_type{N::market_type};
py::Attr side_bid{N::bid_appl_seq_num}, side_offer{N::offer_appl_seq_num};
py::Attr biz_index{N::biz_index}, trade_price{N::trade_price}, trade_volume{N::trade_volume};
py::Attr value_trade{N::value_trade}, trade_type{N::trade_type};
py::Attr bid{N::bid_appl_seq_num}, offer{N::offer_appl_seq_num};
}  // namespace trade

}  // namespace

py::Ref on_tick_order(PyObject* const* args) {
    PyObject* rec = args[1];
    py::Ref dt = host::record_time(order::order_time(rec).get());
    py::Ref code = host::market_code(rec, order::security_id, order::market_type);
    py::Ref side = convert_code(N::get_side_from_tovik_l2_order, rec, order::side, &order::side_market_type);

    py::Ref cls = py::global(N::L2Order);
    py::Ref biz_index = order::biz_index(rec);
    py::Ref price = order::order_price(rec);
    py::Ref volume = order::order_volume(rec);
    py::Ref order_type = convert_code(N::get_order_type_from_tovik_l2_order, rec, order::order_type,
                                      &order::order_type_market_type);
    py::Ref order_no = order::orig_order_no(rec);
    py::Ref l2_order_type = convert_code(N::get_l2order_type_from_tovik, rec, order::l2_order_type,
                                         &order::l2_order_type_market_type);
    py::Ref l2_order = py::call_method(cls.get(), N::dunder_from_create,
                                       {biz_index.get(), code.get(), dt.get(), side.get(), price.get(), volume.get(),
                                        order_type.get(), order_no.get(), l2_order_type.get()});

    host::Post post(N::L2_ORDER);
    post(py::Kw<N::calendar_dt, N::trading_dt, N::l2_order>{}, {dt.get(), dt.get(), l2_order.get()});
    return py::none();
}

py::Ref on_tick_trade(PyObject* const* args) {
    PyObject* rec = args[1];
    py::Ref dt = host::record_time(trade::trade_time(rec).get());
    py::Ref code = host::market_code(rec, trade::security_id, trade::market_type);

    // The later order is the aggressor: a later bid (`bid > offer`) makes a buy; equal counts as a sell.
    py::Ref bid_seq = trade::side_bid(rec);
    py::Ref offer_seq = trade::side_offer(rec);
    bool buy = py::compare(bid_seq.get(), offer_seq.get(), Py_GT);
    py::Ref side = py::member_of(N::SIDE, buy ? N::BUY : N::SELL);

    py::Ref cls = py::global(N::L2Transaction);
    py::Ref biz_index = trade::biz_index(rec);
    py::Ref price = trade::trade_price(rec);
    py::Ref volume = trade::trade_volume(rec);
    py::Ref value = trade::value_trade(rec);
    py::Ref trade_type = convert_code(N::get_trade_type_from_tovik, rec, trade::trade_type);
    py::Ref bid = trade::bid(rec);
    py::Ref offer = trade::offer(rec);
    py::Ref l2_transaction = py::call_method(cls.get(), N::dunder_from_create,
                                             {biz_index.get(), code.get(), dt.get(), side.get(), price.get(),
                                              volume.get(), value.get(), trade_type.get(), bid.get(), offer.get()});

    host::Post post(N::L2_TRANSACTION);
    post(py::Kw<N::calendar_dt, N::trading_dt, N::l2_transaction>{}, {dt.get(), dt.get(), l2_transaction.get()});
    return py::none();
}

}  // namespace marketdata
