"""Objects that misbehave in the host's protocols, and traceback helpers,
shared by the test modules (import them: `from support import Interrupting`)."""


def entries(tb):
    """The traceback entries from `tb` on, outermost first."""
    while tb:
        yield tb
        tb = tb.tb_next


def last_entry(tb):
    while tb.tb_next:
        tb = tb.tb_next
    return tb


def entries_named(error, prefix):
    """(function name, line) of the entries of `error` whose name starts with `prefix`."""
    return [(e.tb_frame.f_code.co_name, e.tb_lineno) for e in entries(error.__traceback__)
            if e.tb_frame.f_code.co_name.startswith(prefix)]


class Interrupting:
    """Converting it to a number raises KeyboardInterrupt."""

    def __int__(self):
        raise KeyboardInterrupt

    __float__ = __int__


class Getter:
    """Has a `get` that answers `value` for every key, and is no mapping."""

    def __init__(self, value="got"):
        self.value = value

    def get(self, key, default=None):
        return self.value


class MappingLike:
    """`get` and `keys` over its own items, but no dict."""

    def __init__(self, items=(), **more):
        self.items = dict(items, **more)

    def get(self, key, default=None):
        return self.items.get(key, default)

    def keys(self):
        return list(self.items)


class ClashingKey:
    """Equal in hash to `like` ("d" unless given); comparing it raises `error`."""

    def __init__(self, error, like="d"):
        self.error, self.like = error, like

    def __hash__(self):
        return hash(self.like)

    def __eq__(self, other):
        raise self.error()
