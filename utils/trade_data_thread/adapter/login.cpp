// The trading login and the account synchronisation that follows it: login result, funds,
// positions, each handed to the host as one event.
#include "adapter/adapter.hpp"
#include "host/host.hpp"
#include "py/caught.hpp"
#include "py/dict.hpp"

namespace adapter {
namespace {

using py::Field;

// Asset's positional arguments, in order.
constexpr N k_asset_args[] = {
    N::fund_account_id, N::available_t1, N::frozen_all,      N::market_value,
    N::total_asset,     N::leaves_value, N::init_leaves_value,
};
constexpr std::size_t k_asset_arity = sizeof(k_asset_args) / sizeof(k_asset_args[0]);

// The position state after construction, in key order: key, position record attribute.
constexpr Field k_position_state[] = {
    {N::quantity, N::leaves_qty},
    {N::available_qty, N::available_qty},
    {N::avg_price, N::cost_price},
    {N::last_price, N::last_price},
    {N::market_value, N::market_value},
    {N::daily_pnl, N::profit_loss},
};

// A query answer's arguments after `self`: the answer, the request id, the result code and message.
struct Answer {
    PyObject *answer, *request_id, *code, *msg;
    static Answer of(PyObject* const* args) { return {args[1], args[2], args[3], args[4]}; }
};

// Result codes are compared with the integer 0, as `code != 0`.
bool failed(PyObject* code) {
    return py::compare(code, py::integer(0).get(), Py_NE);
}

py::Ref make_asset(PyObject* asset_res) {
    static const py::Reads reads{k_asset_args};
    py::Ref asset_cls = py::global(N::Asset);
    py::Ref values[k_asset_arity];
    for (std::size_t i = 0; i < k_asset_arity; ++i) values[i] = reads[i](asset_res);
    static const py::New new_asset;
    return new_asset(asset_cls.get(), {values[0].get(), values[1].get(), values[2].get(), values[3].get(),
                                      values[4].get(), values[5].get(), values[6].get()});
}

// Position(market code, LONG, init_qty) with its state set from the record, `set_state` found
// before the state is read.
py::Ref make_position(PyObject* record) {
    static const py::Reads state_reads{k_position_state};
    py::Ref code = host::market_code(record, TDT_SITE(N::security_id), TDT_SITE(N::market_id));
    py::Ref position_cls = py::global(N::Position);
    py::Ref direction = TDT_MEMBER(N::POSITION_DIRECTION, N::LONG);
    static const py::New new_position;
    py::Ref position =
        new_position(position_cls.get(), {code.get(), direction.get(), TDT_GET(record, N::init_qty).get()});
    py::Bound set_state = py::bind_method(position.get(), N::set_state);
    py::Ref values[std::size(k_position_state)];
    py::read_fields(record, state_reads, values);
    static const py::DictShape state_shape{{}, k_position_state};
    py::Ref state = state_shape.build({}, values);
    set_state({state.get()});
    return position;
}

// The text that `make` gives for a warning, or "<unknown>" when making it raises an Exception: a
// record bad enough not to convert may not even say what it is. Interrupts and exits propagate.
template <class Make>
py::Ref text_or_unknown(Make make) {
    static const py::Literal k_unknown{"<unknown>"};
    try {
        return make();
    } catch (const py::Error&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return py::Ref::borrow(k_unknown.get());
    }
}

}  // namespace

py::Ref on_login(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* login_res = args[1];
    static const py::Literal k_account{"on_login fund_account_id:"}, k_code{", error_code:"};
    host::LogLine line = host::log_info();
    py::Ref account_id = TDT_GET(login_res, N::fund_account_id);
    line.lit(k_account).val(account_id.get());
    py::Ref error_code = TDT_GET(login_res, N::error_code);
    line.lit(k_code).val(error_code.get()).write();

    host::Post post(N::LOGIN);
    post(py::Kw<N::rid, N::account_id, N::code, N::msg>{},
         {TDT_GET(login_res, N::client_seq_id).get(), account_id.get(), error_code.get(),
          TDT_GET(login_res, N::error_msg).get()});

    if (failed(error_code.get())) return py::none();
    py::setattr(self, N::logged_in, Py_True);
    // The answers arrive later through on_query_asset and on_query_position.
    py::call_method(py::getattr(self, N::context).get(), N::query_asset, {account_id.get()});
    py::call_method(py::getattr(self, N::context).get(), N::query_position, {account_id.get()});
    return py::none();
}

py::Ref on_query_asset(PyObject* const* args) {
    auto [asset_res, request_id, code, msg] = Answer::of(args);
    static const py::Literal k_head{"on_query_asset, "}, k_leaves{", leaves_value:"}, k_code{" code "},
        k_msg{"  ms "};
    host::LogLine line = host::log_info();
    py::Ref account_id = TDT_GET(asset_res, N::fund_account_id);
    line.lit(k_head)
        .val(account_id.get())
        .lit(k_leaves)
        .val(TDT_GET(asset_res, N::leaves_value).get())
        .lit(k_code)
        .val(code)
        .lit(k_msg)
        .val(msg)
        .write();

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
    auto [records, request_id, code, msg] = Answer::of(args);
    static const py::Literal k_code{"on_query_position: code:"}, k_msg{", msg:"};
    host::log_info().lit(k_code).val(code).lit(k_msg).val(msg).write();

    if (failed(code)) {
        // A failed positions answer is reported as an account query, without an account id.
        host::Post(N::QUERY_ACCOUNT)(py::Kw<N::rid, N::code, N::msg>{}, {request_id, code, msg});
        return py::none();
    }
    if (Py_TYPE(records) != &PyList_Type || PyList_GET_SIZE(records) == 0) return py::none();

    py::Ref positions = py::Ref::steal_or_raise(PyList_New(0));
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
            py::Ref security_id = text_or_unknown([&] {
                py::Ref value = TDT_GET(record.get(), N::security_id);
                return py::Ref::steal_or_raise(PyObject_Format(value.get(), py::name(N::empty)));
            });
            py::Ref reason = text_or_unknown([&] { return py::Ref::steal_or_raise(PyObject_Str(error.get())); });
            host::log_warning().lit(k_skip).val(security_id.get()).lit(k_exc).val(reason.get()).write();
            continue;
        }
        py::check(PyList_Append(positions.get(), position.get()));
    }
    host::Post(N::QUERY_POSITION)(py::Kw<N::rid, N::positions>{}, {request_id, positions.get()});
    return py::none();
}

}  // namespace adapter
