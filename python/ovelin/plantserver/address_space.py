"""The plant in the server's address space: its variables, read and written
by the server between samples."""

from __future__ import annotations

from datetime import datetime, timezone
from typing import Awaitable, Callable

from asyncua import Server, ua

from .plant import Plant

NAMESPACE_URI = "urn:ovelin:plant"
DOUBLE = ua.VariantType.Double


class PlantNodes:
    """Node ids of the plant's variables, and the moves of values in and out."""

    def __init__(self, server: Server, namespace: int, plant: Plant):
        self.server, self.namespace = server, namespace
        self.mvs = {tag: self.node_id(f"Plant.{tag}") for tag in plant.mv_tags}
        self.cvs = {tag: self.node_id(f"Plant.{tag}") for tag in plant.cv_tags}
        self.disturbances = {tag: self.node_id(f"Plant.Disturbances.{tag}") for tag in plant.cv_tags}
        self.working = self.node_id(f"Plant.{plant.working_tag}") if plant.working_tag else None
        self.sample_count = self.node_id("Plant.SampleCount")
        self.writable = {*self.mvs.values(), *self.disturbances.values(), *([self.working] if self.working else [])}

    def node_id(self, name: str) -> ua.NodeId:
        return ua.NodeId(name, self.namespace)

    async def create(self, plant: Plant, Ts: int, step: Callable[..., Awaitable], reset: Callable[..., Awaitable]) -> None:
        """Adds the Plant object with its variables and methods under Objects."""
        root = await self.server.nodes.objects.add_object(self.node_id("Plant"), ua.QualifiedName("Plant", self.namespace))
        for tag, node_id in {**self.mvs, **self.cvs}.items():
            await self._add_variable(root, node_id, tag)
        if self.working:
            await self._add_variable(root, self.working, plant.working_tag)
        folder = await root.add_object(self.node_id("Plant.Disturbances"), ua.QualifiedName("Disturbances", self.namespace))
        for tag, node_id in self.disturbances.items():
            await self._add_variable(folder, node_id, tag)
        await root.add_variable(self.sample_count, ua.QualifiedName("SampleCount", self.namespace),
                                ua.Variant(0, ua.VariantType.UInt64))
        await self._add_variable(root, self.node_id("Plant.Ts"), "Ts", float(Ts))
        await root.add_method(self.node_id("Plant.Step"), ua.QualifiedName("Step", self.namespace), step,
                              [_argument("n", ua.ObjectIds.UInt32, "samples to advance")],
                              [_argument("SampleCount", ua.ObjectIds.UInt64, "samples done since the start or reset")])
        await root.add_method(self.node_id("Plant.Reset"), ua.QualifiedName("Reset", self.namespace), reset, [], [])

    async def _add_variable(self, parent, node_id: ua.NodeId, name: str, value: float = 0.0) -> None:
        variable = await parent.add_variable(node_id, ua.QualifiedName(name, self.namespace), ua.Variant(value, DOUBLE))
        if node_id in self.writable:
            await variable.set_writable()

    def read_inputs(self) -> tuple[dict[str, float], dict[str, float], float | None]:
        """The MVs, disturbances and working value as the clients last wrote them."""
        read = self.server.read_attribute_value
        mvs = {tag: read(node_id).Value.Value for tag, node_id in self.mvs.items()}
        disturbances = {tag: read(node_id).Value.Value for tag, node_id in self.disturbances.items()}
        working = read(self.working).Value.Value if self.working else None
        return mvs, disturbances, working

    async def write_inputs(self, plant: Plant, initial: dict[str, float]) -> None:
        """Puts the inputs back where the plant file starts them."""
        for tag, node_id in self.mvs.items():
            await self._write(node_id, float(initial.get(tag, 0.0)))
        for node_id in self.disturbances.values():
            await self._write(node_id, 0.0)
        if self.working:
            await self._write(self.working, plant.initial_working_value)

    async def publish(self, outputs: dict[str, float], sample_count: int, simulated_time: datetime) -> None:
        """The CVs after a sample, stamped with the simulated time at which they hold."""
        now = datetime.now(timezone.utc)
        for tag, node_id in self.cvs.items():
            await self.server.write_attribute_value(
                node_id, ua.DataValue(ua.Variant(float(outputs[tag]), DOUBLE), SourceTimestamp=simulated_time,
                                      ServerTimestamp=now))
        await self.server.write_attribute_value(
            self.sample_count, ua.DataValue(ua.Variant(sample_count, ua.VariantType.UInt64), SourceTimestamp=simulated_time,
                                            ServerTimestamp=now))

    async def _write(self, node_id: ua.NodeId, value: float) -> None:
        await self.server.write_attribute_value(node_id, ua.DataValue(ua.Variant(value, DOUBLE)))


def _argument(name: str, data_type: int, description: str) -> ua.Argument:
    return ua.Argument(Name=name, DataType=ua.NodeId(data_type), ValueRank=-1,
                       Description=ua.LocalizedText(description))
