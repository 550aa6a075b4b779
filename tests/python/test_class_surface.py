"""The module and class as Python sees them: names, prototypes, construction."""

import ast
import copy
import gc
import pathlib
import pickle
import weakref

import pytest

import korel
from korel import _korel
from korel._korel import NearestNeighborsKorel

from korel_oracles import CALLS, assert_consistent, euclidean, random_points

CLASS_NAME = "korel._korel.NearestNeighborsKorel"

# Each method's prototype template: `{...}` is an argument, `%` the class.
PROTOTYPES = {
    "__init__": "({%}) -> None",
    "set_distance_function": "({%}, {Callable[[list[float], list[float]], float]}) -> None",
    "add": "({%}, {list[float]}) -> None",
    "add_list": "({%}, {list[list[float]]}) -> None",
    "nearest": "({%}, {list[float]}) -> list[float]",
    "nearest_k": "({%}, {list[float]}, {int}) -> list[list[float]]",
    "nearest_r": "({%}, {list[float]}, {float}) -> list[list[float]]",
    "remove": "({%}, {list[float]}) -> bool",
    "clear": "({%}) -> None",
    "size": "({%}) -> int",
    "list": "({%}) -> list[list[float]]",
}


def render(template):
    """Renders a prototype template: self, then arg0, arg1, ..."""
    pieces = template.replace("%", CLASS_NAME).split("{")
    rendered = pieces[0]
    for position, piece in enumerate(pieces[1:]):
        type_text, rest = piece.split("}", 1)
        name = "self" if position == 0 else "arg%d" % (position - 1)
        rendered += "%s: %s%s" % (name, type_text, rest)
    return rendered


def test_module_has_no_docstring_and_only_the_class():
    assert _korel.__doc__ is None
    assert _korel.__name__ == "korel._korel"
    own = {name for name in vars(_korel) if not (name.startswith("__") and name.endswith("__"))}
    assert own == {"NearestNeighborsKorel"}
    assert korel.NearestNeighborsKorel is NearestNeighborsKorel


def test_class_names_and_base():
    assert NearestNeighborsKorel.__doc__ is None
    assert NearestNeighborsKorel.__module__ == "korel._korel"
    assert NearestNeighborsKorel.__qualname__ == "NearestNeighborsKorel"
    assert NearestNeighborsKorel.__name__ == "NearestNeighborsKorel"
    (base,) = NearestNeighborsKorel.__bases__
    assert base.__name__ == "pybind11_object"


def test_class_defines_exactly_the_ten_methods():
    own = {name for name in vars(NearestNeighborsKorel) if not name.startswith("__")}
    assert own == set(CALLS) | {"_pybind11_conduit_v1_"}


@pytest.mark.parametrize("method", sorted(PROTOTYPES))
def test_doc_is_the_rendered_prototype(method):
    assert getattr(NearestNeighborsKorel, method).__doc__ == method + render(PROTOTYPES[method]) + "\n"


def test_new_instance_is_empty():
    index = NearestNeighborsKorel()
    assert index.size() == 0
    assert index.list() == []


def test_no_instance_dict_so_unknown_attributes_are_refused():
    index = NearestNeighborsKorel()
    with pytest.raises(AttributeError):
        index.metric = euclidean
    with pytest.raises(AttributeError):
        index.__dict__
    with pytest.raises(AttributeError):
        index.size = lambda: 3
    assert index.size() == 0


def test_instances_support_weak_references():
    index = NearestNeighborsKorel()
    reference = weakref.ref(index)
    assert reference() is index
    del index
    assert reference() is None


def test_no_pickling_and_no_copying():
    index = NearestNeighborsKorel()
    with pytest.raises(TypeError):
        pickle.dumps(index)
    with pytest.raises(TypeError):
        copy.copy(index)


def test_second_init_keeps_the_points():
    index = NearestNeighborsKorel()
    index.set_distance_function(euclidean)
    points = random_points(120)
    index.add_list(points)
    before = index.list()
    assert index.__init__() is None
    assert index.list() == before
    assert index.size() == 120
    assert_consistent(index)


def test_init_on_a_foreign_object_is_refused():
    with pytest.raises(TypeError) as raised:
        NearestNeighborsKorel.__init__(5)
    assert str(raised.value) == "__init__(self, ...) called with invalid or missing `self` argument"


class CallsBaseInit(NearestNeighborsKorel):
    def __init__(self, metric):
        super().__init__()
        self.set_distance_function(metric)
        self.note = "subclass instances have a __dict__"


class SkipsBaseInit(NearestNeighborsKorel):
    def __init__(self):
        pass


def test_subclass_that_calls_base_init_works_like_the_base():
    points = random_points(200, seed=3)
    derived = CallsBaseInit(euclidean)
    base = NearestNeighborsKorel()
    base.set_distance_function(euclidean)
    for index in (derived, base):
        index.add_list(points[:100])
        for point in points[100:]:
            index.add(point)
        index.remove(points[7])
    assert derived.list() == base.list()
    for query in random_points(5, seed=4):
        assert derived.nearest_k(query, 9) == base.nearest_k(query, 9)
    assert_consistent(derived)


def test_subclass_that_skips_base_init_cannot_be_instantiated():
    with pytest.raises(TypeError) as raised:
        SkipsBaseInit()
    assert str(raised.value) == CLASS_NAME + ".__init__() must be called when overriding __init__"


@pytest.mark.parametrize("cls", [NearestNeighborsKorel, SkipsBaseInit], ids=["base", "subclass"])
@pytest.mark.parametrize("method", sorted(CALLS))
def test_methods_refuse_an_instance_without_index(cls, method):
    bare = cls.__new__(cls)
    with pytest.raises(TypeError) as raised:
        getattr(bare, method)(*CALLS[method])
    assert str(raised.value) == "NearestNeighborsKorel.__init__() was not called: the instance has no index"
    gc.collect()  # the collector may visit it too


def test_late_init_makes_a_bare_instance_usable():
    bare = NearestNeighborsKorel.__new__(NearestNeighborsKorel)
    NearestNeighborsKorel.__init__(bare)
    bare.set_distance_function(euclidean)
    bare.add([1.0, 2.0])
    assert bare.list() == [[1.0, 2.0]]


@pytest.mark.parametrize("method", sorted(CALLS))
def test_methods_refuse_a_foreign_self(method):
    with pytest.raises(TypeError) as raised:
        getattr(NearestNeighborsKorel, method)(object(), *CALLS[method])
    assert "incompatible function arguments" in str(raised.value)


def test_type_stub_matches_the_prototypes():
    package = pathlib.Path(korel.__file__).parent
    assert (package / "py.typed").is_file()
    stub = ast.parse((package / "_korel.pyi").read_text())
    (cls,) = [node for node in stub.body if isinstance(node, ast.ClassDef)]
    methods = {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}
    assert set(methods) == set(PROTOTYPES)
    for name, node in methods.items():
        arguments = node.args
        assert not arguments.kwonlyargs and arguments.vararg is None and arguments.kwarg is None
        everything = [a.arg for a in arguments.posonlyargs + arguments.args]
        assert everything[0] == "self"
        # One argument per `{...}`; all but self are positional-only.
        assert len(everything) == PROTOTYPES[name].count("{")
        assert [a.arg for a in arguments.args] in (["self"], [])
