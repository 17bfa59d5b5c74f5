"""setkit and quantkit against plain-Python functions with the same bodies.

Run: python bench/bench_frame.py
"""

import datetime
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import compare, header  # noqa: E402

from tarvex_func.function import quantkit, setkit  # noqa: E402


def list_diff(list1, list2):
    return list(set(list1) - set(list2))


def list_set(list1):
    return list(set(list1))


def list_intersect(list1, list2):
    return list(set(list1) & set(list2))


def number_str(x):
    return str(x)


def number_int(x):
    return int(x)


def number_float(x):
    return float(x)


def number_time(x, fmt="%Y-%m-%d %H:%M:%S.%f"):
    try:
        datetime_object = datetime.datetime.fromtimestamp(x)
        return datetime_object.strftime(fmt)
    except Exception as e:
        return e


def bench_setkit():
    for size, label in [(4, "small"), (10_000, "large")]:
        a = list(range(size))
        b = list(range(0, size, 2))
        header(f"setkit, {label} inputs ({size} elements)")
        twins = {"list_diff": list_diff, "list_set": list_set, "list_intersect": list_intersect}
        for name, twin in twins.items():
            ns = {"native": getattr(setkit, name), "twin": twin, "a": a, "b": b}
            if name == "list_set":
                compare(f"{name} positional", "native(a)", "twin(a)", namespace=ns)
                compare(f"{name} keyword", "native(list1=a)", "twin(list1=a)", namespace=ns)
            else:
                compare(f"{name} positional", "native(a, b)", "twin(a, b)", namespace=ns)
                compare(f"{name} keyword", "native(list1=a, list2=b)", "twin(list1=a, list2=b)",
                        namespace=ns)


def bench_quantkit():
    header("quantkit")
    cases = [
        ("number_str", number_str, 12),
        ("number_int", number_int, "42"),
        ("number_int (exact int)", number_int, 42),
        ("number_float", number_float, "2.5"),
        ("number_float (exact float)", number_float, 2.5),
        ("number_time", number_time, 1.5),
        ("number_time (failure)", number_time, "bad"),
    ]
    for label, twin, value in cases:
        ns = {"native": getattr(quantkit, twin.__name__), "twin": twin, "value": value}
        compare(f"{label} positional", "native(value)", "twin(value)", namespace=ns)
        compare(f"{label} keyword", "native(x=value)", "twin(x=value)", namespace=ns)


def bench_keyword_cost():
    header("keyword call against positional call of the same native function "
           "(ratio = keyword time / positional time)")
    ns = {"setkit": setkit, "quantkit": quantkit, "a": [1, 2, 3, 4], "b": [2, 3]}
    compare("list_diff", "setkit.list_diff(a, b)", "setkit.list_diff(list1=a, list2=b)",
            namespace=ns)
    compare("number_time", "quantkit.number_time(0)", "quantkit.number_time(x=0)", namespace=ns)
    compare("number_str", "quantkit.number_str('a')", "quantkit.number_str(x='a')",
            namespace=ns)


if __name__ == "__main__":
    bench_setkit()
    bench_quantkit()
    bench_keyword_cost()
