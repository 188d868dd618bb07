"""Refuses client writes that would break the plant, before any of them lands.

asyncua checks the access level only for non-admin users and answers a
read-only variable with BadUserAccessDenied; the plant's own rules (finite
numbers into its inputs, nothing into its outputs) hold for every user.
"""

from __future__ import annotations

import math

from asyncua import ua
from asyncua.common.callback import ServerItemCallback


def refusal(write: ua.WriteValue, namespace: int, writable: set[ua.NodeId]) -> int | None:
    """The status code that refuses this write, or None to let it through."""
    if write.NodeId.NamespaceIndex != namespace:
        return None
    if write.NodeId not in writable or write.AttributeId != ua.AttributeIds.Value:
        return ua.StatusCodes.BadNotWritable
    variant = write.Value.Value
    # A bad status would make asyncua store a null in place of the value.
    bad_status = write.Value.StatusCode is not None and not write.Value.StatusCode.is_good()
    if bad_status or variant is None or variant.VariantType != ua.VariantType.Double or not isinstance(variant.Value, float):
        return ua.StatusCodes.BadTypeMismatch
    if not math.isfinite(variant.Value):
        return ua.StatusCodes.BadOutOfRange
    return None


def write_guard(namespace: int, writable: set[ua.NodeId]):
    """A PreWrite callback: one refused value refuses the whole request, so none of it is written."""

    async def guard(event: ServerItemCallback, _dispatcher) -> None:
        for write in event.request_params.NodesToWrite:
            status = refusal(write, namespace, writable)
            if status is not None:
                raise ua.UaStatusCodeError(status)

    return guard
