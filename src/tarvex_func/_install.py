"""Installing the helpers as methods of the built-in types, by group, and
taking them back.

Installation is process-wide: while a group is installed its methods are
visible to every thread, not only the one that installed it. A group is
installed while anything holds it: a permanent installation (`install()`,
`TarvexHubkit()` or one of its installers) or any `installed` block or
decorated call, whichever thread or task entered it. The first installation
of a name keeps the value it replaces, and the last removal gives it back.
"""

import contextlib
import functools
import inspect
import os
import threading
from typing import Any, Callable, Literal, TypeVar

# For type checkers; the groups themselves are hubkit's `_groups`, and a test
# keeps the two the same.
Group = Literal["dict", "list", "str", "file", "dir", "int", "float"]

F = TypeVar("F", bound=Callable[..., Any])

# Serialises every change, here and in hubkit's installers, so two never
# interleave. Lookups take no lock: while a change runs, another thread may
# find a method of that group there or not yet. Renewed in a forked child,
# where the thread that held it may not exist.
_lock = threading.RLock()

_ABSENT = object()
_permanent: set[str] = set()  # groups installed for good
_holders: dict[str, int] = {}  # group -> blocks and calls holding it now
_saved: dict[tuple[type, str], object] = {}  # what our first write of a name replaced
_scoped_write = False  # hubkit's installer is writing for a block, not for good
_repair = False  # the types may not match the counts (a fork, a failed change)


_hubkit_module = None


def _hubkit():
    # Imported on first use: importing the package alone loads no native
    # module. Kept from then on, so that no later change goes through the
    # import system, whose module locks a fork can leave held in the child.
    global _hubkit_module
    if _hubkit_module is None:
        from . import hubkit

        _hubkit_module = hubkit
    return _hubkit_module


def _groups():
    """{group: (type, ((method, helper name), ...))}, from hubkit's table."""
    return {name: (cls, rows) for name, cls, rows in _hubkit()._groups}


def _check(groups):
    known = _groups()
    for group in groups:
        if group not in known:
            raise ValueError(
                f"unknown group {group!r}; the groups are {', '.join(map(repr, known))}")
    return tuple(dict.fromkeys(groups)) or tuple(known)


def _own(group):
    """(type, method, the package's own helper) for each method of the group."""
    hubkit = _hubkit()
    cls, rows = _groups()[group]
    return [(cls, method, getattr(hubkit, helper, None)) for method, helper in rows]


def _wanted(group):
    return group in _permanent or _holders.get(group, 0) > 0


def _covered(except_group=None):
    """The (type, method) pairs of the groups held now, but `except_group`."""
    return {(cls, method) for group in _groups() if group != except_group and _wanted(group)
            for cls, method, _ in _own(group)}


def _take_over(group):
    """Keeps what the group's methods will replace, for names no held group has."""
    covered = _covered(except_group=group)
    for cls, method, helper in _own(group):
        if (cls, method) not in covered and (cls, method) not in _saved:
            current = cls.__dict__.get(method, _ABSENT)
            _saved[(cls, method)] = _ABSENT if current is helper else current


def _give_back(group):
    """Takes back the group's names that no other held group has, each only
    while it still holds the package's function: what it replaced returns."""
    covered = _covered(except_group=group)
    remove = _hubkit()._remove
    for cls, method, helper in _own(group):
        if (cls, method) in covered:
            continue
        previous = _saved.get((cls, method), _ABSENT)
        remove(cls, method, helper, () if previous is _ABSENT else (previous,))
        _saved.pop((cls, method), None)


def _write(group):
    """The group's methods written by its installer, for a block."""
    global _scoped_write
    _scoped_write = True
    try:
        getattr(_hubkit().TarvexHubkit, "_extend_" + group)()
    finally:
        _scoped_write = False


def _installing(group):
    # Called by hubkit's installers, under the lock, before they write.
    _repair_if_needed()
    _take_over(group)
    if not _scoped_write:
        _permanent.add(group)


def _repair_if_needed():
    """Makes the types match the counts again after a fork or a failed change
    left a group half written."""
    global _repair
    if not _repair:
        return
    _repair = False
    try:
        for group in _groups():
            own = _own(group)
            if _wanted(group):
                if any(cls.__dict__.get(method) is not helper for cls, method, helper in own):
                    _take_over(group)
                    _write(group)
            elif any(cls.__dict__.get(method) is helper for cls, method, helper in own):
                _give_back(group)
    except BaseException:
        _repair = True
        raise


def _after_fork_in_child():
    global _lock, _repair
    _lock = threading.RLock()
    _repair = True


os.register_at_fork(after_in_child=_after_fork_in_child)


def install(*groups: Group) -> None:
    """Installs the methods of the named groups (all seven without a name)
    process-wide and for good: every thread sees them until they are
    uninstalled."""
    groups = _check(groups)
    with _lock:
        _repair_if_needed()
        for group in groups:
            getattr(_hubkit().TarvexHubkit, "_extend_" + group)()


def uninstall(*groups: Group) -> None:
    """Ends the permanent installation of the named groups (all without a
    name). A group's methods go once nothing else holds it (an `installed`
    block still running keeps them until it ends); each name returns to what
    it held before the first installation, unless something rebound it
    since. Process-wide, like installing."""
    groups = _check(groups)
    with _lock:
        _repair_if_needed()
        for group in groups:
            _permanent.discard(group)
        for group in groups:
            if not _wanted(group):
                _give_back(group)


def _enter(groups):
    with _lock:
        _repair_if_needed()
        entered = []
        try:
            for group in groups:
                was_wanted = _wanted(group)
                _holders[group] = _holders.get(group, 0) + 1
                entered.append(group)
                if not was_wanted:
                    _write(group)
        except BaseException:
            _leave(entered)
            raise


def _leave(groups):
    """Drops one hold of each group; the counts are right even when taking
    a group back fails, and the next change finishes the job."""
    global _repair
    with _lock:
        for group in groups:
            _holders[group] -= 1
        try:
            _repair_if_needed()
            for group in groups:
                if not _wanted(group):
                    _give_back(group)
        except BaseException:
            _repair = True
            raise


class installed(contextlib.ContextDecorator):
    """Installs the named groups for a block and takes them back when the
    last holder leaves, even by an exception: each block (or decorated call)
    holds the groups while it runs, whichever thread or task it runs in, so
    overlapping blocks never take methods from under each other.

    As a decorator it wraps plain functions, generator functions, coroutine
    functions and async generator functions, holding the groups while their
    bodies run (for a generator, from the first step to its end).
    Process-wide while it lasts: other threads see the methods."""

    def __init__(self, *groups: Group) -> None:
        self._groups = _check(groups)

    def __enter__(self) -> None:
        _enter(self._groups)

    def __exit__(self, *exc_info: object) -> None:
        _leave(self._groups)

    def __call__(self, func: F) -> F:
        hold = self
        if inspect.isasyncgenfunction(func):
            @functools.wraps(func)
            async def async_generator(*args, **kwargs):
                with hold:
                    inner = func(*args, **kwargs)
                    try:
                        value = await inner.__anext__()
                        while True:
                            try:
                                sent = yield value
                            except GeneratorExit:
                                await inner.aclose()
                                raise
                            except BaseException as error:
                                value = await inner.athrow(error)
                            else:
                                value = await inner.asend(sent)
                    except StopAsyncIteration:
                        return
            return async_generator  # type: ignore[return-value]
        if inspect.isgeneratorfunction(func):
            @functools.wraps(func)
            def generator(*args, **kwargs):
                with hold:
                    return (yield from func(*args, **kwargs))
            return generator  # type: ignore[return-value]
        if inspect.iscoroutinefunction(func):
            @functools.wraps(func)
            async def coroutine(*args, **kwargs):
                with hold:
                    return await func(*args, **kwargs)
            return coroutine  # type: ignore[return-value]
        return super().__call__(func)

