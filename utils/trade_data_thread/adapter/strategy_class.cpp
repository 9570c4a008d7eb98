// The shape of TovikStrategy: this table is the one place that defines its methods and their order.
#include "adapter/adapter.hpp"
#include "marketdata/marketdata.hpp"
#include "py/attr.hpp"
#include "py/call.hpp"

namespace adapter {
namespace {

const py::FunctionDef k_methods[] = {
    {"__init__", 2, {"self", "config"}, init},
    {"initialize", 2, {"self", "config"}, initialize},
    {"on_initialize", 1, {"self"}, on_initialize},
    {"on_switch_day", 1, {"self"}, on_switch_day},
    {"on_snapshot", 2, {"self", "snapshot"}, marketdata::on_snapshot},
    {"on_tick_order", 2, {"self", "tick_order"}, marketdata::on_tick_order},
    {"on_tick_trade", 2, {"self", "tick_trade"}, marketdata::on_tick_trade},
    {"on_bar", 2, {"self", "bar"}, marketdata::on_bar},
    {"on_login", 2, {"self", "login_res"}, on_login},
    {"on_query_asset", 5, {"self", "asset_res", "request_id", "code", "msg"}, on_query_asset},
    {"on_query_position", 5, {"self", "query_position_res", "request_id", "code", "msg"}, on_query_position},
    {"on_order", 2, {"self", "order"}, on_order},
    {"on_trade", 2, {"self", "trade"}, on_trade},
    {"on_order_action_error", 2, {"self", "order_action_error"}, on_order_action_error},
    {"on_algo_login", 2, {"self", "algo_login_res"}, on_algo_login},
    {"on_create_algo_parent_order_res", 2, {"self", "create_parent_order_res"}, on_create_algo_parent_order_res},
    {"on_cancel_algo_parent_order_res", 2, {"self", "cancel_parent_order_res"}, on_cancel_algo_parent_order_res},
    {"on_control_algo_parent_order_res", 2, {"self", "control_parent_order_res"}, on_control_algo_parent_order_res},
    {"on_algo_parent_order_update", 2, {"self", "parent_order"}, on_algo_parent_order_update},
    {"on_algo_child_order_update", 2, {"self", "child_order"}, on_algo_child_order_update},
    {"on_algo_child_order_trade", 2, {"self", "child_trade"}, on_algo_child_order_trade},
    {"create_time_listener", 1, {"self"}, create_time_listener},
    {"send_day_event", 3, {"self", "event_type", "dt"}, send_day_event},
    {"send_before_trading_event", 1, {"self"}, send_before_trading_event},
    {"send_after_trading_event", 1, {"self"}, send_after_trading_event},
    {"send_open_auction_event", 1, {"self"}, send_open_auction_event},
    {"set_timer", 1, {"self"}, set_timer},
};

}  // namespace

py::Ref make_strategy_class(PyObject* base, PyObject* module_name) {
    // class TovikStrategy(base): ... — the metaclass's __prepare__ gives the namespace.
    py::Ref meta = py::Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(base)));
    py::Ref class_name = py::Ref::steal(PyUnicode_InternFromString("TovikStrategy"));
    py::Ref bases = py::Ref::steal(PyTuple_Pack(1, base));
    py::Ref ns;
    PyObject* prepare = nullptr;
    if (py::check(py::compat::lookup_attr(meta.get(), py::name(N::dunder_prepare), &prepare))) {
        py::Ref prepare_ref = py::Ref::steal(prepare);
        ns = py::call(prepare, {class_name.get(), bases.get()});
    } else {
        ns = py::Ref::steal(PyDict_New());
    }
    py::setitem(ns.get(), py::name(N::dunder_module), module_name);
    py::setitem(ns.get(), py::name(N::dunder_qualname), class_name.get());
    for (const py::FunctionDef& def : k_methods) {
        py::Ref method = py::make_function(def, "TovikStrategy.", module_name);
        py::Ref key = py::Ref::steal(PyUnicode_InternFromString(def.name));
        py::setitem(ns.get(), key.get(), method.get());
    }
    return py::call(meta.get(), {class_name.get(), bases.get(), ns.get()});
}

}  // namespace adapter
