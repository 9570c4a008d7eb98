// The shape of TovikStrategy: this table is the one place that defines its methods and their order.
#include "adapter/adapter.hpp"
#include "marketdata/marketdata.hpp"
#include "py/attr.hpp"
#include "py/call.hpp"

namespace adapter {
namespace {

const py::FunctionDef k_methods[] = {
    {N::dunder_init, 2, {N::self, N::config}, init},
    {N::initialize, 2, {N::self, N::config}, initialize},
    {N::on_initialize, 1, {N::self}, on_initialize},
    {N::on_switch_day, 1, {N::self}, on_switch_day},
    {N::on_snapshot, 2, {N::self, N::snapshot}, marketdata::on_snapshot},
    {N::on_tick_order, 2, {N::self, N::tick_order}, marketdata::on_tick_order},
    {N::on_tick_trade, 2, {N::self, N::tick_trade}, marketdata::on_tick_trade},
    {N::on_bar, 2, {N::self, N::bar}, marketdata::on_bar},
    {N::on_login, 2, {N::self, N::login_res}, on_login},
    {N::on_query_asset, 5, {N::self, N::asset_res, N::request_id, N::code, N::msg}, on_query_asset},
    {N::on_query_position, 5, {N::self, N::query_position_res, N::request_id, N::code, N::msg}, on_query_position},
    {N::on_order, 2, {N::self, N::order}, on_order},
    {N::on_trade, 2, {N::self, N::trade}, on_trade},
    {N::on_order_action_error, 2, {N::self, N::order_action_error}, on_order_action_error},
    {N::on_algo_login, 2, {N::self, N::algo_login_res}, on_algo_login},
    {N::on_create_algo_parent_order_res, 2, {N::self, N::create_parent_order_res}, on_create_algo_parent_order_res},
    {N::on_cancel_algo_parent_order_res, 2, {N::self, N::cancel_parent_order_res}, on_cancel_algo_parent_order_res},
    {N::on_control_algo_parent_order_res, 2, {N::self, N::control_parent_order_res}, on_control_algo_parent_order_res},
    {N::on_algo_parent_order_update, 2, {N::self, N::parent_order}, on_algo_parent_order_update},
    {N::on_algo_child_order_update, 2, {N::self, N::child_order}, on_algo_child_order_update},
    {N::on_algo_child_order_trade, 2, {N::self, N::child_trade}, on_algo_child_order_trade},
    {N::create_time_listener, 1, {N::self}, create_time_listener},
    {N::send_day_event, 3, {N::self, N::event_type, N::dt}, send_day_event},
    {N::send_before_trading_event, 1, {N::self}, send_before_trading_event},
    {N::send_after_trading_event, 1, {N::self}, send_after_trading_event},
    {N::send_open_auction_event, 1, {N::self}, send_open_auction_event},
    {N::set_timer, 1, {N::self}, set_timer},
};

}  // namespace

py::Ref make_strategy_class(PyObject* base, PyObject* module_name) {
    // class TovikStrategy(base): ... — the metaclass's __prepare__ gives the namespace.
    py::Ref meta = py::Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(base)));
    PyObject* class_name = py::name(N::TovikStrategy);
    py::Ref bases = py::Ref::steal_or_raise(PyTuple_Pack(1, base));
    py::Ref ns;
    PyObject* prepare = nullptr;
    if (py::check(py::compat::lookup_attr(meta.get(), py::name(N::dunder_prepare), &prepare))) {
        py::Ref prepare_ref = py::Ref::steal_or_raise(prepare);
        ns = py::call(prepare, {class_name, bases.get()});
    } else {
        ns = py::Ref::steal_or_raise(PyDict_New());
    }
    py::setitem(ns.get(), py::name(N::dunder_module), module_name);
    py::setitem(ns.get(), py::name(N::dunder_qualname), class_name);
    for (const py::FunctionDef& def : k_methods) {
        py::Ref method = py::make_function(def, "TovikStrategy.", module_name);
        py::setitem(ns.get(), py::name(def.name), method.get());
    }
    return py::call(meta.get(), {class_name, bases.get(), ns.get()});
}

}  // namespace adapter
