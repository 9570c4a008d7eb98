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

}  // namespace

py::Ref on_tick_order(PyObject* const* args) {
    PyObject* rec = args[1];
    // One site per read, in read order.
    static const py::Attr order_time{N::order_time}, security_id{N::security_id}, market_type{N::market_type},
        side_code{N::side}, side_market_type{N::market_type}, biz_index_of{N::biz_index},
        order_price{N::order_price}, order_volume{N::order_volume}, order_type_code{N::order_type},
        order_type_market_type{N::market_type}, orig_order_no{N::orig_order_no}, l2_order_type_code{N::order_type},
        l2_order_type_market_type{N::market_type};
    py::Ref dt = host::record_time(order_time(rec).get());
    py::Ref code = host::market_code(rec, security_id, market_type);
    py::Ref side = convert_code(N::get_side_from_tovik_l2_order, rec, side_code, &side_market_type);

    py::Ref cls = py::global(N::L2Order);
    py::Ref biz_index = biz_index_of(rec);
    py::Ref price = order_price(rec);
    py::Ref volume = order_volume(rec);
    py::Ref order_type =
        convert_code(N::get_order_type_from_tovik_l2_order, rec, order_type_code, &order_type_market_type);
    py::Ref order_no = orig_order_no(rec);
    py::Ref l2_order_type =
        convert_code(N::get_l2order_type_from_tovik, rec, l2_order_type_code, &l2_order_type_market_type);
    py::Ref l2_order = py::call_method(cls.get(), N::dunder_from_create,
                                       {biz_index.get(), code.get(), dt.get(), side.get(), price.get(), volume.get(),
                                        order_type.get(), order_no.get(), l2_order_type.get()});

    host::Post post(N::L2_ORDER);
    post(py::Kw<N::calendar_dt, N::trading_dt, N::l2_order>{}, {dt.get(), dt.get(), l2_order.get()});
    return py::none();
}

py::Ref on_tick_trade(PyObject* const* args) {
    PyObject* rec = args[1];
    // One site per read, in read order.
    static const py::Attr trade_time{N::trade_time}, security_id{N::security_id}, market_type{N::market_type},
        side_bid{N::bid_appl_seq_num}, side_offer{N::offer_appl_seq_num}, biz_index_of{N::biz_index},
        trade_price{N::trade_price}, trade_volume{N::trade_volume}, value_trade{N::value_trade},
        trade_type_code{N::trade_type}, bid_of{N::bid_appl_seq_num}, offer_of{N::offer_appl_seq_num};
    py::Ref dt = host::record_time(trade_time(rec).get());
    py::Ref code = host::market_code(rec, security_id, market_type);

    // The later order is the aggressor: a later bid (`bid > offer`) makes a buy; equal counts as a sell.
    py::Ref bid_seq = side_bid(rec);
    py::Ref offer_seq = side_offer(rec);
    bool buy = py::compare(bid_seq.get(), offer_seq.get(), Py_GT);
    py::Ref side = py::member_of(N::SIDE, buy ? N::BUY : N::SELL);

    py::Ref cls = py::global(N::L2Transaction);
    py::Ref biz_index = biz_index_of(rec);
    py::Ref price = trade_price(rec);
    py::Ref volume = trade_volume(rec);
    py::Ref value = value_trade(rec);
    py::Ref trade_type = convert_code(N::get_trade_type_from_tovik, rec, trade_type_code);
    py::Ref bid = bid_of(rec);
    py::Ref offer = offer_of(rec);
    py::Ref l2_transaction = py::call_method(cls.get(), N::dunder_from_create,
                                             {biz_index.get(), code.get(), dt.get(), side.get(), price.get(),
                                              volume.get(), value.get(), trade_type.get(), bid.get(), offer.get()});

    host::Post post(N::L2_TRANSACTION);
    post(py::Kw<N::calendar_dt, N::trading_dt, N::l2_transaction>{}, {dt.get(), dt.get(), l2_transaction.get()});
    return py::none();
}

}  // namespace marketdata
