"""The module object, its classes, argument binding and the exception families."""

from __future__ import annotations

import copy
import gc
import importlib
import importlib.util
import inspect
import pickle
import weakref

import pytest

import zembric_core
from zembric_core import GraphStore, IncrementalReducer, PayloadDescriptor

FIELDS = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")


def internal_error_type(module=zembric_core) -> type[BaseException]:
    store = module.GraphStore()

    class Shrinking:
        def __index__(self) -> int:
            params.clear()
            return 1

    params = {"a": Shrinking(), "b": 1}
    with pytest.raises(BaseException) as caught:
        store.add_source("s", params)
    return caught.type


def test_module_surface():
    assert zembric_core.version() == "0.0.1"
    assert zembric_core.__doc__ == ""
    assert zembric_core.__all__ == [
        "GraphStore",
        "PayloadDescriptor",
        "IncrementalReducer",
        "version",
    ]
    public = {name for name in dir(zembric_core) if not name.startswith("__")}
    assert public == set(zembric_core.__all__)


def test_internal_error_derives_directly_from_base_exception():
    error = internal_error_type()
    assert error.__bases__ == (BaseException,)
    assert not issubclass(error, Exception)
    assert error not in vars(zembric_core).values()


@pytest.mark.parametrize("cls", [GraphStore, PayloadDescriptor, IncrementalReducer])
def test_classes_are_final_closed_plain_types(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    instance = cls(**FIELDS) if cls is PayloadDescriptor else cls()
    with pytest.raises(AttributeError, match=f"^'{cls.__name__}' object has no attribute"):
        instance.extra = 1
    with pytest.raises(TypeError):
        cls.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)
    assert not hasattr(instance, "__dict__")
    assert cls.__qualname__ == cls.__name__
    assert cls.__module__ == "zembric_core"
    # No special methods of their own: identity equality and hashing, default repr, no pickling.
    for name in ("__init__", "__repr__", "__eq__", "__hash__", "__reduce__", "__reduce_ex__"):
        assert getattr(cls, name) is getattr(object, name), name
    other = cls(**FIELDS) if cls is PayloadDescriptor else cls()
    assert instance != other and instance == instance
    with pytest.raises(TypeError):
        pickle.dumps(instance)
    with pytest.raises(TypeError):
        copy.copy(instance)


SIGNATURES = [
    (zembric_core.version, "()"),
    (GraphStore, "()"),
    (PayloadDescriptor,
     "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)"),
    (GraphStore.add_source, "(self, /, name, params=None)"),
    (GraphStore.add_op, "(self, /, name, inputs, params=None)"),
    (GraphStore.add_reduction, "(self, /, name, inputs, params=None)"),
    (GraphStore.add_external, "(self, /, descriptor, inputs, params=None)"),
    (GraphStore.add_exchange, "(self, /, inputs, params=None)"),
    (GraphStore.node_count, "(self, /)"),
    (GraphStore.to_dot, "(self, /)"),
    (GraphStore.serialize, "(self, /, outputs=None)"),
    (GraphStore.deserialize, "(data)"),
    (GraphStore.nodes, "(self, /)"),
    (GraphStore.outputs, "(self, /)"),
    (GraphStore.reduce, "(self, /, *, maximal_fusion=False, outputs=None)"),
    (GraphStore.reduce_incremental, "(self, /, *, outputs=None)"),
    (GraphStore.reduction_report, "(self, /, *, outputs=None)"),
    (IncrementalReducer, "()"),
    (IncrementalReducer.step, "(self, /, store)"),
    (IncrementalReducer.watermark, "(self, /)"),
    (IncrementalReducer.total_work, "(self, /)"),
    (IncrementalReducer.canonical_count, "(self, /)"),
    (IncrementalReducer.finalize, "(self, /, store, *, maximal_fusion=False, outputs=None)"),
]


@pytest.mark.parametrize("callable_, expected", SIGNATURES)
def test_text_signatures(callable_, expected):
    assert str(inspect.signature(callable_)) == expected


def test_docstrings():
    assert PayloadDescriptor.__doc__ == (
        "Reproducibility metadata an External node carries (participates in the structural hash)."
    )
    assert GraphStore.outputs.__doc__ == (
        "The marked output node ids, in mark order (what an IR evaluator returns, in order)."
    )
    for bare in (zembric_core.version, GraphStore.add_op, GraphStore.to_dot, GraphStore.node_count):
        assert not bare.__doc__
    assert "mutex" in GraphStore.__doc__ and "interior mutability" in GraphStore.__doc__
    assert "Exchange" in GraphStore.add_exchange.__doc__


def test_method_table_order():
    names = [n for n, v in vars(GraphStore).items() if not n.startswith("__")]
    assert names == ["add_source", "add_op", "add_reduction", "add_external", "add_exchange",
                     "node_count", "to_dot", "serialize", "deserialize", "nodes", "outputs",
                     "reduce", "reduce_with_map", "reduce_incremental", "reduction_report"]
    reducer_names = [n for n, v in vars(IncrementalReducer).items() if not n.startswith("__")]
    assert reducer_names == ["step", "watermark", "total_work", "canonical_count", "finalize",
                             "finalize_with_map"]
    assert isinstance(vars(GraphStore)["deserialize"], staticmethod)


# ---------------------------------------------------------------- module state

def fresh_module():
    """A second module object, executed from the same extension, outside sys.modules."""
    spec = importlib.util.find_spec("zembric_core")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_each_module_object_has_its_own_classes_and_internal_error():
    fresh = fresh_module()
    valid_version_tag = 1 << 19  # set by CPython's attribute cache once the class is used
    for name in ("GraphStore", "PayloadDescriptor", "IncrementalReducer"):
        ours, theirs = getattr(zembric_core, name), getattr(fresh, name)
        assert theirs is not ours
        assert theirs.__flags__ | valid_version_tag == ours.__flags__ | valid_version_tag
    assert internal_error_type(fresh) is not internal_error_type()
    assert internal_error_type(fresh).__name__ == "InternalError"
    # Whatever a module's methods make is of that module's classes, also from a static method.
    store = fresh.GraphStore()
    store.add_op("neg", [store.add_source("x")])
    assert type(store.reduce()[0]) is fresh.GraphStore
    assert type(fresh.GraphStore.deserialize(store.serialize())) is fresh.GraphStore
    assert type(fresh.IncrementalReducer().finalize(store)[0]) is fresh.GraphStore
    with pytest.raises(TypeError, match="^argument 'store': expected GraphStore, got GraphStore$"):
        IncrementalReducer().step(store)
    with pytest.raises(TypeError, match="PayloadDescriptor or dict"):
        GraphStore().add_external(fresh.PayloadDescriptor(**FIELDS), [])
    # Reloading the imported module leaves it as it is.
    assert importlib.reload(zembric_core) is zembric_core and zembric_core.GraphStore is GraphStore


def test_a_module_no_longer_referenced_is_freed_with_its_classes():
    fresh = fresh_module()
    store = fresh.GraphStore()
    store.add_source("x")
    store.nodes()
    store_type = weakref.ref(fresh.GraphStore)
    del fresh
    gc.collect()
    assert store_type() is not None  # the instance holds its class, and so the module
    assert store.node_count() == 1 and store.nodes()[0]["kind"] == "source"
    del store
    gc.collect()
    assert store_type() is None


def test_a_sub_interpreter_imports_its_own_module():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    code = "\n".join([
        "import zembric_core",
        "assert id(zembric_core.GraphStore) != main_type",
        "s = zembric_core.GraphStore()",
        "s.add_op('neg', [s.add_source('x')])",
        "assert zembric_core.GraphStore.deserialize(s.serialize()).nodes() == s.nodes()",
        "assert s.reduce(outputs=[1])[0].node_count() == 2",
    ])
    interpreter = interpreters.create()
    try:
        interpreters.run_string(interpreter, code, shared={"main_type": id(GraphStore)})
    finally:
        interpreters.destroy(interpreter)


# ---------------------------------------------------------------- binding

S = GraphStore()
S.add_source("x")

BINDING_ERRORS = [
    (lambda: S.add_op("neg"), "GraphStore.add_op() missing 1 required positional argument: 'inputs'"),
    (lambda: S.add_op(), "GraphStore.add_op() missing 2 required positional arguments: "
                         "'name' and 'inputs'"),
    (lambda: S.add_external(), "GraphStore.add_external() missing 2 required positional "
                               "arguments: 'descriptor' and 'inputs'"),
    (lambda: S.add_op("a", [0], None, 4),
     "GraphStore.add_op() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: S.add_source("a", None, 1),
     "GraphStore.add_source() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: S.serialize(None, None),
     "GraphStore.serialize() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: GraphStore.deserialize(b"", b""),
     "GraphStore.deserialize() takes 1 positional argument but 2 were given"),
    (lambda: GraphStore.deserialize(), "GraphStore.deserialize() missing 1 required positional "
                                       "argument: 'data'"),
    (lambda: S.add_op("a", [0], name="b"), "GraphStore.add_op() got multiple values for argument 'name'"),
    (lambda: S.add_op("a", [0], colour=1),
     "GraphStore.add_op() got an unexpected keyword argument 'colour'"),
    (lambda: S.add_op("a", [0], **{"é": 1}),
     "GraphStore.add_op() got an unexpected keyword argument 'é'"),
    (lambda: GraphStore(1), "GraphStore.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: GraphStore(a=1), "GraphStore.__new__() got an unexpected keyword argument 'a'"),
    (lambda: PayloadDescriptor("k", "h", "f", "v", "s"),
     "PayloadDescriptor.__new__() takes 0 positional arguments but 5 were given"),
    (lambda: PayloadDescriptor("k", content_hash="h"),
     "PayloadDescriptor.__new__() takes 0 positional arguments but 1 positional argument "
     "(and 1 keyword-only argument) were given"),
    (lambda: PayloadDescriptor(**{k: v for k, v in FIELDS.items() if k != "kind"}),
     "PayloadDescriptor.__new__() missing 1 required keyword-only argument: 'kind'"),
    (lambda: PayloadDescriptor(kind="k", framework="f"),
     "PayloadDescriptor.__new__() missing 3 required keyword-only arguments: "
     "'content_hash', 'version', and 'io_schema'"),
    (lambda: PayloadDescriptor(**FIELDS, extra=1),
     "PayloadDescriptor.__new__() got an unexpected keyword argument 'extra'"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors_use_cpython_wording(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


@pytest.mark.parametrize("method", ["node_count", "to_dot", "nodes", "outputs"])
def test_methods_without_parameters_refuse_arguments(method):
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(S, method)(1)
    with pytest.raises(TypeError):
        zembric_core.version(1)


def test_keywords_bind_like_positionals():
    store = GraphStore()
    a = store.add_source(params={"k": 1}, name="a")
    assert store.add_op(inputs=[a], name="neg") == store.add_op("neg", [a])
    assert store.add_exchange(params=None, inputs=[a]) == store.add_exchange([a])
    assert GraphStore.deserialize(data=store.serialize(outputs=[a])).outputs() == [a]


def test_methods_check_self():
    with pytest.raises(TypeError):
        GraphStore.add_source(PayloadDescriptor(**FIELDS), "x")
    with pytest.raises(TypeError):
        GraphStore.nodes(5)
    with pytest.raises(TypeError):
        PayloadDescriptor.kind.__get__(GraphStore())


def test_static_deserialize_ignores_the_instance():
    blob = GraphStore().serialize()
    assert GraphStore().deserialize(blob).node_count() == 0


# ---------------------------------------------------------------- PayloadDescriptor

def test_payload_descriptor_fields():
    d = PayloadDescriptor(**FIELDS)
    assert (d.kind, d.content_hash, d.framework, d.version, d.io_schema, d.preprocessing_ref) == (
        "k", "h", "f", "v", "s", None)
    assert PayloadDescriptor(**FIELDS, preprocessing_ref=None).preprocessing_ref is None
    assert PayloadDescriptor(**FIELDS, preprocessing_ref="").preprocessing_ref == ""
    assert PayloadDescriptor(**{**FIELDS, "kind": "ünï\U0001f600"}).kind == "ünï\U0001f600"

    class Text(str):
        pass

    assert type(PayloadDescriptor(**{**FIELDS, "kind": Text("t")}).kind) is str
    for name in ("kind", "preprocessing_ref"):
        with pytest.raises(AttributeError):
            setattr(d, name, "x")
        with pytest.raises(AttributeError):
            delattr(d, name)


@pytest.mark.parametrize("field", ["kind", "io_schema", "preprocessing_ref"])
@pytest.mark.parametrize("value", [1, b"k", ["k"]])
def test_payload_descriptor_refuses_non_str(field, value):
    with pytest.raises(TypeError) as caught:
        PayloadDescriptor(**{**FIELDS, field: value})
    assert str(caught.value).startswith(f"argument '{field}': ")


def test_payload_descriptor_reports_the_first_bad_field_and_passes_unicode_errors():
    with pytest.raises(TypeError, match="^argument 'framework': "):
        PayloadDescriptor(kind="k", content_hash="h", framework=1, version=2, io_schema=3)
    with pytest.raises(TypeError, match="^argument 'kind': "):
        PayloadDescriptor(kind=None, content_hash="h", framework="f", version="v", io_schema="s")
    with pytest.raises(UnicodeEncodeError):
        PayloadDescriptor(**{**FIELDS, "version": "\ud800"})


# ---------------------------------------------------------------- conversion errors

class Index:
    def __init__(self, action):
        self.action = action

    def __index__(self):
        return self.action()


def test_type_error_gets_prefix_and_keeps_the_original_cause():
    root = KeyError("root")

    def fail():
        raise TypeError("bad index") from root

    with pytest.raises(TypeError) as caught:
        S.add_op("neg", [Index(fail)])
    assert str(caught.value) == "argument 'inputs': bad index"
    assert caught.value.__cause__ is root


def test_type_error_without_cause_gets_none():
    def fail():
        raise TypeError("plain")

    with pytest.raises(TypeError) as caught:
        S.add_op("neg", [Index(fail)])
    assert str(caught.value) == "argument 'inputs': plain"
    assert caught.value.__cause__ is None


@pytest.mark.parametrize("error", [ValueError("v"), OverflowError("o"), KeyboardInterrupt()])
def test_other_conversion_errors_pass_through_unchanged(error):
    def fail():
        raise error

    with pytest.raises(type(error)) as caught:
        S.add_op("neg", [Index(fail)])
    assert caught.value is error
