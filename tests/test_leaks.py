"""Every row of the leak table, repeated a few thousand times, leaves memory flat
(scripts/leakcheck repeats them a million times)."""

import os

import pytest

import leak_cases

CALLS, WARMUP = 3000, 300
# Under a sanitizer's allocator (scripts/sanitize) freed memory waits in quarantine and
# the interpreter allocates without its own pools: neither measure means anything there.
pytestmark = pytest.mark.skipif(os.environ.get("PYTHONMALLOC") == "malloc" or "libasan" in os.environ.get(
    "LD_PRELOAD", ""), reason="memory growth is not measurable under the sanitizer's allocator")


@pytest.mark.parametrize("label, make, calls", [
    pytest.param(label, make, calls, id=f"{module}: {label}")
    for module, label, make, calls in leak_cases.all_cases(CALLS)])
def test_repeated_call_leaves_memory_flat(label, make, calls):
    # A leak grows in every round; the interpreter's own tables (3.13 resizes some by a megabyte at a time)
    # grow once. So a round that grew is measured again, and only growth in both rounds fails.
    for _ in range(2):
        before, after = leak_cases.measure(make, calls, WARMUP // leak_cases.REDUCED.get(label, 1))
        if leak_cases.flat(before, after):
            return
    rss, blocks, heap = leak_cases.growth(before, after)
    pytest.fail(f"grew by {rss} resident bytes, {blocks} blocks, {heap} heap bytes")


def test_growth_is_seen():
    kept = []
    before, after = leak_cases.measure(lambda: lambda: kept.append(bytearray(40)), CALLS, WARMUP)
    assert not leak_cases.flat(before, after)
