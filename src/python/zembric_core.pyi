from collections.abc import Sequence
from typing import Any, Literal, SupportsIndex, TypeAlias, TypedDict, final, type_check_only

__all__ = ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]

_ParamValue: TypeAlias = bool | int | float | str
# A node id, or anything whose __index__ gives one.
_Ids: TypeAlias = Sequence[SupportsIndex]

@type_check_only
class _DescriptorFields(TypedDict):
    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: str | None

@type_check_only
class _MemberView(TypedDict):
    kind: Literal["op", "red"]
    name: str
    params: dict[str, _ParamValue]
    inputs: list[tuple[Literal["input", "member"], int]]

@type_check_only
class _ReductionMap(TypedDict):
    # Per root: the reduced node whose result is its value.
    roots: list[int]
    # Per source node: None when no root needs it, else (reduced id, Stage member or None).
    nodes: list[tuple[int, int | None] | None]

@type_check_only
class _NodeView(TypedDict, total=False):
    # Present on every node.
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["source", "op", "reduction", "external", "stage", "exchange"]
    name: str
    params: dict[str, _ParamValue]
    # External nodes only.
    descriptor: _DescriptorFields
    # Stage nodes only.
    n_members: int
    members: list[_MemberView]

@type_check_only
class _Report(TypedDict):
    input_nodes: int
    reachable_nodes: int
    canonical_nodes: int
    stages: int
    reduced_nodes: int
    boundary_nodes: int

@final
class PayloadDescriptor:
    """Reproducibility metadata an External node carries (participates in the structural hash)."""

    def __new__(
        cls,
        *,
        kind: str,
        content_hash: str,
        framework: str,
        version: str,
        io_schema: str,
        preprocessing_ref: str | None = None,
    ) -> PayloadDescriptor: ...
    @property
    def kind(self) -> str: ...
    @property
    def content_hash(self) -> str: ...
    @property
    def framework(self) -> str: ...
    @property
    def version(self) -> str: ...
    @property
    def io_schema(self) -> str: ...
    @property
    def preprocessing_ref(self) -> str | None: ...

@final
class GraphStore:
    """A thread-safe interned graph store, immutable from Python, that keeps its contents behind
    a mutex (interior mutability)."""

    def __new__(cls) -> GraphStore: ...
    def add_source(self, name: str, params: dict[str, _ParamValue] | None = None) -> int: ...
    def add_op(
        self, name: str, inputs: _Ids, params: dict[str, _ParamValue] | None = None
    ) -> int: ...
    def add_reduction(
        self, name: str, inputs: _Ids, params: dict[str, _ParamValue] | None = None
    ) -> int: ...
    def add_external(
        self,
        descriptor: PayloadDescriptor | dict[str, Any],
        inputs: _Ids,
        params: dict[str, _ParamValue] | None = None,
    ) -> int: ...
    def add_exchange(self, inputs: _Ids, params: dict[str, _ParamValue] | None = None) -> int: ...
    def node_count(self) -> int: ...
    def to_dot(self) -> str: ...
    def serialize(self, outputs: _Ids | None = None) -> bytes: ...
    @staticmethod
    def deserialize(data: bytes) -> GraphStore: ...
    def nodes(self) -> list[_NodeView]: ...
    def outputs(self) -> list[int]: ...
    def reduce(
        self, *, maximal_fusion: bool = False, outputs: _Ids | None = None
    ) -> tuple[GraphStore, _Report]: ...
    def reduce_with_map(
        self, *, maximal_fusion: bool = False, outputs: _Ids | None = None
    ) -> tuple[GraphStore, _Report, _ReductionMap]: ...
    def reduce_incremental(self, *, outputs: _Ids | None = None) -> tuple[GraphStore, _Report]: ...
    def reduction_report(self, *, outputs: _Ids | None = None) -> _Report: ...

@final
class IncrementalReducer:
    """A reducer fed a store while the graph is being built; see finalize()."""

    def __new__(cls) -> IncrementalReducer: ...
    def step(self, store: GraphStore) -> int: ...
    def watermark(self) -> int: ...
    def total_work(self) -> int: ...
    def canonical_count(self) -> int: ...
    def finalize(
        self, store: GraphStore, *, maximal_fusion: bool = False, outputs: _Ids | None = None
    ) -> tuple[GraphStore, _Report]: ...
    def finalize_with_map(
        self, store: GraphStore, *, maximal_fusion: bool = False, outputs: _Ids | None = None
    ) -> tuple[GraphStore, _Report, _ReductionMap]: ...

def version() -> str: ...
