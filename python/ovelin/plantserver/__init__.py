"""A virtual plant on the network: a MIMOSim or an LPVPlantSim served over OPC UA.

    python -m ovelin.plantserver PLANT.json [--endpoint URL] [--speed S] [--lockstep] [--users FILE]

OPC UA clients (control systems, SCADA, HMI) read the simulated CVs and write
the MVs as they would on the plant. Needs the `opcua` extra (asyncua).
"""

try:
    import asyncua  # noqa: F401
except ImportError as missing:
    raise ImportError('ovelin.plantserver needs asyncua: pip install "ovelin.algorithm[opcua]"') from missing

from .address_space import NAMESPACE_URI
from .plantfile import PlantFile, PlantFileError, load_plant_file, plant_file_from_dict
from .server import DEFAULT_ENDPOINT, InsecureEndpointError, PlantServer
from .users import UserFile, add_user

__all__ = ["DEFAULT_ENDPOINT", "NAMESPACE_URI", "InsecureEndpointError", "PlantFile", "PlantFileError",
           "PlantServer", "UserFile", "add_user", "load_plant_file", "plant_file_from_dict"]
