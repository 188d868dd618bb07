"""python -m ovelin.plantserver PLANT.json [--endpoint URL] [--speed S] [--lockstep] [--users FILE]"""

from __future__ import annotations

import argparse
import asyncio
import logging
import signal
import sys

from .address_space import NAMESPACE_URI
from .plantfile import PlantFile, PlantFileError, load_plant_file
from .server import DEFAULT_ENDPOINT, InsecureEndpointError, PlantServer
from .users import UserFile

USAGE_ERROR = 2


def positive(text: str) -> float:
    value = float(text)
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number (got {text})")
    return value


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m ovelin.plantserver",
                                     description="Serve a simulated plant (MIMOSim or LPVPlantSim) over OPC UA.")
    parser.add_argument("plant_file", metavar="PLANT.json", help="the plant file")
    parser.add_argument("--endpoint", default=DEFAULT_ENDPOINT, help=f"endpoint URL (default {DEFAULT_ENDPOINT})")
    parser.add_argument("--speed", type=positive, default=1.0,
                        help="samples run this many times faster than real time (default 1)")
    parser.add_argument("--lockstep", action="store_true", help="advance only when a client calls Plant.Step")
    parser.add_argument("--users", metavar="FILE", help="admit only these users, by password (see ovelin.plantserver.users)")
    return parser.parse_args(argv)


def describe(server: PlantServer) -> str:
    plant = server.plant
    mode = ("lockstep: samples advance through Plant.Step" if server.lockstep else
            f"real time: one sample every {server.plant_file.Ts / server.speed:g} s")
    lines = [f"plant server at {server.endpoint} ({mode})", f"tags (namespace {NAMESPACE_URI}):"]
    lines += [f"  MV  Plant.{tag}" for tag in plant.mv_tags]
    if plant.working_tag:
        lines.append(f"  W   Plant.{plant.working_tag}  (working value)")
    lines += [f"  CV  Plant.{tag}" for tag in plant.cv_tags]
    lines += [f"  DV  Plant.Disturbances.{tag}" for tag in plant.cv_tags]
    return "\n".join(lines)


async def serve(args: argparse.Namespace, plant_file: PlantFile, users: UserFile | None) -> None:
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signal_number in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signal_number, stop.set)
    async with PlantServer(plant_file, args.endpoint, speed=args.speed, lockstep=args.lockstep, users=users) as server:
        print(describe(server), flush=True)
        await stop.wait()
    print("plant server stopped", flush=True)


def main(argv: list[str] | None = None) -> int:
    args = parse_arguments(argv)
    logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(name)s: %(message)s")
    try:
        plant_file = load_plant_file(args.plant_file)
        users = UserFile(args.users) if args.users else None
    except (PlantFileError, OSError, ValueError) as error:
        print(f"plantserver: {error}", file=sys.stderr)
        return USAGE_ERROR
    try:
        asyncio.run(serve(args, plant_file, users))
    except (InsecureEndpointError, OSError) as error:  # OSError: the endpoint cannot be bound
        print(f"plantserver: {error}", file=sys.stderr)
        return USAGE_ERROR
    except KeyboardInterrupt:  # interrupted while starting, before the signal handlers were set
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
