// The trading login and the account synchronisation that follows it: login result, funds,
// positions, each handed to the host as one event.
#include "adapter/adapter.hpp"
#include "host/host.hpp"
#include "py/caught.hpp"

namespace adapter {
namespace {

using py::Field;

// Asset's positional arguments, in order.
py::Attr k_asset_args[] = {
    py::Attr{N::fund_account_id}, py::Attr{N::available_t1}, py::Attr{N::frozen_all},
    py::Attr{N::market_value},    py::Attr{N::total_asset},  py::Attr{N::leaves_value},
    py::Attr{N::init_leaves_value},
};
constexpr std::size_t k_asset_arity = sizeof(k_asset_args) / sizeof(k_asset_args[0]);

// The position state after construction, in key order: key, position record attribute.
Field k_position_state[] = {
    {N::quantity, py::Attr{N::leaves_qty}},
    {N::available_qty, py::Attr{N::available_qty}},
    {N::avg_price, py::Attr{N::cost_price}},
    {N::last_price, py::Attr{N::last_price}},
    {N::market_value, py::Attr{N::market_value}},
    {N::daily_pnl, py::Attr{N::profit_loss}},
};

py::Attr k_fund_account_id{N::fund_account_id};
py::Attr k_error_code{N::error_code};
py::Attr k_client_seq_id{N::client_seq_id};
py::Attr k_error_msg{N::error_msg};
py::Attr k_leaves_value{N::leaves_value};
py::Attr k_security_id{N::security_id};
py::Attr k_market_id{N::market_id};
py::Attr k_init_qty{N::init_qty};

// Result codes are compared with the integer 0, as `code != 0`.
bool failed(PyObject* code) {
    return py::compare(code, py::integer(0).get(), Py_NE);
}

py::Ref make_asset(PyObject* asset_res) {
    py::Ref asset_cls = py::global(N::Asset);
    py::Ref values[k_asset_arity];
    for (std::size_t i = 0; i < k_asset_arity; ++i) values[i] = k_asset_args[i](asset_res);
    return py::call(asset_cls.get(), {values[0].get(), values[1].get(), values[2].get(), values[3].get(),
                                      values[4].get(), values[5].get(), values[6].get()});
}

// Position(market code, LONG, init_qty) with its state set from the record.
py::Ref make_position(PyObject* record) {
    py::Ref position_cls = py::global(N::Position);
    py::Ref code = host::market_code(record, k_security_id, k_market_id);
    py::Ref direction = py::member_of(N::POSITION_DIRECTION, N::LONG);
    py::Ref init_qty = k_init_qty(record);
    py::Ref position = py::call(position_cls.get(), {code.get(), direction.get(), init_qty.get()});
    py::Ref state = py::Ref::steal(PyDict_New());
    py::copy_fields(state.get(), record, k_position_state);
    py::call_method(position.get(), N::set_state, {state.get()});
    return position;
}

}  // namespace

py::Ref on_login(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* login_res = args[1];
    static const py::Literal k_account{"on_login fund_account_id:"}, k_code{", error_code:"};
    py::Ref account_id = k_fund_account_id(login_res);
    py::Ref error_code = k_error_code(login_res);
    host::log_info(py::Text().lit(k_account).val(account_id.get()).lit(k_code).val(error_code.get()));

    host::Post post(N::LOGIN);
    py::Ref rid = k_client_seq_id(login_res);
    py::Ref msg = k_error_msg(login_res);
    post(py::Kw<N::rid, N::account_id, N::code, N::msg>{}, {rid.get(), account_id.get(), error_code.get(), msg.get()});

    if (failed(error_code.get())) return py::none();
    py::setattr(self, N::logged_in, Py_True);
    // The answers arrive later through on_query_asset and on_query_position.
    py::call_method(py::getattr(self, N::context).get(), N::query_asset, {account_id.get()});
    py::call_method(py::getattr(self, N::context).get(), N::query_position, {account_id.get()});
    return py::none();
}

py::Ref on_query_asset(PyObject* const* args) {
    PyObject* asset_res = args[1];
    PyObject* request_id = args[2];
    PyObject* code = args[3];
    PyObject* msg = args[4];
    static const py::Literal k_head{"on_query_asset, "}, k_leaves{", leaves_value:"}, k_code{" code "},
        k_msg{"  ms "};
    py::Ref account_id = k_fund_account_id(asset_res);
    py::Ref leaves_value = k_leaves_value(asset_res);
    host::log_info(py::Text()
                       .lit(k_head)
                       .val(account_id.get())
                       .lit(k_leaves)
                       .val(leaves_value.get())
                       .lit(k_code)
                       .val(code)
                       .lit(k_msg)
                       .val(msg));

    if (failed(code)) {
        host::Post post(N::QUERY_ACCOUNT);
        post(py::Kw<N::rid, N::account_id, N::code, N::msg>{}, {request_id, account_id.get(), code, msg});
    } else {
        host::Post post(N::QUERY_ACCOUNT);
        py::Ref asset = make_asset(asset_res);
        post(py::Kw<N::rid, N::account_id, N::asset>{}, {request_id, account_id.get(), asset.get()});
    }
    return py::none();
}

py::Ref on_query_position(PyObject* const* args) {
    PyObject* records = args[1];
    PyObject* request_id = args[2];
    PyObject* code = args[3];
    PyObject* msg = args[4];
    static const py::Literal k_code{"on_query_position: code:"}, k_msg{", msg:"};
    host::log_info(py::Text().lit(k_code).val(code).lit(k_msg).val(msg));

    if (failed(code)) {
        // A failed positions answer is reported as an account query, without an account id.
        host::Post(N::QUERY_ACCOUNT)(py::Kw<N::rid, N::code, N::msg>{}, {request_id, code, msg});
        return py::none();
    }
    if (Py_TYPE(records) != &PyList_Type || PyList_GET_SIZE(records) == 0) return py::none();

    py::Ref positions = py::Ref::steal(PyList_New(0));
    // Indexed like Python's list iteration: the list may change while records convert.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records); ++i) {
        py::Ref record = py::Ref::borrow(PyList_GET_ITEM(records, i));
        py::Ref position;
        try {
            position = make_position(record.get());
        } catch (const py::Error&) {
            // A record that does not convert is reported and skipped; interrupts and exits are not
            // conversion failures and propagate.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
            py::Caught error;
            static const py::Literal k_skip{"on_query_position position do not add: "}, k_exc{"  exception: "};
            py::Ref security_id = k_security_id(record.get());
            host::log_warning(py::Text().lit(k_skip).val(security_id.get()).lit(k_exc).val(error.get()));
            continue;
        }
        py::check(PyList_Append(positions.get(), position.get()));
    }
    host::Post(N::QUERY_POSITION)(py::Kw<N::rid, N::positions>{}, {request_id, positions.get()});
    return py::none();
}

}  // namespace adapter
