// Construction and initialisation: the adapter's own attributes, then the brokers, the bar
// subscription, `tovik_params`, and the daily timer chain.
#include "adapter/adapter.hpp"
#include "host/host.hpp"
#include "module.hpp"

namespace adapter {
namespace {

// `self.config.base`, read afresh at each use.
py::Ref config_base(PyObject* self) {
    py::Ref config = py::getattr(self, N::config);
    return py::getattr(config.get(), N::base);
}

// The destination of an account string "<account>_<destination>".
py::Ref destination(PyObject* account_string) {
    py::Ref parts = py::call_method(account_string, N::split, {py::name(N::underscore)});
    auto [account, dest] = py::unpack2(parts.get());
    return std::move(dest);
}

py::Ref upper(PyObject* text) { return py::call_method(text, N::upper); }

void register_md_broker(PyObject* self) {
    py::Ref base = config_base(self);
    py::Ref md_type = py::getattr_quiet(base.get(), N::md_type);
    bool tomd = md_type && py::equals(md_type.get(), py::name(N::ToMD));
    py::Bound add_md_broker = py::bind_method(py::getattr(self, N::context).get(), N::add_md_broker);
    py::Ref member = TDT_MEMBER(N::MDType, tomd ? N::ToMD : N::AMD);
    add_md_broker({member.get()});
    py::setitem(py::global(N::tovik_params).get(), py::name(N::tovik_md), member.get());
}

void set_order_way(PyObject* self) {
    py::Ref base = config_base(self);
    py::Ref order_way = py::getattr_quiet(base.get(), N::order_way);
    if (!order_way) return;
    py::Ref context = py::getattr(self, N::context);
    py::call_method(context.get(), N::set_order_way, {order_way.get()});
}

// One trading broker per account; "tovik_td" ends with the last one's type.
void register_td_brokers(PyObject* self) {
    py::Ref base = config_base(self);
    py::Ref accounts = py::getattr(base.get(), N::accounts);
    py::Ref items = py::call_method(accounts.get(), N::items);
    py::Ref iter = py::Ref::steal_or_raise(PyObject_GetIter(items.get()));
    while (py::Ref item = py::Ref::steal_or_empty(PyIter_Next(iter.get()))) {
        auto [account_type, account_string] = py::unpack2(item.get());
        py::Ref dest = destination(account_string.get());
        py::Bound add_td_broker = py::bind_method(py::getattr(self, N::context).get(), N::add_td_broker);
        py::Ref to_td_type = py::global(N::get_tovik_tdtype);
        py::Ref dest_upper = upper(dest.get());
        add_td_broker({py::call(to_td_type.get(), {dest_upper.get()}).get()});
        // The conversion runs again for the published value.
        py::Ref published = py::call(py::global(N::get_tovik_tdtype).get(), {dest_upper.get()});
        py::setitem(py::global(N::tovik_params).get(), py::name(N::tovik_td), published.get());
    }
    if (PyErr_Occurred()) py::raise();
}

void register_algo_broker(PyObject* self) {
    py::Ref base = config_base(self);
    py::Ref algo_account = py::getattr_quiet(base.get(), N::algo_account);
    if (!algo_account || algo_account.get() == Py_None) return;
    py::Ref dest = destination(algo_account.get());
    if (!py::equals(upper(dest.get()).get(), py::name(N::ATX))) return;
    py::Bound add_algo_broker = py::bind_method(py::getattr(self, N::context).get(), N::add_algo_broker);
    py::Ref atx = TDT_MEMBER(N::AlgoType, N::ATX);
    add_algo_broker({atx.get()});
}

// One-minute bars from the registered market-data broker; a new code list on every call.
void subscribe_bars(PyObject* self) {
    py::Bound subscribe = py::bind_method(py::getattr(self, N::context).get(), N::subscribe);
    py::Ref md_type = py::getitem(py::global(N::tovik_params).get(), py::name(N::tovik_md));
    py::Ref market = TDT_MEMBER(N::MarketType, N::SZSE);
    py::Ref data_type = TDT_MEMBER(N::SubscribeDataType, N::Bar);
    py::Ref codes = py::Ref::steal_or_raise(PyList_New(0));
    subscribe({md_type.get(), market.get(), data_type.get(), codes.get(), py::name(N::one_minute)});
}

}  // namespace

py::Ref init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* config = args[1];
    // super().__init__(), bound to TovikStrategy: the SDK base sets up `context`.
    py::Ref cls = py::Ref::borrow(mod::strategy_class());
    py::Ref super = py::call(reinterpret_cast<PyObject*>(&PySuper_Type), {cls.get(), self});
    py::call_method(super.get(), N::dunder_init);

    py::setattr(self, N::logged_in, Py_False);
    py::setattr(self, N::order_num, py::integer(0).get());
    py::setattr(self, N::bar_cnt, py::integer(0).get());
    py::setattr(self, N::current_trade_dt, py::integer(0).get());
    py::Ref now = py::call_method(py::global(N::datetime).get(), N::now);
    py::Ref today = py::call_method(now.get(), N::date);
    py::setattr(self, N::first_dt, today.get());
    py::setattr(self, N::config, config);
    return py::none();
}

// The `config` argument is not used: everything is read through `self.config`.
py::Ref initialize(PyObject* const* args) {
    PyObject* self = args[0];
    static const py::Literal k_initialize{"TovikStrategy initialize..."};
    host::log_info().lit(k_initialize).write();
    register_md_broker(self);
    set_order_way(self);
    register_td_brokers(self);
    register_algo_broker(self);
    py::Ref context = py::getattr(self, N::context);
    py::setitem(py::global(N::tovik_params).get(), py::name(N::tovik_context), context.get());
    subscribe_bars(self);
    py::call_method(self, N::set_timer);
    return py::none();
}

py::Ref on_initialize(PyObject* const*) { return py::none(); }

}  // namespace adapter
