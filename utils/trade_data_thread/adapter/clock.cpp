// The trading-day clock: the daily timer chain, the three day events, and the day switch.
//
// The clock keeps no state: every arming is one SDK timer that calls a bound method once. The
// current time is read through the module globals `datetime` and `np` at each use, so the host can
// run the clock on a clock of its own.
#include "adapter/adapter.hpp"
#include "host/host.hpp"
#include "py/caught.hpp"

namespace adapter {
namespace {

// The day timers, in arming order: armed for today's `at` while the time of day is before
// `before`, and otherwise with `late_delay_ns` (none when 0).
struct DayTimer {
    int before_hour, before_minute;
    int at_hour, at_minute;
    long long late_delay_ns;
    N callback;
};
constexpr DayTimer k_day_timers[] = {
    {9, 0, 9, 0, 3'000'000'000LL, N::send_before_trading_event},
    {9, 27, 9, 24, 0, N::send_open_auction_event},  // the auction is due at 09:24 until 09:27
    {15, 30, 15, 30, 20'000'000'000LL, N::send_after_trading_event},
};

py::Ref now() { return py::call_method(py::global(N::datetime).get(), N::now); }

// `time(hour, minute)`.
py::Ref time_of_day(int hour, int minute) {
    py::Ref time_cls = py::global(N::time);
    py::Ref h = py::integer(hour), m = py::integer(minute);
    return py::call(time_cls.get(), {h.get(), m.get()});
}

// `int(time_diff.total_seconds() * 1000000000)`: a float product truncated toward zero.
py::Ref nanoseconds(PyObject* time_diff) {
    py::Ref seconds = py::call_method(time_diff, N::total_seconds);
    py::Ref billion = py::integer(1'000'000'000LL);
    py::Ref product = py::Ref::steal_or_raise(PyNumber_Multiply(seconds.get(), billion.get()));
    return py::Ref::steal_or_raise(PyNumber_Long(product.get()));
}

// `self.context.add_timer_interval(<delay>, self.<callback>)`: the context and its method first,
// then the delay, then the bound callback, as the call is written.
template <class MakeDelay>
void add_timer(PyObject* self, MakeDelay make_delay, N callback) {
    py::Bound add_timer_interval = py::bind_method(py::getattr(self, N::context).get(), N::add_timer_interval);
    py::Ref delay = make_delay();
    py::Ref bound = py::getattr(self, callback);
    add_timer_interval({delay.get(), bound.get()});
}

void arm_day_timer(PyObject* self, const DayTimer& timer, PyObject* now, PyObject* current_time) {
    py::Ref before = time_of_day(timer.before_hour, timer.before_minute);
    if (py::compare(current_time, before.get(), Py_LT)) {
        // `datetime.combine(now.date(), at) - now`, negative when already past `at`: passed on unchanged.
        add_timer(self, [&] {
            py::Bound combine = py::bind_method(py::global(N::datetime).get(), N::combine);
            py::Ref date = py::call_method(now, N::date);
            py::Ref at = time_of_day(timer.at_hour, timer.at_minute);
            py::Ref target = combine({date.get(), at.get()});
            py::Ref time_diff = py::Ref::steal_or_raise(PyNumber_Subtract(target.get(), now));
            return nanoseconds(time_diff.get());
        }, timer.callback);
    } else if (timer.late_delay_ns != 0) {
        add_timer(self, [&] { return py::integer(timer.late_delay_ns); }, timer.callback);
    }
}

// Arms set_timer for 08:00:00 on the next calendar day.
void arm_next_day(PyObject* self) {
    py::Ref first_reading = now();
    py::Ref replace = py::getattr(first_reading.get(), N::replace);
    py::Ref eight = py::integer(8), zero = py::integer(0);
    py::Ref today_8am = py::call(replace.get(), {}, py::Kw<N::hour, N::minute, N::second, N::microsecond>{},
                                 {eight.get(), zero.get(), zero.get(), zero.get()});
    py::Ref one = py::integer(1);
    py::Ref one_day = py::call(py::global(N::timedelta).get(), {}, py::Kw<N::days>{}, {one.get()});
    py::Ref tomorrow_8am = py::Ref::steal_or_raise(PyNumber_Add(today_8am.get(), one_day.get()));
    py::Ref time_diff = py::Ref::steal_or_raise(PyNumber_Subtract(tomorrow_8am.get(), now().get()));
    add_timer(self, [&] { return nanoseconds(time_diff.get()); }, N::set_timer);
}

// `self.send_day_event(EVENT.<kind>, datetime.now())`.
void send_now(PyObject* self, N kind) {
    py::Bound send_day_event = py::bind_method(self, N::send_day_event);
    py::Ref event_type = TDT_MEMBER(N::EVENT, kind);
    send_day_event({event_type.get(), now().get()});
}

}  // namespace

// The SDK's day switch empties every cache; the dictionaries themselves stay.
py::Ref on_switch_day(PyObject* const*) {
    for (N cache : {N::orders_dict, N::history_bar, N::history_tick, N::algo_parent_orders, N::algo_child_orders,
                    N::algo_child_trades})
        py::call_method(py::global(cache).get(), N::clear);
    return py::none();
}

py::Ref set_timer(PyObject* const* args) {
    PyObject* self = args[0];
    try {
        py::call_method(self, N::create_time_listener);
    } catch (const py::Error&) {
        // A failed day does not end the chain: tomorrow's run is armed first, then the error goes
        // on. Should arming fail too, that error goes on instead, carrying the first one as its
        // __context__ (as in a `finally` block).
        py::Caught error;
        arm_next_day(self);
        error.reraise();
    }
    arm_next_day(self);
    return py::none();
}

py::Ref create_time_listener(PyObject* const* args) {
    PyObject* self = args[0];
    py::Ref current_date =
        py::call_method(py::global(N::np).get(), N::datetime64, {py::name(N::today), py::name(N::D)});
    py::Ref config = py::getattr(self, N::config);
    py::Ref base = py::getattr(config.get(), N::base);
    py::Ref calendar = py::getattr(base.get(), N::trading_calendar);
    if (!py::contains(calendar.get(), current_date.get())) {
        static const py::Literal k_not_trade_day{" not trade day... "};
        host::log_info().val(current_date.get()).lit(k_not_trade_day).val(calendar.get()).write();
        return py::none();
    }
    // One reading of the clock for all three timers.
    py::Ref current = now();
    py::Ref current_time = py::call_method(current.get(), N::time);
    for (const DayTimer& timer : k_day_timers) arm_day_timer(self, timer, current.get(), current_time.get());
    return py::none();
}

py::Ref send_day_event(PyObject* const* args) {
    PyObject* event_type = args[1];
    PyObject* dt = args[2];
    host::Post post(event_type);
    post(py::Kw<N::calendar_dt, N::trading_dt>{}, {dt, dt});
    return py::none();
}

py::Ref send_before_trading_event(PyObject* const* args) {
    send_now(args[0], N::BEFORE_TRADING);
    return py::none();
}

py::Ref send_open_auction_event(PyObject* const* args) {
    send_now(args[0], N::OPEN_AUCTION);
    return py::none();
}

// The host's orders of the day are dropped once the after-trading event is on the queue.
py::Ref send_after_trading_event(PyObject* const* args) {
    send_now(args[0], N::AFTER_TRADING);
    py::call_method(py::global(N::orders_dict).get(), N::clear);
    return py::none();
}

}  // namespace adapter
