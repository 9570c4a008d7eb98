#include "py/deque.hpp"

#include "py/layout.hpp"
#include "py/lookup.hpp"
#include "py/stats.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <initializer_list>

namespace py {
namespace {

// `dequeobject` and its blocks as Modules/_collectionsmodule.c lays them out from 3.8 to 3.13: the
// items in a chain of blocks of 64, the first at `leftblock->items[leftindex]`, the last at
// `rightblock->items[rightindex]`, the length in `ob_size`. 3.11 put a cache of free blocks before
// the weak-reference list; nothing read here moved.
constexpr Py_ssize_t k_block_len = 64;
struct Block {
    Block* left;
    PyObject* items[k_block_len];
    Block* right;
};
struct Deque {
    PyVarObject head;
    Block* leftblock;
    Block* rightblock;
    Py_ssize_t leftindex;
    Py_ssize_t rightindex;
    std::size_t state;
    Py_ssize_t maxlen;
#if PY_VERSION_HEX >= 0x030B0000
    Py_ssize_t numfreeblocks;
    Block* freeblocks[16];
#endif
    PyObject* weakreflist;
};

// The deque type whose layout passed the check. Our reference keeps it alive: from 3.12 it is a
// heap type, and a type made later at a freed one's address would pass for it.
Kept g_type;

// Calls `each(i, item)` on the newest `take` items of `d` (0 < take <= len(d)), oldest first.
template <class Each>
void walk_newest(const Deque* d, Py_ssize_t take, Each&& each) {
    const Block* b = d->rightblock;
    Py_ssize_t at = d->rightindex - (take - 1);
    for (; at < 0; at += k_block_len) b = b->left;
    for (Py_ssize_t i = 0;;) {
        Py_ssize_t run = std::min(k_block_len - at, take - i);
        for (Py_ssize_t k = 0; k < run; ++k) each(i + k, b->items[at + k]);
        i += run;
        if (i == take) return;
        b = b->right;
        at = 0;
    }
}

// `_collections.deque` when it is the interpreter's own: made by C code (a class made in Python may
// carry any name and size), by that name and of the size laid out above. Else empty.
Ref builtin_deque_type() {
    Ref module = Ref::steal_or_empty(PyImport_ImportModuleLevel("_collections", nullptr, nullptr, nullptr, 0));
    Ref type = module ? Ref::steal_or_empty(PyObject_GetAttrString(module.get(), "deque")) : Ref{};
    if (!type) {
        // `collections` does without the accelerator module too; there is nothing to read then.
        if (!PyErr_ExceptionMatches(PyExc_ImportError) && !PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
        return {};
    }
    if (!PyType_Check(type.get())) return {};
    auto* t = reinterpret_cast<PyTypeObject*>(type.get());
#if PY_VERSION_HEX >= 0x030A0000
    bool from_c = PyType_HasFeature(t, Py_TPFLAGS_IMMUTABLETYPE);  // no class statement sets it
#else
    bool from_c = !PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE);
#endif
    bool laid_out = std::strcmp(t->tp_name, "collections.deque") == 0 &&
                    t->tp_basicsize == static_cast<Py_ssize_t>(sizeof(Deque)) && t->tp_itemsize == 0 &&
                    t->tp_base == &PyBaseObject_Type;
    return from_c && laid_out ? std::move(type) : Ref{};
}

void call(PyObject* d, const char* method, Py_ssize_t arg) {
    Ref value = Ref::steal_or_raise(PyLong_FromSsize_t(arg));
    Ref ignored = Ref::steal_or_raise(PyObject_CallMethod(d, method, "O", value.get()));
}

// Whether the block walk finds every window of `d` where the deque's own item access finds it.
// The indices and the chain of blocks are checked first, so that a layout that is not the one
// above is refused before any block is read through it.
bool reads_back(PyObject* obj) {
    const Py_ssize_t n = PyObject_Size(obj);
    if (n < 0) raise();
    const Deque* d = reinterpret_cast<const Deque*>(obj);
    if (Py_SIZE(obj) != n || n == 0 || d->leftindex < 0 || d->leftindex >= k_block_len || d->rightindex < 0 ||
        d->rightindex >= k_block_len || (d->leftindex + n - 1) % k_block_len != d->rightindex)
        return false;
    const Block* b = d->rightblock;
    for (Py_ssize_t links = (d->leftindex + n - 1) / k_block_len; b && links > 0; --links) b = b->left;
    if (!b || b != d->leftblock) return false;
    for (Py_ssize_t take : {n, n - 1, Py_ssize_t{1}, k_block_len - 1, k_block_len, k_block_len + 1}) {
        if (take < 1 || take > n) continue;
        bool same = true;
        walk_newest(d, take, [&](Py_ssize_t i, PyObject* item) {
            if (!same) return;
            Ref expected = Ref::steal_or_raise(PySequence_GetItem(obj, n - take + i));
            same = expected.get() == item;
        });
        if (!same) return false;
    }
    return true;
}

}  // namespace

Ref newest_of_deque(PyObject* d, Py_ssize_t count) {
    if constexpr (!k_caches || !layout::k_known) return {};
    if (!layout::usable(layout::Layout::deque_blocks) || Py_TYPE(d) != reinterpret_cast<PyTypeObject*>(g_type.get())) {
        stats::miss(stats::Path::deque_window);
        return {};
    }
    const Py_ssize_t size = Py_SIZE(d);
    const Py_ssize_t take = std::min(count, size);
    Ref list = Ref::steal_or_raise(PyList_New(take));
    // Making the list may run the collector, and with it finalizers that change the deque. Nothing
    // after this runs Python code (taking a reference to an item does not), and the blocks are read
    // only now, so the copy is the deque as it is now, as `list(d)` would read it; only `take` was
    // chosen before, and it stands while the length does. A changed length goes the generic way
    // (freeing a list of empty slots runs no code). The deque's mutation counter adds nothing: a
    // change that keeps the length (an append to a full bounded deque) is read as it is now.
    if (Py_SIZE(d) != size) {
        stats::miss(stats::Path::deque_window);
        return {};
    }
    if (take > 0) {
        PyObject** slots = reinterpret_cast<PyListObject*>(list.get())->ob_item;
        walk_newest(reinterpret_cast<const Deque*>(d), take, [slots](Py_ssize_t i, PyObject* item) {
            slots[i] = Py_NewRef(item);  // PyList_SET_ITEM, the slots read once
        });
    }
    stats::hit(stats::Path::deque_window);
    return list;
}

Ref newest_item_of_deque(PyObject* d) {
    if constexpr (!k_caches || !layout::k_known) return {};
    if (!layout::usable(layout::Layout::deque_blocks) || Py_TYPE(d) != reinterpret_cast<PyTypeObject*>(g_type.get()) ||
        Py_SIZE(d) == 0) {
        stats::miss(stats::Path::deque_window);
        return {};
    }
    stats::hit(stats::Path::deque_window);
    const Deque* deque = reinterpret_cast<const Deque*>(d);
    return Ref::borrow(deque->rightblock->items[deque->rightindex]);
}

namespace layout {

// An unbounded deque over five blocks whose left end then moved into its second block and whose
// items rotated across both ends, and a bounded one of 100 that 300 items have passed through, read
// back through the blocks and through the deque's own item access.
bool probe_deque_blocks() {
    if constexpr (!k_known) return false;
    Ref type = builtin_deque_type();
    if (!type) return false;
    Ref unbounded = Ref::steal_or_raise(PyObject_CallObject(type.get(), nullptr));
    for (Py_ssize_t i = 0; i < 230; ++i) call(unbounded.get(), "append", i);
    for (int i = 0; i < 40; ++i) Ref::steal_or_raise(PyObject_CallMethod(unbounded.get(), "popleft", nullptr));
    call(unbounded.get(), "rotate", 100);
    for (Py_ssize_t i = 230; i < 240; ++i) call(unbounded.get(), "appendleft", i);

    Ref empty = Ref::steal_or_raise(PyTuple_New(0));
    Ref bounded = Ref::steal_or_raise(PyObject_CallFunction(type.get(), "On", empty.get(), Py_ssize_t{100}));
    for (Py_ssize_t i = 0; i < 300; ++i) call(bounded.get(), "append", i);

    if (!reads_back(unbounded.get()) || !reads_back(bounded.get())) return false;
    g_type.reset(std::move(type));
    return true;
}

}  // namespace layout
}  // namespace py
