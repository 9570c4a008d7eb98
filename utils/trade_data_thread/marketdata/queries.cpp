// The host's queries over the tick and bar histories. Each takes one consistent view of the
// history: a code whose buffer disappears while the query runs (the day switch) reads as absent.
#include "marketdata/marketdata.hpp"
#include "py/attr.hpp"
#include "py/deque.hpp"

namespace marketdata {
namespace {

// The buffer stored under `code`, or an empty Ref when the code has none.
py::Ref buffer_of(N history_name, PyObject* code) {
    py::Ref history = py::global(history_name);
    if (PyDict_CheckExact(history.get())) {
        return py::Ref::borrow_or_empty(PyDict_GetItemWithError(history.get(), code));
    }
    // A mapping the host put in its place: its own membership test, then the fetch.
    if (!py::contains(history.get(), code)) return {};
    PyObject* buffer = PyObject_GetItem(history.get(), code);
    if (!buffer && PyErr_ExceptionMatches(PyExc_KeyError)) PyErr_Clear();
    return py::Ref::steal_or_empty(buffer);
}

py::Ref current(N history_name, PyObject* code) {
    py::Ref buffer = buffer_of(history_name, code);
    if (!buffer) {
        if (PyErr_Occurred()) py::raise();
        return py::none();
    }
    if (py::Ref newest = py::newest_item_of_deque(buffer.get())) return newest;
    return py::item_at(buffer.get(), -1);
}

// The newest `count` records, oldest first, as a new list.
py::Ref window(N history_name, PyObject* code, PyObject* count) {
    py::Ref buffer = buffer_of(history_name, code);
    if (!buffer) {
        if (PyErr_Occurred()) py::raise();
        return py::none();
    }
    py::Ref index = py::Ref::steal_or_raise(PyNumber_Index(count));
    Py_ssize_t wanted = PyNumber_AsSsize_t(index.get(), nullptr);  // clipped to the ssize_t range
    if (wanted < 0) {
        PyErr_Format(PyExc_ValueError, "count must be a non-negative integer, not %S", index.get());
        py::raise();
    }
    if (py::Ref newest = py::newest_of_deque(buffer.get(), wanted)) return newest;
    py::Ref all = py::Ref::steal_or_raise(PySequence_List(buffer.get()));
    Py_ssize_t size = PyList_GET_SIZE(all.get());
    if (wanted >= size) return all;
    return py::Ref::steal_or_raise(PyList_GetSlice(all.get(), size - wanted, size));
}

py::Ref get_current_bar(PyObject* const* args) { return current(N::history_bar, args[0]); }
py::Ref get_current_tick(PyObject* const* args) { return current(N::history_tick, args[0]); }
py::Ref history_ticks(PyObject* const* args) { return window(N::history_tick, args[0], args[1]); }
py::Ref history_bars(PyObject* const* args) { return window(N::history_bar, args[0], args[1]); }

}  // namespace

const py::FunctionDef k_query_functions[4] = {
    {N::get_current_bar, 1, {N::market_code}, get_current_bar},
    {N::get_current_tick, 1, {N::market_code}, get_current_tick},
    {N::history_ticks, 2, {N::market_code, N::count}, history_ticks},
    {N::history_bars, 2, {N::market_code, N::count}, history_bars},
};

}  // namespace marketdata
