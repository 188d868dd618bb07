"""The demo's mixing tank as a virtual plant on the network.

Serves the tank of plant_loops.py over OPC UA in lockstep, then closes the
demo's two PID loops as an OPC UA client: every sample it writes the valve
positions, calls Plant.Step(1) and reads the outlet temperature and flow. The
summary is the demo's own for the mixer, to the last digit.

    python plant_over_opcua.py [--samples N] [--endpoint URL]
"""

import argparse
import logging

from asyncua import ua
from asyncua.sync import Client, ThreadLoop

from ovelin.plantserver import PlantServer, plant_file_from_dict
from plant_loops import MIXER_MODEL, MIXER_START, TS, run_mixer

ENDPOINT = "opc.tcp://127.0.0.1:0/ovelin/"  # port 0: any free port


class RemoteProcess:
    """The tank seen through an OPC UA client, called like the MIMOSim it replaces."""

    def __init__(self, client):
        self.client = client
        namespace = client.get_namespace_index("urn:ovelin:plant")
        self.plant = client.get_node(ua.NodeId("Plant", namespace))
        self.mvs = {tag: client.get_node(ua.NodeId(f"Plant.{tag}", namespace)) for tag in ("FV-HOT", "FV-COLD")}
        self.cvs = {tag: client.get_node(ua.NodeId(f"Plant.{tag}", namespace)) for tag in MIXER_MODEL}
        self.step = ua.NodeId("Plant.Step", namespace)

    def get_output_data_dict(self):
        return dict(zip(self.cvs, self.client.read_values(list(self.cvs.values()))))

    def __call__(self, mvs):
        self.client.write_values([self.mvs[tag] for tag in mvs], [ua.Variant(v, ua.VariantType.Double) for v in mvs.values()])
        self.plant.call_method(self.step, ua.Variant(1, ua.VariantType.UInt32))
        return self.get_output_data_dict()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=900, help="samples to simulate (default 900)")
    parser.add_argument("--endpoint", default=ENDPOINT, help=f"where to serve the tank (default {ENDPOINT})")
    args = parser.parse_args(argv)
    logging.getLogger("asyncua").setLevel(logging.ERROR)  # the summary alone, as the demo prints it

    tank = plant_file_from_dict({"Ts": TS, "initial": MIXER_START, "model": MIXER_MODEL}, "the mixing tank")

    async def serve_tank():
        server = PlantServer(tank, args.endpoint, lockstep=True)
        await server.start()
        return server

    # One event loop in a thread runs both the server and the client's requests.
    with ThreadLoop() as thread_loop:
        server = thread_loop.post(serve_tank())
        try:
            with Client(server.endpoint, tloop=thread_loop) as client:
                pid_loops = run_mixer(args.samples, RemoteProcess(client))
        finally:
            thread_loop.post(server.stop())
    print(f"{args.samples} samples of {TS} s, over OPC UA at {server.endpoint}")
    for pid_loop in pid_loops:
        print(pid_loop.summary())


if __name__ == "__main__":
    main()
