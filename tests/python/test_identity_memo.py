"""The frontends' memo: one computation per object, never shared by objects that merely compare
equal, bounded, and without an entry for a computation that failed."""

from __future__ import annotations

import pytest

from zembric.frontend_common import IdentityMemo


def test_once_per_object_and_never_shared_by_equal_objects():
    calls: list[object] = []
    memo = IdentityMemo(lambda obj: calls.append(obj) or len(calls))
    a, b = [1], [1]  # equal, distinct
    assert [memo(a), memo(b), memo(a), memo(b)] == [1, 2, 1, 2]
    assert calls == [a, b]


def test_bound_starts_afresh_and_failure_leaves_no_entry():
    calls = []
    memo = IdentityMemo(lambda obj: calls.append(obj) or obj[0], bound=2)
    objects = [[k] for k in range(3)]
    assert [memo(o) for o in objects] == [0, 1, 2]  # the third cleared the first two
    assert memo(objects[2]) == 2 and memo(objects[0]) == 0 and len(calls) == 4

    def failing(obj: object) -> int:
        calls.append(obj)
        raise ValueError("no")

    failing_memo = IdentityMemo(failing)
    for _ in range(2):
        with pytest.raises(ValueError):
            failing_memo(objects[0])
    assert calls[-2:] == [objects[0], objects[0]]
