"""zembric: tools over the graph stores of ``zembric_core``.

* :func:`evaluate` and :func:`evaluate_all`: a reference interpreter of stores over NumPy, with
  the standard operator vocabulary :data:`STANDARD_OPS`.
* :func:`render`: a picture of a store, drawn by Graphviz's ``dot``.
* The ``zembric`` command (``python -m zembric``): show, reduce, draw and check stored blobs.
"""

from zembric.evaluation import Evaluation, EvaluationError, evaluate, evaluate_all
from zembric.rendering import GraphvizError, GraphvizNotFound, render
from zembric.standard_ops import STANDARD_OPS

__all__ = [
    "STANDARD_OPS",
    "Evaluation",
    "EvaluationError",
    "GraphvizError",
    "GraphvizNotFound",
    "evaluate",
    "evaluate_all",
    "render",
]
