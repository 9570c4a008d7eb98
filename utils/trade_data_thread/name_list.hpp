// Every attribute name, keyword, dictionary key, global name and constant string the module uses.
// Each is interned once at load (py/names.hpp); X(identifier, "text").
#pragma once

// clang-format off
#define TDT_NAMES(X)                                                                              \
    /* module globals */                                                                          \
    X(Environment, "Environment") X(EVENT, "EVENT") X(Event, "Event") X(TickObject, "TickObject") \
    X(Trade, "Trade") X(L2Order, "L2Order") X(L2Transaction, "L2Transaction")                     \
    X(convert_int_to_whole_date, "convert_int_to_whole_date")                                     \
    X(convert_int_to_datetime, "convert_int_to_datetime")                                         \
    X(get_exchane_from_tovik_mdtype, "get_exchane_from_tovik_mdtype")                             \
    X(get_tovik_tdtype, "get_tovik_tdtype")                                                       \
    X(get_side_from_tovik_l2_order, "get_side_from_tovik_l2_order")                               \
    X(get_order_type_from_tovik_l2_order, "get_order_type_from_tovik_l2_order")                   \
    X(get_trade_type_from_tovik, "get_trade_type_from_tovik")                                     \
    X(get_l2order_type_from_tovik, "get_l2order_type_from_tovik")                                 \
    X(system_log, "system_log") X(user_system_log, "user_system_log")                             \
    X(AlgoParentOrder, "AlgoParentOrder") X(AlgoChildOrder, "AlgoChildOrder")                     \
    X(AlgoChildTrade, "AlgoChildTrade") X(ORDER_STATUS, "ORDER_STATUS")                           \
    X(POSITION_DIRECTION, "POSITION_DIRECTION") X(SIDE, "SIDE") X(Asset, "Asset")                 \
    X(Position, "Position") X(RingBuffer, "RingBuffer") X(RB, "RB") X(np, "np") X(deque, "deque") \
    X(copy, "copy") X(datetime, "datetime") X(time, "time") X(timedelta, "timedelta")             \
    X(strategy, "strategy") X(TovikStrategy, "TovikStrategy") X(MDType, "MDType")                 \
    X(AlgoType, "AlgoType") X(MarketType, "MarketType") X(SubscribeDataType, "SubscribeDataType") \
    X(OrderStatusType, "OrderStatusType") X(AlgoControlType, "AlgoControlType")                   \
    X(tovik_params, "tovik_params") X(event_queue, "event_queue") X(history_bar, "history_bar")    \
    X(history_tick, "history_tick") X(orders_dict, "orders_dict")                                 \
    X(algo_parent_orders, "algo_parent_orders") X(algo_child_orders, "algo_child_orders")         \
    X(algo_child_trades, "algo_child_trades") X(dunder_test, "__test__")                          \
    X(dunder_builtins, "__builtins__") X(dunder_all, "__all__") X(dunder_dict, "__dict__")        \
    X(dunder_name, "__name__") X(dunder_init, "__init__") X(dunder_module, "__module__")           \
    X(dunder_qualname, "__qualname__") X(dunder_prepare, "__prepare__")                           \
    X(loader, "loader") X(origin, "origin") X(parent, "parent")                                   \
    X(submodule_search_locations, "submodule_search_locations") X(dunder_loader, "__loader__")     \
    X(dunder_file, "__file__") X(dunder_package, "__package__") X(dunder_path, "__path__")        \
    X(capacity, "capacity") X(dtype, "dtype") X(maxlen, "maxlen")                                 \
    /* host and container operations */                                                           \
    X(get_instance, "get_instance") X(data_proxy, "data_proxy") X(instruments, "instruments")     \
    X(get_universe, "get_universe") X(get_account, "get_account") X(append, "append")             \
    X(info, "info") X(warning, "warning") X(clear, "clear") X(get, "get") X(items, "items")       \
    X(split, "split") X(upper, "upper") X(deepcopy, "deepcopy") X(from_tovik, "from_tovik")       \
    X(dunder_from_create, "__from_create__") X(set_state, "set_state")                            \
    X(set_frozen_cash, "set_frozen_cash") X(mark_rejected, "mark_rejected")                       \
    X(now, "now") X(date, "date") X(replace, "replace") X(combine, "combine")                     \
    X(total_seconds, "total_seconds") X(datetime64, "datetime64") X(hour, "hour")                 \
    X(minute, "minute") X(second, "second") X(microsecond, "microsecond") X(days, "days")         \
    /* enumeration members */                                                                     \
    X(TICK, "TICK") X(L2_ORDER, "L2_ORDER") X(L2_TRANSACTION, "L2_TRANSACTION") X(BAR, "BAR")     \
    X(LOGIN, "LOGIN") X(QUERY_ACCOUNT, "QUERY_ACCOUNT") X(QUERY_POSITION, "QUERY_POSITION")       \
    X(ORDER_CREATION_PASS, "ORDER_CREATION_PASS") X(TRADE, "TRADE")                               \
    X(ORDER_CANCELLATION_PASS, "ORDER_CANCELLATION_PASS")                                         \
    X(ORDER_PENDING_CANCEL, "ORDER_PENDING_CANCEL")                                               \
    X(ORDER_UNSOLICITED_UPDATE, "ORDER_UNSOLICITED_UPDATE")                                       \
    X(ORDER_CANCELLATION_REJECT, "ORDER_CANCELLATION_REJECT")                                     \
    X(BEFORE_TRADING, "BEFORE_TRADING") X(OPEN_AUCTION, "OPEN_AUCTION")                           \
    X(AFTER_TRADING, "AFTER_TRADING") X(ALGO_LOGIN, "ALGO_LOGIN")                                 \
    X(PARENT_ORDER_CREATE, "PARENT_ORDER_CREATE") X(PARENT_ORDER_CANCEL, "PARENT_ORDER_CANCEL")   \
    X(PARENT_ORDER_PAUSE, "PARENT_ORDER_PAUSE") X(PARENT_ORDER_RESUME, "PARENT_ORDER_RESUME")     \
    X(PARENT_ORDER_UPDATE, "PARENT_ORDER_UPDATE") X(CHILD_ORDER_UPDATE, "CHILD_ORDER_UPDATE")     \
    X(CHILD_ORDER_TRADE, "CHILD_ORDER_TRADE")                                                     \
    X(ACTIVE, "ACTIVE") X(FILLED, "FILLED") X(PARTIALLY_FILLED, "PARTIALLY_FILLED")               \
    X(CANCELLED, "CANCELLED") X(REJECTED, "REJECTED") X(LONG, "LONG") X(BUY, "BUY")               \
    X(SELL, "SELL") X(ToMD, "ToMD") X(AMD, "AMD") X(ATX, "ATX") X(SZSE, "SZSE") X(Bar, "Bar")     \
    X(UnSend, "UnSend") X(Sended, "Sended") X(PartiallyFilled, "PartiallyFilled")                 \
    X(Filled, "Filled") X(PartiallyFilledPartiallyCancelled, "PartiallyFilledPartiallyCancelled") \
    X(WaitCancelled, "WaitCancelled") X(PartiallyFilledWaitCancelled, "PartiallyFilledWaitCancelled") \
    X(Cancelled, "Cancelled") X(Reject, "Reject") X(Pause, "Pause") X(Resume, "Resume")           \
    /* record attributes */                                                                       \
    X(orig_time, "orig_time") X(security_id, "security_id") X(market_type, "market_type")         \
    X(open_price, "open_price") X(close_price, "close_price") X(high_price, "high_price")          \
    X(low_price, "low_price") X(total_value_trade, "total_value_trade")                           \
    X(total_volume_trade, "total_volume_trade") X(pre_close_price, "pre_close_price")             \
    X(ask_volume, "ask_volume") X(ask_price, "ask_price") X(bid_volume, "bid_volume")             \
    X(bid_price, "bid_price") X(high_limited, "high_limited") X(last_price, "last_price")          \
    X(low_limited, "low_limited") X(open_interest, "open_interest")                               \
    X(prev_settlement, "prev_settlement") X(iopv, "iopv") X(trading_phase_code, "trading_phase_code") \
    X(order_time, "order_time") X(side, "side") X(biz_index, "biz_index")                         \
    X(order_price, "order_price") X(order_volume, "order_volume") X(order_type, "order_type")      \
    X(orig_order_no, "orig_order_no") X(trade_time, "trade_time")                                 \
    X(bid_appl_seq_num, "bid_appl_seq_num") X(offer_appl_seq_num, "offer_appl_seq_num")           \
    X(trade_price, "trade_price") X(trade_volume, "trade_volume") X(value_trade, "value_trade")    \
    X(trade_type, "trade_type") X(end_time, "end_time") X(open, "open") X(close, "close")         \
    X(high, "high") X(low, "low") X(amount, "amount") X(volume, "volume")                         \
    X(prev_close, "prev_close") X(fund_account_id, "fund_account_id") X(error_code, "error_code") \
    X(client_seq_id, "client_seq_id") X(error_msg, "error_msg") X(leaves_value, "leaves_value")   \
    X(available_t1, "available_t1") X(frozen_all, "frozen_all") X(market_value, "market_value")   \
    X(total_asset, "total_asset") X(init_leaves_value, "init_leaves_value")                       \
    X(market_id, "market_id") X(init_qty, "init_qty") X(leaves_qty, "leaves_qty")                 \
    X(available_qty, "available_qty") X(cost_price, "cost_price") X(profit_loss, "profit_loss")   \
    X(client_order_id, "client_order_id") X(order_status, "order_status")                         \
    X(order_qty, "order_qty") X(trade_qty, "trade_qty") X(total_trade_value, "total_trade_value") \
    X(last_match_qty, "last_match_qty") X(last_match_price, "last_match_price")                   \
    X(counter_order_id, "counter_order_id") X(frozen_trade_value, "frozen_trade_value")           \
    X(trader_id, "trader_id") X(sys_quote_id, "sys_quote_id") X(control_type, "control_type")     \
    /* host order attributes */                                                                   \
    X(market_code, "market_code") X(order_id, "order_id") X(position_effect, "position_effect")   \
    X(price, "price") X(status, "status") X(filled_quantity, "filled_quantity")                   \
    X(unfilled_quantity, "unfilled_quantity") X(avg_price, "avg_price")                           \
    X(secondary_order_id, "secondary_order_id") X(frozen_price, "frozen_price")                   \
    /* adapter attributes, configuration and SDK context */                                       \
    X(logged_in, "logged_in") X(order_num, "order_num") X(bar_cnt, "bar_cnt")                     \
    X(current_trade_dt, "current_trade_dt") X(first_dt, "first_dt") X(config, "config")           \
    X(context, "context") X(base, "base") X(md_type, "md_type") X(order_way, "order_way")         \
    X(accounts, "accounts") X(algo_account, "algo_account") X(trading_calendar, "trading_calendar") \
    X(add_md_broker, "add_md_broker") X(set_order_way, "set_order_way")                           \
    X(add_td_broker, "add_td_broker") X(add_algo_broker, "add_algo_broker")                       \
    X(subscribe, "subscribe") X(query_asset, "query_asset") X(query_position, "query_position")    \
    X(add_timer_interval, "add_timer_interval") X(set_timer, "set_timer")                         \
    X(create_time_listener, "create_time_listener") X(send_day_event, "send_day_event")           \
    X(send_before_trading_event, "send_before_trading_event")                                     \
    X(send_open_auction_event, "send_open_auction_event")                                         \
    X(send_after_trading_event, "send_after_trading_event")                                       \
    X(tovik_md, "tovik_md") X(tovik_td, "tovik_td") X(tovik_context, "tovik_context")             \
    /* dictionary keys and event keywords */                                                      \
    X(total_turnover, "total_turnover") X(ask_vols, "ask_vols") X(asks, "asks")                   \
    X(bid_vols, "bid_vols") X(bids, "bids") X(calendar_dt, "calendar_dt")                         \
    X(trading_dt, "trading_dt") X(tick, "tick") X(l2_order, "l2_order")                           \
    X(l2_transaction, "l2_transaction") X(rid, "rid") X(account_id, "account_id") X(code, "code") \
    X(msg, "msg") X(asset, "asset") X(positions, "positions") X(quantity, "quantity")             \
    X(daily_pnl, "daily_pnl") X(account, "account") X(order, "order") X(trade, "trade")           \
    X(req_id, "req_id") X(parent_order_id, "parent_order_id")                                     \
    X(algo_parent_order, "algo_parent_order") X(algo_child_order, "algo_child_order")             \
    X(algo_child_trade, "algo_child_trade")                                                       \
    /* constant texts */                                                                          \
    X(empty, "") X(dot, ".") X(underscore, "_") X(one_minute, "1m") X(today, "today") X(D, "D") \
    /* level-2: the builtin chr */                                                                \
    X(builtins, "builtins") X(chr, "chr")                                                         \
    /* modules imported at call time */                                                           \
    X(pytovik_enums, "pytovik.enums") X(halvex_lumet_utils_logger, "halvex.lumet.utils.logger")   \
    /* loading and the lookup rules */                                                            \
    X(name, "name") X(star, "*") X(dunder_getattribute, "__getattribute__")                       \
    /* log line values */                                                                         \
    X(dunder_format, "__format__") X(dunder_str, "__str__") X(dunder_repr, "__repr__")            \
    /* module functions and methods, and their parameters */                                      \
    X(get_current_bar, "get_current_bar") X(get_current_tick, "get_current_tick")                 \
    X(history_ticks, "history_ticks") X(history_bars, "history_bars") X(count, "count")           \
    X(fastpath_stats, "_fastpath_stats")           \
    X(initialize, "initialize") X(on_initialize, "on_initialize") X(on_switch_day, "on_switch_day") \
    X(on_snapshot, "on_snapshot") X(on_tick_order, "on_tick_order") X(on_tick_trade, "on_tick_trade") \
    X(on_bar, "on_bar") X(on_login, "on_login") X(on_query_asset, "on_query_asset")               \
    X(on_query_position, "on_query_position") X(on_order, "on_order") X(on_trade, "on_trade")     \
    X(on_order_action_error, "on_order_action_error") X(on_algo_login, "on_algo_login")           \
    X(on_create_algo_parent_order_res, "on_create_algo_parent_order_res")                         \
    X(on_cancel_algo_parent_order_res, "on_cancel_algo_parent_order_res")                         \
    X(on_control_algo_parent_order_res, "on_control_algo_parent_order_res")                       \
    X(on_algo_parent_order_update, "on_algo_parent_order_update")                                 \
    X(on_algo_child_order_update, "on_algo_child_order_update")                                   \
    X(on_algo_child_order_trade, "on_algo_child_order_trade")                                     \
    X(self, "self") X(snapshot, "snapshot") X(tick_order, "tick_order") X(tick_trade, "tick_trade") \
    X(bar, "bar") X(login_res, "login_res") X(asset_res, "asset_res") X(request_id, "request_id") \
    X(query_position_res, "query_position_res") X(order_action_error, "order_action_error")       \
    X(algo_login_res, "algo_login_res") X(create_parent_order_res, "create_parent_order_res")     \
    X(cancel_parent_order_res, "cancel_parent_order_res")                                         \
    X(control_parent_order_res, "control_parent_order_res") X(parent_order, "parent_order")       \
    X(child_order, "child_order") X(child_trade, "child_trade") X(event_type, "event_type")       \
    X(dt, "dt")
// clang-format on
