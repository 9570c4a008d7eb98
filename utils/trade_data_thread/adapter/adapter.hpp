// TovikStrategy: the class the SDK drives. Handlers receive the method's arguments in order,
// `self` first.
#pragma once

#include "py/function.hpp"

namespace adapter {

// Creates TovikStrategy through the base class's metaclass, methods in definition order.
py::Ref make_strategy_class(PyObject* base, PyObject* module_name);

// lifecycle.cpp
py::Ref init(PyObject* const* args);           // __init__(self, config)
py::Ref initialize(PyObject* const* args);     // (self, config)
py::Ref on_initialize(PyObject* const* args);  // (self)

// login.cpp
py::Ref on_login(PyObject* const* args);           // (self, login_res)
py::Ref on_query_asset(PyObject* const* args);     // (self, asset_res, request_id, code, msg)
py::Ref on_query_position(PyObject* const* args);  // (self, query_position_res, request_id, code, msg)

// orders.cpp
py::Ref on_order(PyObject* const* args);               // (self, order)
py::Ref on_trade(PyObject* const* args);               // (self, trade)
py::Ref on_order_action_error(PyObject* const* args);  // (self, order_action_error)

// algo.cpp
py::Ref on_algo_login(PyObject* const* args);
py::Ref on_create_algo_parent_order_res(PyObject* const* args);
py::Ref on_cancel_algo_parent_order_res(PyObject* const* args);
py::Ref on_control_algo_parent_order_res(PyObject* const* args);
py::Ref on_algo_parent_order_update(PyObject* const* args);
py::Ref on_algo_child_order_update(PyObject* const* args);
py::Ref on_algo_child_order_trade(PyObject* const* args);

// clock.cpp
py::Ref on_switch_day(PyObject* const* args);              // (self)
py::Ref create_time_listener(PyObject* const* args);       // (self)
py::Ref send_day_event(PyObject* const* args);             // (self, event_type, dt)
py::Ref send_before_trading_event(PyObject* const* args);  // (self)
py::Ref send_after_trading_event(PyObject* const* args);   // (self)
py::Ref send_open_auction_event(PyObject* const* args);    // (self)
py::Ref set_timer(PyObject* const* args);                  // (self)

}  // namespace adapter
