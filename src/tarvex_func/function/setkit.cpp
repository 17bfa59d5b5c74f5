// setkit: set operations on lists.
#include "frame.hpp"

namespace {
using namespace tarvex;

// --- functions -----------------------------------------------------------------

constexpr Spec list_diff_spec{
    .name = "list_diff",
    .doc = "list_diff(list1, list2)",
    .line = 12,
    .params = {"list1", "list2"},
};

constexpr Spec list_set_spec{
    .name = "list_set",
    .doc = "list_set(list1)",
    .line = 16,
    .params = {"list1"},
};

constexpr Spec list_intersect_spec{
    .name = "list_intersect",
    .doc = "list_intersect(list1, list2)",
    .line = 20,
    .params = {"list1", "list2"},
};

// --- bodies --------------------------------------------------------------------

// `list(set(list1) <op> set(list2))`, the sets built left to right.
Ref list_of_sets(PyObject* list1, PyObject* list2, PyObject* (*op)(PyObject*, PyObject*))
{
    Ref set1 = steal(PySet_New(list1));
    if (!set1)
        return {};
    Ref set2 = steal(PySet_New(list2));
    if (!set2)
        return {};
    Ref result = steal(op(set1, set2));
    if (!result)
        return {};
    return steal(PySequence_List(result));
}

Ref list_diff(Site& at, PyObject* list1, PyObject* list2)
{
    at.line(13);
    return list_of_sets(list1, list2, PyNumber_Subtract);
}

Ref list_set(Site& at, PyObject* list1)
{
    at.line(17);
    Ref set1 = steal(PySet_New(list1));
    if (!set1)
        return {};
    return steal(PySequence_List(set1));
}

Ref list_intersect(Site& at, PyObject* list1, PyObject* list2)
{
    at.line(21);
    return list_of_sets(list1, list2, PyNumber_And);
}

// --- module --------------------------------------------------------------------

constexpr Statement statements[] = {
    def<list_diff_spec, list_diff>(),
    def<list_set_spec, list_set>(),
    def<list_intersect_spec, list_intersect>(),
};

constexpr ModuleDef setkit{
    .name = "setkit",
    .doc = "Set operations on lists: difference, distinct elements, intersection.",
    .statements = statements,
    .runs_without_gil = true,
};

} // namespace

PyMODINIT_FUNC PyInit_setkit() { return tarvex::init(setkit); }
