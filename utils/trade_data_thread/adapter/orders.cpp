// Order reports: the SDK's reports are mirrored onto the host's own orders (found in `orders_dict`
// under the client order id), and the host learns each change through an order event carrying the
// account and a deep copy of the order as it is after the change.
#include "adapter/adapter.hpp"
#include "host/host.hpp"

#include <initializer_list>
#include <iterator>

namespace adapter {
namespace {

struct LogPiece {
    py::Literal literal;
    N attr;
};

// The report's log line: each literal followed directly by the attribute's value.
LogPiece k_log_line[] = {
    {py::Literal{"on_order:"}, N::client_order_id},
    {py::Literal{", symbol: "}, N::security_id},
    {py::Literal{", price:"}, N::order_price},
    {py::Literal{", status:"}, N::order_status},
    {py::Literal{", order_qty:"}, N::order_qty},
    {py::Literal{", trade_qty:"}, N::trade_qty},
    {py::Literal{", total_trade_value: "}, N::total_trade_value},
    {py::Literal{", error_msg:"}, N::error_msg},
    {py::Literal{", last_match_qty: "}, N::last_match_qty},
};

bool positive(PyObject* value) { return py::compare(value, py::integer(0).get(), Py_GT); }

// `value == Enum.m1 or value == Enum.m2 ...` for an enumeration bound as a module global, the
// members read through the caller's class-attribute site (one for each test, see `IS_ANY`).
bool is_any(const py::ClassAttr& members_of, PyObject* value, N enum_global, std::initializer_list<N> members) {
    py::Ref enumeration = py::global(enum_global);
    for (N member : members) {
        py::Ref m = members_of(enumeration.get(), member);
        if (py::equals(value, m.get())) return true;
    }
    return false;
}
#define IS_ANY(value, enum_global, ...) is_any(TDT_CLASS_SITE(), value, enum_global, __VA_ARGS__)

bool status_is(const py::ClassAttr& members_of, PyObject* order, std::initializer_list<N> statuses) {
    py::Ref status = TDT_GET(order, N::status);
    return is_any(members_of, status.get(), N::ORDER_STATUS, statuses);
}
#define STATUS_IS(order, ...) status_is(TDT_CLASS_SITE(), order, __VA_ARGS__)

void set_status(PyObject* order, N status) {
    py::Ref value = TDT_MEMBER(N::ORDER_STATUS, status);
    TDT_SET(order, N::status, value.get());
}

// The host order under the record's client order id, or an empty Ref when the host has none.
// The membership test and the fetch are separate steps, each reading the id and the global.
// Between them the after-trading timer or the day switch may empty `orders_dict` from another
// thread: a fetch that then fails with KeyError drops the report like one for an unknown order.
py::Ref known_order(PyObject* record) {
    py::Ref id = TDT_GET(record, N::client_order_id);
    if (!py::contains(py::global(N::orders_dict).get(), id.get())) return {};
    id = TDT_GET(record, N::client_order_id);
    PyObject* order = PyObject_GetItem(py::global(N::orders_dict).get(), id.get());
    if (!order) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) py::raise();
        PyErr_Clear();
    }
    return py::Ref::steal_or_empty(order);
}

// Posts an order event whose payload is the account and a deep copy of the order as it is now.
void post_order_event(N kind, PyObject* account, PyObject* order) {
    host::Post post(kind);
    py::Ref copy = host::deep_copy(order);
    post(py::Kw<N::account, N::order>{}, {account, copy.get()});
}

void log_report(PyObject* report) {
    static const py::Reads reads{k_log_line};
    host::LogLine line = host::log_info();
    for (std::size_t i = 0; i < std::size(k_log_line); ++i)
        line.lit(k_log_line[i].literal).val(reads[i](report).get());
    line.write();
}

// UnSend, Sended: the exchange-side id and the frozen cash are recorded, and the first report
// carrying a positive exchange id makes the order ACTIVE. A late acknowledgement never reopens
// an order that has finished, nor moves a partly filled one back to ACTIVE.
void accepted(PyObject* report, PyObject* order, PyObject* account) {
    if (STATUS_IS(order, {N::FILLED, N::CANCELLED, N::REJECTED})) return;
    py::Ref counter_id = TDT_GET(report, N::counter_order_id);
    TDT_SET(order, N::secondary_order_id, counter_id.get());
    py::Bound set_frozen_cash = py::bind_method(order, N::set_frozen_cash);
    set_frozen_cash({TDT_GET(report, N::frozen_trade_value).get()});

    if (!py::truthy(counter_id.get()) || !positive(counter_id.get())) return;
    if (STATUS_IS(order, {N::ACTIVE, N::PARTIALLY_FILLED, N::FILLED, N::CANCELLED, N::REJECTED})) return;
    set_status(order, N::ACTIVE);
    post_order_event(N::ORDER_CREATION_PASS, account, order);
}

// The fill the report carries: a host Trade, the cumulative quantities and average price taken
// from the report, then the TRADE event.
void filled(PyObject* report, PyObject* order, PyObject* account, PyObject* report_status, PyObject* amount) {
    py::Ref trade_cls = py::global(N::Trade);
    py::Ref from_create = TDT_CLASS_ATTR(trade_cls.get(), N::dunder_from_create);
    py::Ref trade = py::call(
        from_create.get(), {},
        py::Kw<N::order_id, N::price, N::amount, N::side, N::position_effect, N::market_code, N::frozen_price>{},
        {TDT_GET(order, N::order_id).get(), TDT_GET(report, N::last_match_price).get(), amount,
         TDT_GET(order, N::side).get(), TDT_GET(order, N::position_effect).get(), TDT_GET(order, N::market_code).get(),
         TDT_GET(order, N::price).get()});

    py::Ref value = TDT_GET(report, N::total_trade_value);
    py::Ref traded = TDT_GET(report, N::trade_qty);
    // Nothing traded in total yet means no average to take: the previous one stays.
    if (!py::equals(traded.get(), py::integer(0).get())) {
        py::Ref avg = py::Ref::steal_or_raise(PyNumber_TrueDivide(value.get(), traded.get()));
        TDT_SET(order, N::avg_price, avg.get());
    }
    TDT_SET(order, N::filled_quantity, traded.get());
    py::Ref quantity = TDT_GET(report, N::order_qty);
    py::Ref unfilled = py::Ref::steal_or_raise(PyNumber_Subtract(quantity.get(), traded.get()));
    TDT_SET(order, N::unfilled_quantity, unfilled.get());

    if (IS_ANY(report_status, N::OrderStatusType, {N::Filled})) {
        set_status(order, N::FILLED);
    } else if (IS_ANY(report_status, N::OrderStatusType, {N::PartiallyFilled})) {
        set_status(order, N::PARTIALLY_FILLED);
    }

    host::Post post(N::TRADE);
    py::Ref copy = host::deep_copy(order);
    post(py::Kw<N::account, N::trade, N::order>{}, {account, trade.get(), copy.get()});
}

// PartiallyFilled, Filled, the two cancelled and the two cancel-pending statuses.
void executed(PyObject* report, PyObject* order, PyObject* account, PyObject* report_status) {
    py::Ref amount = TDT_GET(report, N::last_match_qty);
    if (positive(amount.get())) filled(report, order, account, report_status, amount.get());

    if (IS_ANY(report_status, N::OrderStatusType, {N::PartiallyFilledPartiallyCancelled, N::Cancelled})) {
        set_status(order, N::CANCELLED);
        post_order_event(N::ORDER_CANCELLATION_PASS, account, order);
    } else if (IS_ANY(report_status, N::OrderStatusType, {N::PartiallyFilledWaitCancelled, N::WaitCancelled})) {
        py::Ref filled_quantity = TDT_GET(order, N::filled_quantity);
        if (positive(filled_quantity.get())) set_status(order, N::PARTIALLY_FILLED);
        post_order_event(N::ORDER_PENDING_CANCEL, account, order);
    }
}

// Reject: the reason is "<error_code>_<error_msg>".
void rejected(PyObject* report, PyObject* order, PyObject* account) {
    py::Bound mark_rejected = py::bind_method(order, N::mark_rejected);
    py::Ref code_text = py::Ref::steal_or_raise(PyObject_Str(TDT_GET(report, N::error_code).get()));
    py::Ref head = py::Ref::steal_or_raise(PyNumber_Add(code_text.get(), py::name(N::underscore)));
    py::Ref reason = py::Ref::steal_or_raise(PyNumber_Add(head.get(), TDT_GET(report, N::error_msg).get()));
    mark_rejected({reason.get()});
    py::Bound set_frozen_cash = py::bind_method(order, N::set_frozen_cash);
    set_frozen_cash({TDT_GET(report, N::frozen_trade_value).get()});
    post_order_event(N::ORDER_UNSOLICITED_UPDATE, account, order);
}

}  // namespace

py::Ref on_order(PyObject* const* args) {
    PyObject* report = args[1];
    log_report(report);
    py::Ref order = known_order(report);
    if (!order) return py::none();
    py::Ref account = host::account_for([&] { return TDT_GET(order.get(), N::market_code); });

    py::Ref status = TDT_GET(report, N::order_status);
    if (IS_ANY(status.get(), N::OrderStatusType, {N::UnSend, N::Sended})) {
        accepted(report, order.get(), account.get());
    } else if (IS_ANY(status.get(), N::OrderStatusType,
                      {N::PartiallyFilled, N::Filled, N::PartiallyFilledPartiallyCancelled, N::WaitCancelled,
                       N::PartiallyFilledWaitCancelled, N::Cancelled})) {
        executed(report, order.get(), account.get(), status.get());
    } else if (IS_ANY(status.get(), N::OrderStatusType, {N::Reject})) {
        rejected(report, order.get(), account.get());
    }
    return py::none();
}

// Fills reach the host through the order reports' last-match fields; this report is not used.
py::Ref on_trade(PyObject* const*) { return py::none(); }

// Every refused action on a known order is a refused cancellation; the order stays as it is.
py::Ref on_order_action_error(PyObject* const* args) {
    py::Ref order = known_order(args[1]);
    if (!order) return py::none();
    py::Ref account = host::account_for([&] { return TDT_GET(order.get(), N::market_code); });
    post_order_event(N::ORDER_CANCELLATION_REJECT, account.get(), order.get());
    return py::none();
}

}  // namespace adapter
