"""Virtual plant rows of the benchmark table: the demo's mixing tank served over
OPC UA in lockstep, against the same MIMOSim called in process.

`Step(10000)` is one method call that runs 10,000 samples in the server; its
reference is 10,000 calls of the tank's MIMOSim (target: at most twice as
long). The round trip row is one `Step(1)` and one read of the two CVs, against
one in-process call. Skipped when asyncua (the opcua extra) is not installed.
"""

import atexit
import logging
import pathlib
import runpy

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def cases(Case, floor):
    try:
        from asyncua import ua
        from asyncua.sync import Client, ThreadLoop
    except ImportError:
        return []
    from ovelin.algorithm.processsim import MIMOSim
    from ovelin.plantserver import PlantServer, plant_file_from_dict

    demo = runpy.run_path(str(EXAMPLES / "plant_loops.py"))
    model, start = demo["MIXER_MODEL"], demo["MIXER_START"]

    def setup(ns):
        if "client" in ns:
            return
        logging.getLogger("asyncua").setLevel(logging.ERROR)
        # A daemon thread, stopped at exit: atexit runs only after the non-daemon threads end.
        thread_loop = ThreadLoop()
        thread_loop.daemon = True
        thread_loop.start()

        async def serve():
            server = PlantServer(plant_file_from_dict({"Ts": 1, "initial": start, "model": model}),
                                 "opc.tcp://127.0.0.1:0/ovelin/", lockstep=True)
            await server.start()
            return server

        server = thread_loop.post(serve())
        client = Client(server.endpoint, tloop=thread_loop)
        client.connect()

        @atexit.register
        def shut_down():
            client.disconnect()
            thread_loop.post(server.stop())
            thread_loop.stop()

        namespace = client.get_namespace_index("urn:ovelin:plant")
        plant = client.get_node(ua.NodeId("Plant", namespace))
        step_id = ua.NodeId("Plant.Step", namespace)
        cvs = [client.get_node(ua.NodeId(f"Plant.{tag}", namespace)) for tag in model]
        sim = MIMOSim(model, ini_value_dict=start, Ts=1)
        u, v = {"FV-HOT": 55.0, "FV-COLD": 40.0}, {"TT-OUT": 0.0, "FT-OUT": 0.0}
        client.write_values([client.get_node(ua.NodeId(f"Plant.{tag}", namespace)) for tag in u],
                            [ua.Variant(x, ua.VariantType.Double) for x in u.values()])

        def in_process(samples):
            for _ in range(samples):
                sim(u, v)

        ns.update(client=client, plant=plant, step_id=step_id, cvs=cvs, in_process=in_process,
                  n10000=ua.Variant(10000, ua.VariantType.UInt32), n1=ua.Variant(1, ua.VariantType.UInt32))

    return [
        Case("plantserver Step(10000), mixing tank", ours="plant.call_method(step_id, n10000)", floor=None,
             reference="in_process(10000)", setup=setup, number=20,
             notes="python = 10,000 MIMOSim calls in process; target python/ours >= 0.5"),
        Case("plantserver Step(1) + read of the 2 CVs", ours="plant.call_method(step_id, n1); client.read_values(cvs)",
             floor=None, reference="in_process(1)", setup=setup, number=500,
             notes="a network round trip pair, against one MIMOSim call in process"),
    ]
