// Entry point and load sequence of `halvex.lumet.utils.trade_data_thread`.
//
// One module object per process, in the main interpreter: the create slot hands out the same object
// on every import and refuses every sub-interpreter; the exec slot runs the load sequence once.
#include "module.hpp"

#include "adapter/adapter.hpp"
#include "marketdata/marketdata.hpp"
#include "py/attr.hpp"
#include "py/call.hpp"
#include "py/function.hpp"
#include "py/layout.hpp"
#include "py/stats.hpp"

#include <cstring>
#include <initializer_list>

#if defined(TDT_REQUIRE_PY_DEBUG) && !defined(Py_DEBUG)
#error "TDT_REQUIRE_PY_DEBUG: these Python headers are not a debug build's (Py_DEBUG is not defined)"
#endif

namespace mod {
namespace {

// Process-wide state. The module object is kept for the life of the process.
struct State {
    PyObject* module = nullptr;       // handed out by every create; owned
    PyObject* loading_for = nullptr;  // the module object the load sequence ran (or runs) for
    PyObject* strategy_class = nullptr;  // owned
};
State g_state;

// ---- imports ---------------------------------------------------------------------------------

// `from <module> import name`: the attribute, else the submodule already loaded under that name.
py::Ref import_from(PyObject* module, PyObject* name) {
    PyObject* value = nullptr;
    if (py::check(py::compat::lookup_attr(module, name, &value))) return py::Ref::steal_or_raise(value);
    py::Ref module_name = py::getattr(module, N::dunder_name);
    py::Ref full = py::Ref::steal_or_raise(PyUnicode_FromFormat("%S.%S", module_name.get(), name));
    PyObject* loaded = PyImport_GetModule(full.get());
    if (loaded) return py::Ref::steal_or_raise(loaded);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    py::raise();
}

py::Ref import_module(const char* dotted, PyObject* fromlist) {
    py::Ref name = py::Ref::steal_or_raise(PyUnicode_FromString(dotted));
    return py::Ref::steal_or_raise(PyImport_ImportModuleLevelObject(name.get(), py::globals_dict(), nullptr, fromlist, 0));
}

void bind(N name, PyObject* value) { py::check(PyDict_SetItem(py::globals_dict(), py::name(name), value)); }

// from <module> import a, b, ...
void import_names(const char* module_name, std::initializer_list<N> names) {
    py::Ref fromlist = py::Ref::steal_or_raise(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (N n : names) PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(py::name(n)));
    py::Ref module = import_module(module_name, fromlist.get());
    for (N n : names) bind(n, import_from(module.get(), py::name(n)).get());
}

// from <module> import <name> as <alias>
void import_name_as(const char* module_name, N name, N alias) {
    py::Ref fromlist = py::Ref::steal_or_raise(PyTuple_Pack(1, py::name(name)));
    py::Ref module = import_module(module_name, fromlist.get());
    bind(alias, import_from(module.get(), py::name(name)).get());
}

// import <a.b.c> as <alias>: the innermost module itself.
void import_module_as(const char* dotted, N alias) {
    py::Ref module = import_module(dotted, nullptr);  // the top-level package
    const char* part = dotted;
    while ((part = std::strchr(part, '.')) != nullptr) {
        ++part;
        const char* end = std::strchr(part, '.');
        py::Ref attr = py::Ref::steal_or_raise(end ? PyUnicode_FromStringAndSize(part, end - part) : PyUnicode_FromString(part));
        module = import_from(module.get(), attr.get());
    }
    bind(alias, module.get());
}

// from <module> import *: the names of `__all__`, else every public name of the namespace.
void import_star(const char* module_name) {
    py::Ref fromlist = py::Ref::steal_or_raise(PyTuple_Pack(1, py::name(N::star)));
    py::Ref module = import_module(module_name, fromlist.get());
    PyObject* raw = nullptr;
    bool skip_private = false;
    if (!py::check(py::compat::lookup_attr(module.get(), py::name(N::dunder_all), &raw))) {
        if (!py::check(py::compat::lookup_attr(module.get(), py::name(N::dunder_dict), &raw))) {
            PyErr_SetString(PyExc_ImportError, "from-import-* object has no __dict__ and no __all__");
            py::raise();
        }
        py::Ref dict = py::Ref::steal_or_raise(raw);
        raw = PyMapping_Keys(dict.get());
        skip_private = true;
    }
    py::Ref names = py::Ref::steal_or_raise(raw);
    py::Ref iter = py::Ref::steal_or_raise(PyObject_GetIter(names.get()));
    while (py::Ref name = py::Ref::steal_or_empty(PyIter_Next(iter.get()))) {
        if (!PyUnicode_Check(name.get())) {
            PyErr_Format(PyExc_TypeError, "%s in %s.%s must be str, not %.100s", skip_private ? "Key" : "Item",
                         module_name, skip_private ? "__dict__" : "__all__", Py_TYPE(name.get())->tp_name);
            py::raise();
        }
        if (skip_private && PyUnicode_READ_CHAR(name.get(), 0) == '_') continue;
        py::Ref value = py::Ref::steal_or_raise(PyObject_GetAttr(module.get(), name.get()));
        py::check(PyDict_SetItem(py::globals_dict(), name.get(), value.get()));
    }
    if (PyErr_Occurred()) py::raise();
}

// The names the module binds, in import order. The host framework first, then the libraries,
// then the SDK.
void import_all() {
    import_names("halvex.lumet.environment", {N::Environment});
    import_names("halvex.lumet.core.events", {N::EVENT, N::Event});
    import_names("halvex.lumet.model.tick", {N::TickObject});
    import_names("halvex.lumet.model.trade", {N::Trade});
    import_names("halvex.lumet.model.l2_order", {N::L2Order});
    import_names("halvex.lumet.model.l2_transaction", {N::L2Transaction});
    import_names("halvex.lumet.utils.datetime_func", {N::convert_int_to_whole_date, N::convert_int_to_datetime});
    import_names("halvex.lumet.utils.trade_func",
                 {N::get_exchane_from_tovik_mdtype, N::get_tovik_tdtype, N::get_side_from_tovik_l2_order,
                  N::get_order_type_from_tovik_l2_order, N::get_trade_type_from_tovik,
                  N::get_l2order_type_from_tovik});
    import_names("halvex.lumet.utils.logger", {N::system_log});
    import_names("halvex.lumet.model.algo_parent_order", {N::AlgoParentOrder});
    import_names("halvex.lumet.model.algo_child_order", {N::AlgoChildOrder});
    import_names("halvex.lumet.model.algo_child_trade", {N::AlgoChildTrade});
    import_names("halvex.lumet.const", {N::ORDER_STATUS, N::POSITION_DIRECTION, N::SIDE});
    import_names("halvex.lumet.portfolio.account", {N::Asset});
    import_names("halvex.lumet.portfolio.position", {N::Position});
    import_name_as("numpy_ringbuffer", N::RingBuffer, N::RB);
    import_module_as("numpy", N::np);
    import_names("collections", {N::deque});
    import_module_as("copy", N::copy);
    import_names("datetime", {N::datetime, N::time, N::timedelta});
    import_module_as("pytovik.strategy", N::strategy);
    import_star("pytovik.enums");
}

// ---- shared state ----------------------------------------------------------------------------

py::Ref new_dict() { return py::Ref::steal_or_raise(PyDict_New()); }

void create_shared_state() {
    bind(N::tovik_params, new_dict().get());
    // A fixed-capacity FIFO of any object; when full, appending drops the oldest event.
    py::Ref capacity = py::integer(1000000);
    py::Ref ring = py::call(py::global(N::RB).get(), {}, py::Kw<N::capacity, N::dtype>{},
                            {capacity.get(), reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    bind(N::event_queue, ring.get());
    for (N cache : {N::history_bar, N::history_tick, N::orders_dict, N::algo_parent_orders, N::algo_child_orders,
                    N::algo_child_trades})
        bind(cache, new_dict().get());
}

// ---- load sequence -----------------------------------------------------------------------------

void warn_on_version_mismatch() {
    PyObject* info = PySys_GetObject("version_info");  // borrowed
    if (!info) {
        PyErr_SetString(PyExc_RuntimeError, "sys.version_info is missing");
        py::raise();
    }
    long major = PyLong_AsLong(PyTuple_GetItem(info, 0));
    long minor = PyLong_AsLong(PyTuple_GetItem(info, 1));
    if (PyErr_Occurred()) py::raise();
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    py::check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                               "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                               PY_MAJOR_VERSION, PY_MINOR_VERSION, k_qualified_name, "does not match", (int)major,
                               (int)minor));
}

void load(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed; the module keeps it
    py::bind_globals(dict);
    py::Ref builtins = py::Ref::steal_or_raise(PyImport_ImportModule("builtins"));
    bind(N::dunder_builtins, builtins.get());
    warn_on_version_mismatch();

    py::Ref modules = py::Ref::borrow(PyImport_GetModuleDict());
    py::Ref qualified = py::Ref::steal_or_raise(PyUnicode_FromString(k_qualified_name));
    if (!py::check(PyDict_Contains(modules.get(), qualified.get())))
        py::check(PyDict_SetItem(modules.get(), qualified.get(), module));

    import_all();
    py::layout::check_all();
    create_shared_state();
    PyObject* module_name = qualified.get();
    for (const py::FunctionDef& def : marketdata::k_query_functions)
        bind(def.name, py::make_function(def, "", module_name).get());
    if constexpr (py::stats::k_enabled)
        bind(py::stats::k_function.name, py::make_function(py::stats::k_function, "", module_name).get());

    py::Ref base = py::getattr(py::global(N::strategy).get(), N::TovikStrategy);
    py::Ref cls = adapter::make_strategy_class(base.get(), module_name);
    bind(N::TovikStrategy, cls.get());
    // Kept for the argument-free `super` of __init__, even if the host rebinds the module name.
    g_state.strategy_class = Py_NewRef(cls.get());
    bind(N::dunder_test, new_dict().get());
}

// ---- slots -------------------------------------------------------------------------------------

PyObject* create_module(PyObject* spec) {
#ifdef Py_GIL_DISABLED
    // Everything here relies on the GIL (the layout reads, the borrowed references, the caches).
    // Declaring Py_mod_gil would not ensure one: PYTHON_GIL=0 or -X gil=0 turn it off whatever a
    // module declares.
    PyErr_Format(PyExc_ImportError, "module '%s' does not support free-threaded builds of Python", k_qualified_name);
    py::raise();
#endif
    // Refused before anything is imported: libraries the load imports (numpy among them) can be
    // initialised once per process only, and a sub-interpreter's load would break the main one's.
    // Once the main interpreter has the module, the attempt is an interpreter change.
    if (py::compat::interpreter() != PyInterpreterState_Main()) {
        if (g_state.module)
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one interpreter per "
                            "process.");
        else
            PyErr_Format(PyExc_ImportError, "module '%s' can only be loaded in the main interpreter, not in a "
                         "sub-interpreter", k_qualified_name);
        py::raise();
    }
    if (g_state.module) return Py_NewRef(g_state.module);
    py::init_names();
    py::ready_function_type();

    py::Ref spec_name = py::getattr(spec, N::name);
    py::Ref module = py::Ref::steal_or_raise(PyModule_NewObject(spec_name.get()));
    PyObject* dict = PyModule_GetDict(module.get());
    struct Copy { N from, to; bool skip_none; };
    for (Copy c : {Copy{N::loader, N::dunder_loader, false}, Copy{N::origin, N::dunder_file, false},
                   Copy{N::parent, N::dunder_package, false},
                   Copy{N::submodule_search_locations, N::dunder_path, true}}) {
        PyObject* value = nullptr;
        if (!py::check(py::compat::lookup_attr(spec, py::name(c.from), &value))) continue;
        py::Ref owned = py::Ref::steal_or_raise(value);
        if (c.skip_none && value == Py_None) continue;
        py::check(PyDict_SetItem(dict, py::name(c.to), value));
    }
    g_state.module = Py_NewRef(module.get());
    return module.release();
}

PyObject* create(PyObject* spec, PyModuleDef*) noexcept {
    return py::boundary([&] { return create_module(spec); }, static_cast<PyObject*>(nullptr));
}

int exec(PyObject* module) noexcept {
    if (g_state.loading_for == module) return 0;
    if (g_state.loading_for) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'trade_data_thread' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_state.loading_for = module;
    int rc = py::boundary([&] {
        try {
            load(module);
        } catch (const py::Error&) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init halvex.lumet.utils.trade_data_thread");
            throw;
        }
        return 0;
    }, -1);
    if (rc == 0) return 0;
    // The importer's traceback ends in an entry that names the load (`File "trade_data_thread",
    // line 1, in init halvex.lumet.utils.trade_data_thread`), not in the importer's own line.
    _PyTraceback_Add("init halvex.lumet.utils.trade_data_thread", "trade_data_thread", 1);
    // A failed load leaves nothing usable behind: what survives of it (the class, its functions)
    // raises when called, and the next import starts over on a new object.
    py::unbind_globals();
    g_state.loading_for = nullptr;
    Py_CLEAR(g_state.strategy_class);
    Py_CLEAR(g_state.module);
    return -1;
}

PyModuleDef_Slot k_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef k_definition = {
    PyModuleDef_HEAD_INIT, "trade_data_thread", nullptr, 0, nullptr, k_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject* strategy_class() noexcept { return g_state.strategy_class; }

}  // namespace mod

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_trade_data_thread() {
    return PyModuleDef_Init(&mod::k_definition);
}
