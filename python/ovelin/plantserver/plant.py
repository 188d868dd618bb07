"""One interface over the two simulators a plant file can describe."""

from __future__ import annotations

import functools
from typing import Any


class Plant:
    """A MIMOSim, or an LPVPlantSim driven by a working value, stepped in batches.

    `run` calls the simulator in a tight loop with the same inputs for every
    sample: the inputs of a batch are those written before it began.
    """

    def __init__(self, simulator: Any, working_tag: str | None = None, working_value: float = 0.0):
        self.simulator = simulator
        self.working_tag = working_tag
        self.initial_working_value = float(working_value)
        self.mv_tags: list[str] = simulator.get_mv_list()
        self.cv_tags: list[str] = simulator.get_cv_list()
        self.outputs: dict[str, float] = simulator.get_output_data_dict()

    def run(self, samples: int, mvs: dict, disturbances: dict, working_value: float | None = None) -> dict[str, float]:
        """Advances `samples` samples; returns the CVs after the last one."""
        # The MIMOSim itself when it can be, so its samples cost what they cost in process.
        step = self.simulator if self.working_tag is None else functools.partial(self.simulator, working_value)
        outputs = self.outputs
        for _ in range(samples):
            outputs = step(mvs, disturbances)
        self.outputs = outputs
        return outputs
