"""The plant file: a JSON description of a simulated plant, checked before use.

A plant file holds `Ts` (whole seconds), `initial` (tag -> initial value) and
either `model` (a process model dictionary: a MIMOSim) or `plants` (local
models by working point) with `working_tag` (an LPVPlantSim).
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass
from typing import Any

from ovelin.algorithm.lpvplant import LPVPlantSim
from ovelin.algorithm.processsim import MIMOSim

from .plant import Plant

# Names that the address space uses beside the tags, so no tag may take them.
RESERVED_NAMES = frozenset({"Disturbances", "SampleCount", "Ts", "Step", "Reset"})


class PlantFileError(ValueError):
    """A plant file that cannot describe a plant: names the file and the key."""

    def __init__(self, path: str, key: str, problem: str):
        super().__init__(f"{path}: {key}: {problem}")
        self.path, self.key = path, key


def is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


@dataclass(frozen=True)
class PlantFile:
    path: str
    Ts: int
    initial: dict[str, float]
    model: dict | None = None
    plants: tuple[dict, ...] = ()
    working_tag: str | None = None

    def build(self) -> Plant:
        """A new simulator in the file's initial state."""
        if self.model is not None:
            return Plant(MIMOSim(self.model, ini_value_dict=self.initial, Ts=self.Ts))
        simulator = LPVPlantSim(self.initial)
        for local in self.plants:
            simulator.addPlant(local["id"], local["working_point"], local["model"], self.Ts)
        return Plant(simulator, self.working_tag, self.initial.get(self.working_tag, 0.0))


def load_plant_file(path: str) -> PlantFile:
    """Reads and checks a plant file; a PlantFileError names what is wrong."""
    try:
        with open(path, encoding="utf-8") as file:
            content = json.load(file)
    except OSError as error:
        raise PlantFileError(path, "file", error.strerror or str(error)) from None
    except ValueError as error:
        raise PlantFileError(path, "file", f"not JSON ({error})") from None
    return plant_file_from_dict(content, path)


def plant_file_from_dict(content: Any, path: str = "<plant>") -> PlantFile:
    """Checks a plant description already read; `path` names it in errors."""
    if not isinstance(content, dict):
        raise PlantFileError(path, "file", "must hold a JSON object")
    plant_file = PlantFile(path, _sample_time(path, content), _initial_values(path, content), **_models(path, content))
    _check_tags(plant_file, _build(plant_file))
    return plant_file


def _sample_time(path: str, content: dict) -> int:
    Ts = content.get("Ts")
    if not isinstance(Ts, int) or isinstance(Ts, bool) or Ts < 1:
        raise PlantFileError(path, "Ts", f"must be a whole number of seconds, at least 1 (got {Ts!r})")
    return Ts


def _initial_values(path: str, content: dict) -> dict[str, float]:
    initial = content.get("initial")
    if not isinstance(initial, dict):
        raise PlantFileError(path, "initial", "must be an object of tag: initial value")
    for tag, value in initial.items():
        if not is_number(value):
            raise PlantFileError(path, f"initial.{tag}", f"must be a finite number (got {value!r})")
    return initial


def _models(path: str, content: dict) -> dict:
    if ("model" in content) == ("plants" in content):
        raise PlantFileError(path, "model", "give either 'model' (a MIMO plant) or 'plants' (an LPV plant), not both")
    if "model" in content:
        _check_model(path, "model", content["model"])
        return {"model": content["model"]}
    plants, working_tag = content["plants"], content.get("working_tag")
    if not isinstance(plants, list) or not plants:
        raise PlantFileError(path, "plants", "must be a non-empty list of {id, working_point, model}")
    for index, local in enumerate(plants):
        key = f"plants[{index}]"
        if not isinstance(local, dict):
            raise PlantFileError(path, key, "must be an object {id, working_point, model}")
        if not isinstance(local.get("id"), int) or isinstance(local.get("id"), bool):
            raise PlantFileError(path, f"{key}.id", f"must be a whole number (got {local.get('id')!r})")
        if not is_number(local.get("working_point")):
            raise PlantFileError(path, f"{key}.working_point", f"must be a finite number (got {local.get('working_point')!r})")
        _check_model(path, f"{key}.model", local.get("model"))
    # The simulator would silently let a later model replace an earlier one.
    for field in ("id", "working_point"):
        values = [local[field] for local in plants]
        if len(set(values)) < len(values):
            raise PlantFileError(path, "plants", f"two local models have the same {field}")
    if not isinstance(working_tag, str) or not working_tag:
        raise PlantFileError(path, "working_tag", f"must name the working value's tag (got {working_tag!r})")
    return {"plants": tuple(plants), "working_tag": working_tag}


def _check_model(path: str, key: str, model: Any) -> None:
    if not isinstance(model, dict) or not model or not all(isinstance(row, dict) for row in model.values()):
        raise PlantFileError(path, key, "must be an object of CV tag: {MV tag: pair model}")


def _build(plant_file: PlantFile) -> Plant:
    """Builds the plant once, so that a model the simulator refuses is a file error."""
    try:
        return plant_file.build()
    except Exception as error:  # the simulators' own refusals, whatever their kind
        key = "model" if plant_file.model is not None else "plants"
        raise PlantFileError(plant_file.path, key, f"the simulator refuses it ({type(error).__name__}: {error})") from None


def _check_tags(plant_file: PlantFile, plant: Plant) -> None:
    model_key = "model" if plant_file.model is not None else "plants"
    for tag in plant.mv_tags + plant.cv_tags:
        if not isinstance(tag, str) or not tag or tag in RESERVED_NAMES:
            raise PlantFileError(plant_file.path, model_key, f"tag {tag!r} cannot name a variable of the plant")
    both = set(plant.mv_tags) & set(plant.cv_tags)
    if both:
        raise PlantFileError(plant_file.path, model_key, f"tags both MV and CV: {', '.join(sorted(both))}")
    working_tag = plant_file.working_tag
    if working_tag is not None and (working_tag in plant.mv_tags + plant.cv_tags or working_tag in RESERVED_NAMES):
        raise PlantFileError(plant_file.path, "working_tag", f"{working_tag!r} is already taken by the plant")
