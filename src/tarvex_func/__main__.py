"""A short tour of the package: `python -m tarvex_func`."""

from tarvex_func.function import quantkit, setkit


def show(expression, value):
    print(f"{expression:<45} -> {value!r}")


def main():
    show("setkit.list_diff([1, 2, 2, 3], [2])", setkit.list_diff([1, 2, 2, 3], [2]))
    show("setkit.list_set([3, 1, 3, 2, 1])", sorted(setkit.list_set([3, 1, 3, 2, 1])))
    show("setkit.list_intersect([1, 2, 3], [2, 3, 4])", setkit.list_intersect([1, 2, 3], [2, 3, 4]))
    show("quantkit.number_str(12)", quantkit.number_str(12))
    show("quantkit.number_int(' 42 ')", quantkit.number_int(" 42 "))
    show("quantkit.number_float(' 1_000.5 ')", quantkit.number_float(" 1_000.5 "))
    show("quantkit.number_time(0, '%Y-%m-%d')", quantkit.number_time(0, "%Y-%m-%d"))
    show("quantkit.number_time('abc')", quantkit.number_time("abc"))


if __name__ == "__main__":
    main()
