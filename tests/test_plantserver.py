"""The virtual plant over OPC UA: an asyncua client against a server on an ephemeral loopback port."""

import asyncio
import json
import math
import os
import pathlib
import runpy
import signal
import subprocess
import sys
import time
from datetime import timedelta

import pytest

pytest.importorskip("asyncua", reason="asyncua (the opcua extra) is not installed")
from asyncua import Client, ua  # noqa: E402
from asyncua.sync import ThreadLoop  # noqa: E402

from ovelin.algorithm.lpvplant import LPVPlantSim  # noqa: E402
from ovelin.algorithm.processsim import MIMOSim  # noqa: E402
from ovelin.plantserver import (InsecureEndpointError, PlantFileError, PlantServer, UserFile,  # noqa: E402
                                add_user, load_plant_file, plant_file_from_dict)

DEMO = runpy.run_path(str(pathlib.Path(__file__).resolve().parent.parent / "examples" / "plant_loops.py"))
ENDPOINT = "opc.tcp://127.0.0.1:0/ovelin/"
MIXER = {"Ts": 1, "initial": DEMO["MIXER_START"], "model": DEMO["MIXER_MODEL"]}
HEATER = {"Ts": 1, "initial": {**DEMO["HEATER_START"], "THROUGHPUT": 20.0}, "working_tag": "THROUGHPUT",
          "plants": [{"id": i, "working_point": point, "model": {"TT-HTR": {"FV-FUEL": DEMO["first_order"](*rest)}}}
                     for i, point, *rest in DEMO["HEATER_MODELS"]]}


class Remote:
    """The plant as a client sees it, by the names under Plant."""

    def __init__(self, client, namespace):
        self.client, self.namespace = client, namespace
        self.plant = client.get_node(ua.NodeId("Plant", namespace))

    def node(self, name):
        return self.client.get_node(ua.NodeId(f"Plant.{name}", self.namespace))

    async def write(self, values):
        await self.client.write_values([self.node(n) for n in values],
                                       [ua.Variant(float(v), ua.VariantType.Double) for v in values.values()])

    async def read(self, *names):
        return await self.client.read_values([self.node(n) for n in names])

    async def step(self, samples=1):
        return await self.plant.call_method(self.node("Step"), ua.Variant(samples, ua.VariantType.UInt32))


async def session(endpoint, client_call):
    async with Client(endpoint) as client:
        return await client_call(Remote(client, await client.get_namespace_index("urn:ovelin:plant")))


def served(description, client_call, **options):
    """Runs client_call(remote) against a new server of the plant; returns what it returns."""

    async def run():
        async with PlantServer(plant_file_from_dict(description), ENDPOINT, **options) as server:
            return await session(server.endpoint, client_call)

    return asyncio.run(run())


@pytest.fixture(scope="module")
def lockstep():
    """run(description, client_call) on a lockstep server, reset first; one per plant for the module (a start costs seconds)."""
    servers = {}

    async def run(description, client_call):
        key = json.dumps(description)
        if key not in servers:
            servers[key] = PlantServer(plant_file_from_dict(description), ENDPOINT, lockstep=True)
            await servers[key].start()
        await servers[key].reset()
        return await session(servers[key].endpoint, client_call)

    with ThreadLoop() as thread_loop:
        yield lambda description, client_call: thread_loop.post(run(description, client_call))
        for server in servers.values():
            thread_loop.post(server.stop())


def mixer_inputs(k):
    """MVs, disturbances and working value of sample k: MV steps and a disturbance pulse."""
    return {"FV-HOT": 57.5 if k >= 20 else 50.0, "FV-COLD": 36.75 if k >= 90 else 40.0}, \
        {"TT-OUT": 1.5 if 60 <= k < 120 else 0.0}, None


def heater_inputs(k):
    return {"FV-FUEL": 52.5 if k >= 20 else 45.0}, {"TT-HTR": -2.0 if 60 <= k < 120 else 0.0}, 10.0 + 0.4 * k


def in_process(description):
    """The plant's simulator built directly, called as f(MVs, disturbances, working value)."""
    if "model" in description:
        simulator = MIMOSim(description["model"], ini_value_dict=description["initial"], Ts=1)
        return lambda u, v, w: simulator(u, v)
    simulator = LPVPlantSim(description["initial"])
    for local in description["plants"]:
        simulator.addPlant(local["id"], local["working_point"], local["model"], 1)
    return lambda u, v, w: simulator(w, u, v)


@pytest.mark.parametrize("description, inputs", [(MIXER, mixer_inputs), (HEATER, heater_inputs)],
                         ids=["MIMOSim", "LPVPlantSim-working-value-across-its-models"])
def test_lockstep_gives_the_in_process_cvs_bit_for_bit(description, inputs, lockstep):
    samples, cvs = 200, list(in_process(description)({}, {}, 0.0))

    async def client_call(remote):
        start = (await remote.node(cvs[0]).read_data_value()).SourceTimestamp
        rows = []
        for k in range(samples):
            u, v, w = inputs(k)
            await remote.write({**u, **{f"Disturbances.{tag}": x for tag, x in v.items()},
                                **({"THROUGHPUT": w} if w is not None else {})})
            assert await remote.step() == k + 1
            values = await remote.client.read_attributes([remote.node(tag) for tag in cvs])
            assert {value.SourceTimestamp - start for value in values} == {timedelta(seconds=k + 1)}
            rows.append([value.Value.Value for value in values])
        return rows

    reference = in_process(description)
    assert lockstep(description, client_call) == [list(reference(*inputs(k)).values()) for k in range(samples)]


BAD_WRITES = [  # (variable, value, refusal)
    ("FV-HOT", ua.Variant("55", ua.VariantType.String), ua.uaerrors.BadTypeMismatch),
    ("FV-HOT", ua.Variant(55, ua.VariantType.Int32), ua.uaerrors.BadTypeMismatch),
    ("FV-HOT", ua.Variant(math.nan, ua.VariantType.Double), ua.uaerrors.BadOutOfRange),
    ("FV-HOT", ua.Variant(-math.inf, ua.VariantType.Double), ua.uaerrors.BadOutOfRange),
    ("Disturbances.TT-OUT", ua.Variant(math.inf, ua.VariantType.Double), ua.uaerrors.BadOutOfRange),
    ("TT-OUT", ua.Variant(1.0, ua.VariantType.Double), ua.uaerrors.BadNotWritable),
    ("SampleCount", ua.Variant(7, ua.VariantType.UInt64), ua.uaerrors.BadNotWritable),
]


@pytest.mark.parametrize("name, value, refusal", BAD_WRITES, ids=[f"{n}-{e.__name__}" for n, _, e in BAD_WRITES])
def test_a_refused_write_changes_nothing(name, value, refusal, lockstep):
    async def client_call(remote):
        await remote.step(3)
        with pytest.raises(refusal):
            await remote.node(name).write_value(value)
        # One refused value refuses the whole request: the good write beside it does not land either.
        with pytest.raises(refusal):
            await remote.client.write_values([remote.node("FV-COLD"), remote.node(name)],
                                             [ua.Variant(1.0, ua.VariantType.Double), value])
        await remote.step(2)
        return await remote.read("FV-HOT", "FV-COLD", "TT-OUT", "FT-OUT", "SampleCount")

    reference = in_process(MIXER)
    cvs = [reference({}, {}, None) for _ in range(5)][-1]
    assert lockstep(MIXER, client_call) == [50.0, 40.0, cvs["TT-OUT"], cvs["FT-OUT"], 5]


def test_reset_returns_to_the_plant_files_initial_state(lockstep):
    async def client_call(remote):
        await remote.write({"FV-HOT": 70.0, "Disturbances.FT-OUT": 2.0})
        await remote.step(30)
        await remote.plant.call_method(remote.node("Reset"))
        at_reset = await remote.read("FV-HOT", "Disturbances.FT-OUT", "TT-OUT", "FT-OUT", "SampleCount")
        await remote.step(5)
        return at_reset, await remote.read("TT-OUT", "FT-OUT")

    fresh = in_process(MIXER)
    after = [fresh({}, {}, None) for _ in range(5)][-1]
    assert lockstep(MIXER, client_call) == ([50.0, 0.0, 60.0, 40.0, 0], list(after.values()))


def test_real_time_advances_speed_over_ts_samples_a_second_and_refuses_step():
    speed, wait = 40.0, 0.5

    async def client_call(remote):
        with pytest.raises(ua.uaerrors.BadInvalidState):
            await remote.step()
        (before,), began = await remote.read("SampleCount"), time.monotonic()
        await asyncio.sleep(wait)
        (after,) = await remote.read("SampleCount")
        return (after - before) / (time.monotonic() - began)

    rate = served(MIXER, client_call, speed=speed)
    assert speed / 2 <= rate <= speed * 1.5  # wide bounds: a test of the schedule, not of the machine


def test_users_by_password_and_no_anonymous_access(tmp_path):
    users = tmp_path / "users.json"
    add_user(str(users), "operator", "first")
    subprocess.run([sys.executable, "-m", "ovelin.plantserver.users", users, "operator"], input="s3cret\n",
                   text=True, check=True, capture_output=True)  # the tool, as an operator runs it: a new password
    assert "s3cret" not in users.read_text() and oct(users.stat().st_mode)[-3:] == "600"

    async def sign_in(endpoint, user, password):
        client = Client(endpoint)
        if user:
            client.set_user(user)
            client.set_password(password)
        try:
            async with client:
                return await client.nodes.objects.get_child(["2:Plant", "2:FV-HOT"]) is not None
        except ua.UaStatusCodeError as refusal:
            return type(refusal).__name__

    async def sign_ins():
        async with PlantServer(plant_file_from_dict(MIXER), ENDPOINT, lockstep=True, users=UserFile(str(users))) as server:
            return [await sign_in(server.endpoint, *who) for who in [("operator", "s3cret"), ("operator", "wrong"),
                                                                      ("intruder", "s3cret"), (None, None)]]

    assert asyncio.run(sign_ins()) == [True, "BadUserAccessDenied", "BadUserAccessDenied", "BadIdentityTokenRejected"]
    with pytest.raises(InsecureEndpointError):
        PlantServer(plant_file_from_dict(MIXER), "opc.tcp://0.0.0.0:4840/ovelin/")


PLANT_FILE_FAULTS = [  # (change to the mixing tank's file, key named in the message)
    ({"Ts": 0.5}, "Ts"),
    ({"initial": {"FV-HOT": "hot"}}, "initial.FV-HOT"),
    ({"model": {"TT-OUT": {"FV-HOT": {"mode": "tf_s"}}}}, "model"),
    ({"model": {"TT-OUT": {"FT-OUT": {"mode": "tf_z", "num_z": [1], "den_z": [1]}}, "FT-OUT": {}}}, "model"),
    ({"plants": []}, "model"),
    ({"model": None, "plants": [{"id": 1, "working_point": 1.0, "model": {}}], "working_tag": "W"}, "plants[0].model"),
    ({"model": None, "working_tag": "W", "plants": [{"id": 1, "working_point": 1.0, "model": MIXER["model"]},
                                                    {"id": 2, "working_point": 1, "model": MIXER["model"]}]}, "plants"),
]


@pytest.mark.parametrize("change, key", PLANT_FILE_FAULTS, ids=[key for _, key in PLANT_FILE_FAULTS])
def test_a_malformed_plant_file_is_refused_naming_the_key(change, key, tmp_path):
    content = {k: v for k, v in {**MIXER, **change}.items() if v is not None}
    path = tmp_path / "plant.json"
    path.write_text(json.dumps(content))
    with pytest.raises(PlantFileError, match=rf"^{path}: {key}: ".replace("[", r"\[").replace("]", r"\]")):
        load_plant_file(str(path))


def command(*args):
    return subprocess.Popen([sys.executable, "-m", "ovelin.plantserver", *map(str, args)], text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env={**os.environ, "PYTHONUNBUFFERED": "1"})


def test_the_command_refuses_a_malformed_file_with_status_2(tmp_path):
    path = tmp_path / "plant.json"
    path.write_text(json.dumps({**MIXER, "Ts": "one"}))
    out, err = command(path).communicate(timeout=60)
    assert (out, err) == ("", f"plantserver: {path}: Ts: must be a whole number of seconds, at least 1 (got 'one')\n")


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM], ids=lambda s: s.name)
def test_the_command_serves_and_stops_on_a_signal(stop, tmp_path):
    path = tmp_path / "plant.json"
    path.write_text(json.dumps(MIXER))
    server = command(path, "--lockstep", "--endpoint", ENDPOINT)
    try:
        ready = [server.stdout.readline().split() for _ in range(8)]
        assert [line[1] for line in ready[2:]] == [f"Plant.{name}" for name in (
            "FV-HOT", "FV-COLD", "TT-OUT", "FT-OUT", "Disturbances.TT-OUT", "Disturbances.FT-OUT")]

        async def step_and_count(remote):
            return await remote.step(4), await remote.read("SampleCount")

        async def use_then_drop():
            dropped = Client(ready[0][3])  # a client that vanishes without closing its session
            await dropped.connect()
            dropped.uaclient.protocol.transport.abort()
            return await session(ready[0][3], step_and_count)

        assert asyncio.run(use_then_drop()) == (4, [4])
    finally:
        server.send_signal(stop)
        out, err = server.communicate(timeout=30)
    assert server.returncode == 0 and "Traceback" not in err and out.endswith("plant server stopped\n")
