"""The plant server: one simulated plant served over OPC UA, in real time or in lockstep."""

from __future__ import annotations

import asyncio
import contextlib
import ipaddress
from datetime import datetime, timedelta, timezone
from urllib.parse import urlsplit

from asyncua import Server, ua
from asyncua.common.callback import CallbackType

from .address_space import NAMESPACE_URI, PlantNodes
from .plantfile import PlantFile
from .schedule import keep_time
from .users import UserFile
from .write_guard import write_guard

DEFAULT_ENDPOINT = "opc.tcp://127.0.0.1:4840/ovelin/"
# Samples run between two looks at the network, so that a long Step leaves other clients served.
SAMPLES_PER_TURN = 10_000
INTEGER_TYPES = {ua.VariantType.SByte, ua.VariantType.Byte, ua.VariantType.Int16, ua.VariantType.UInt16,
                 ua.VariantType.Int32, ua.VariantType.UInt32, ua.VariantType.Int64, ua.VariantType.UInt64}


class InsecureEndpointError(ValueError):
    """Anonymous access was asked for on an endpoint that others can reach."""


def is_loopback(endpoint: str) -> bool:
    host = urlsplit(endpoint).hostname or ""
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class PlantServer:
    """Serves the plant of a plant file; use as `async with PlantServer(...) as server:`.

    In real time (the default) the plant advances one sample every Ts / speed
    seconds; in lockstep it advances only through the Step method. Every
    sample uses the inputs written before it; Reset returns to the file's
    initial state.
    """

    def __init__(self, plant_file: PlantFile, endpoint: str = DEFAULT_ENDPOINT, *, speed: float = 1.0,
                 lockstep: bool = False, users: UserFile | None = None):
        if users is None and not is_loopback(endpoint):
            raise InsecureEndpointError(
                f"{endpoint} is not a loopback endpoint: anonymous access is refused there (give a user file)")
        if not speed > 0:
            raise ValueError(f"speed must be positive (got {speed})")
        self.plant_file, self.speed, self.lockstep, self.users = plant_file, speed, lockstep, users
        self.server = Server(user_manager=users)
        self.server.set_endpoint(endpoint)
        # Without a certificate only the open policy can work; a caller who loads
        # one sets asyncua's signing and encrypting policies before start().
        self.server.set_security_policy([ua.SecurityPolicyType.NoSecurity])
        self._lock = asyncio.Lock()
        self._clock: asyncio.Task | None = None
        self.sample_count = 0

    async def __aenter__(self) -> PlantServer:
        await self.start()
        return self

    async def __aexit__(self, *exc_info) -> None:
        await self.stop()

    @property
    def endpoint(self) -> str:
        """The endpoint URL, with the port the server listens on (when the URL asked for port 0)."""
        url = urlsplit(self.server.endpoint.geturl())
        port = self.server.bserver.port if self.server.bserver else url.port
        return url._replace(netloc=f"{url.hostname}:{port}").geturl()

    async def start(self) -> None:
        await self.server.init()
        self.server.set_server_name("ovelin virtual plant")
        # With a user file, every session signs in by password; without, sessions are anonymous.
        self.server.set_identity_tokens([ua.UserNameIdentityToken if self.users else ua.AnonymousIdentityToken])
        namespace = await self.server.register_namespace(NAMESPACE_URI)
        self.plant = self.plant_file.build()
        self.nodes = PlantNodes(self.server, namespace, self.plant)
        await self.nodes.create(self.plant, self.plant_file.Ts, self._step_method, self._reset_method)
        await self.nodes.write_inputs(self.plant, self.plant_file.initial)
        self.server.subscribe_server_callback(CallbackType.PreWrite, write_guard(namespace, self.nodes.writable))
        await self.server.start()
        await self._begin()

    async def stop(self) -> None:
        await self._stop_clock()
        await self.server.stop()

    async def advance(self, samples: int) -> int:
        """Runs `samples` samples with the inputs as written now; returns the sample count."""
        async with self._lock:
            mvs, disturbances, working_value = self.nodes.read_inputs()
            remaining = samples
            while remaining > 0:
                turn = min(remaining, SAMPLES_PER_TURN)
                outputs = self.plant.run(turn, mvs, disturbances, working_value)
                self.sample_count += turn
                remaining -= turn
                if remaining:
                    await asyncio.sleep(0)
            if samples:
                await self.nodes.publish(outputs, self.sample_count, self._simulated_time())
            return self.sample_count

    async def reset(self) -> None:
        """Back to the plant file's initial state; real time starts its schedule again."""
        await self._stop_clock()
        async with self._lock:
            self.plant = self.plant_file.build()
            await self.nodes.write_inputs(self.plant, self.plant_file.initial)
        await self._begin()

    async def _begin(self) -> None:
        self.sample_count = 0
        self._start_time = datetime.now(timezone.utc)
        await self.nodes.publish(self.plant.outputs, 0, self._start_time)
        if not self.lockstep:
            period = self.plant_file.Ts / self.speed
            self._clock = asyncio.create_task(keep_time(asyncio.get_running_loop().time(), period, self.advance))

    async def _stop_clock(self) -> None:
        if self._clock is not None:
            self._clock.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await self._clock
            self._clock = None

    def _simulated_time(self) -> datetime:
        return self._start_time + timedelta(seconds=self.sample_count * self.plant_file.Ts)

    async def _step_method(self, _parent: ua.NodeId, *arguments: ua.Variant):
        if not self.lockstep:
            return ua.StatusCode(ua.StatusCodes.BadInvalidState)
        if len(arguments) != 1:
            return ua.StatusCode(ua.StatusCodes.BadArgumentsMissing if not arguments else ua.StatusCodes.BadTooManyArguments)
        (samples,) = arguments
        if samples.VariantType not in INTEGER_TYPES or samples.is_array:
            return ua.CallMethodResult(StatusCode=ua.StatusCode(ua.StatusCodes.BadInvalidArgument),
                                       InputArgumentResults=[ua.StatusCode(ua.StatusCodes.BadTypeMismatch)])
        if not 0 <= samples.Value <= 0xFFFFFFFF:
            return ua.CallMethodResult(StatusCode=ua.StatusCode(ua.StatusCodes.BadInvalidArgument),
                                       InputArgumentResults=[ua.StatusCode(ua.StatusCodes.BadOutOfRange)])
        return [ua.Variant(await self.advance(samples.Value), ua.VariantType.UInt64)]

    async def _reset_method(self, _parent: ua.NodeId):
        await self.reset()
        return []
