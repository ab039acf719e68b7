import os
import subprocess
import sys
import sysconfig
import weakref

import pytest

import _ivro
from _ivro import IVRO

DOC = (
    "IVRO(size, callback=None) -> new IVRO dict that can store up to size elements\n"
    "An IVRO dict behaves like a standard dict, except that it stores only fixed\n"
    "set of elements. Once the size overflows, it evicts least recently used\n"
    "items.  If a callback is set it will call the callback with the evicted key\n"
    " and item.\n"
    "\n"
    "Eg:\n"
    ">>> l = IVRO(3)\n"
    ">>> for i in range(5):\n"
    ">>>   l[i] = str(i)\n"
    ">>> l.keys()\n"
    "[2,3,4]\n"
    "\n"
    "Note: An IVRO(n) can be thought of as a dict that will have the most\n"
    "recently accessed n items.\n"
)

METHODS = [
    ("__contains__", "L.__contains__(key) -> Check if key is there in L"),
    ("keys", "L.keys() -> list of L's keys in MRU order"),
    ("values", "L.values() -> list of L's values in MRU order"),
    ("items", "L.items() -> list of L's items (key,value) in MRU order"),
    ("has_key", "L.has_key(key) -> Check if key is there in L"),
    ("get", "L.get(key, default=None) -> If L has key return its value, otherwise default"),
    ("setdefault", "L.setdefault(key, default=None) -> If L has key return its value, "
     "otherwise insert key with a value of default and return default"),
    ("pop", "L.pop(key[, default]) -> If L has key return its value and remove it from L, "
     "otherwise return default. If default is not given and key is not in L, "
     "a KeyError is raised."),
    ("popitem", "L.popitem([least_recent=True]) -> Returns and removes a (key, value) pair. "
     "The pair returned is the least-recently used if least_recent is true, "
     "or the most-recently used if false."),
    ("set_size", "L.set_size() -> set size of IVRO"),
    ("get_size", "L.get_size() -> get size of IVRO"),
    ("clear", "L.clear() -> clear IVRO"),
    ("get_stats", "L.get_stats() -> returns a tuple with cache hits and misses"),
    ("peek_first_item",
     "L.peek_first_item() -> returns the MRU item (key,value) without changing key order"),
    ("peek_last_item",
     "L.peek_last_item() -> returns the IVRO item (key,value) without changing key order"),
    ("update", "L.update() -> update value for key in IVRO"),
    ("set_callback",
     "L.set_callback(callback) -> set a callback to call when an item is evicted."),
    ("__reduce__", "L.__reduce__() -> (IVRO, (size,), state) for copy and pickle: state holds "
     "L's size, callback, hit and miss counts and entries, oldest first, as they are at one "
     "moment"),
    ("__setstate__", "L.__setstate__(state) -> make L the cache that state from __reduce__ "
     "describes: its entries, settings and counts replace L's, without any callback call or "
     "eviction"),
]


def test_doc_texts_are_exact_and_shared():
    assert IVRO.__doc__ == DOC
    assert _ivro.__doc__ == DOC
    assert IVRO.__text_signature__ is None


def test_method_table_order_and_docs():
    declared = [(name, obj.__doc__) for name, obj in vars(IVRO).items()
                if type(obj).__name__ == "method_descriptor"]
    assert declared == METHODS
    # __contains__ is the method itself, standing beside the `in` slot.
    assert vars(IVRO)["__contains__"].__doc__ == METHODS[0][1]


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="has a GIL")
def test_import_keeps_the_gil_off():
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    proc = subprocess.run([sys.executable, "-W", "error", "-c",
                           "import sys, _ivro; print(sys._is_gil_enabled())"],
                          capture_output=True, text=True, env=env, timeout=60)
    assert (proc.returncode, proc.stdout.strip()) == (0, "False"), proc.stderr


def test_names():
    assert (IVRO.__module__, IVRO.__name__, IVRO.__qualname__) == ("_ivro", "IVRO", "IVRO")


def test_module_publishes_only_the_type():
    own = {k for k in vars(_ivro) if not (k.startswith("__") and k.endswith("__"))}
    assert own == {"IVRO"}
    assert not hasattr(_ivro, "Node")
    with pytest.raises(ImportError):
        exec("from _ivro import Node", {})


def test_blank_record_made_through_its_type_shows_as_empty():
    # Unpublished, but reachable through object.__subclasses__(); a record made there
    # has no key or value, and must not crash when shown or released.
    record = next(t for t in object.__subclasses__() if t.__module__ == "_ivro" and t is not IVRO)
    assert repr(record()) == "<empty node>"


@pytest.mark.parametrize("attempt, exc, match", [
    (lambda c: type("Sub", (IVRO,), {}), TypeError, "not an acceptable base type"),
    (iter, TypeError, "not iterable"), (list, TypeError, "not iterable"),
    (weakref.ref, TypeError, "weak reference"), (lambda c: c.__dict__, AttributeError, None),
    (lambda c: setattr(c, "x", 1), AttributeError, None),
    (lambda c: setattr(IVRO, "x", 1), TypeError, None),
])
def test_type_refuses(attempt, exc, match):
    c = IVRO(3)
    c[0] = "zero"
    with pytest.raises(exc, match=match):
        attempt(c)


def test_identity_equality_and_hash():
    a, b = IVRO(1), IVRO(1)
    assert a == a and a != b and hash(a) == object.__hash__(a)


@pytest.mark.parametrize("fill", [{}, {"a": 1}, {1: "x", (2, 3): [4]}])
def test_str_equals_repr(fill):
    c = IVRO(5)
    c.update(fill)
    assert str(c) == repr(c) == repr(fill)
