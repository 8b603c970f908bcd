"""AsyncModbusTCPMaster dropped without close(): the collector frees the master and its
protocol object, and the peer sees the connection closed; a call in progress keeps its
master until it ends. Plain TCP and TLS, on the default loop and on uvloop."""

import asyncio
import gc
import shutil
import warnings
import weakref

import pytest

import test_async_tcp_master as scripted
import test_tls
from brel_modbus import AsyncMaster, AsyncModbusTCPMaster, tls_context
from test_async_tcp_master import TIMEOUT, Peer, registers_answer
from tls_certs import server_context

run = scripted.run
certs = test_tls.certs
PROTOCOL = "_AsyncModbusTCPMaster__protocol"
PROTOCOL_OF = {AsyncModbusTCPMaster: PROTOCOL, AsyncMaster: "_AsyncMaster__protocol"}
SEEN = 5.0   # how long the peer may take to see the connection closed (it is at once when all is well)


class Watched(Peer):
    """A scripted peer (plain or TLS) that answers every request, each one once `release` is set,
    and tells, by `ended`, that its connection was closed by the master."""

    def __init__(self, context=None):
        super().__init__(self.answer)
        self.context = context
        self.release = asyncio.Event()
        self.release.set()
        self.ended = asyncio.Event()

    async def __aenter__(self):
        self.server = await asyncio.start_server(self._serve, "127.0.0.1", 0, ssl=self.context)
        self.port = self.server.sockets[0].getsockname()[1]
        return self

    async def answer(self, reader, writer, peer):
        try:
            while True:
                request = await peer.request(reader)
                await self.release.wait()
                writer.write(registers_answer(*request))
        finally:
            self.ended.set()


@pytest.fixture(params=["tcp", "tls"])
def security(request):
    """(the peer's context, the master's context): none for plain TCP."""
    if request.param == "tcp":
        return None, None
    if shutil.which("openssl") is None:
        pytest.skip("needs the openssl command")
    made = request.getfixturevalue("certs")
    return server_context(made.server, made.ca), tls_context(made.ca, *made.operator)


async def freed(refs):
    """The weak references once the collector and a few loop steps (the transport's close) have run."""
    gc.collect()
    for _ in range(20):
        await asyncio.sleep(0)
    gc.collect()
    return [r() is None for r in refs]


def test_a_dropped_connected_master_closes_its_connection(run, security):
    peer_context, context = security

    async def body():
        async with Watched(peer_context) as peer:
            master = AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT, ssl_context=context)
            assert await master.read_registers(3, 2) == [3, 4]
            refs = [weakref.ref(master), weakref.ref(vars(master)[PROTOCOL])]
            transport = master.transport
            del master
            await asyncio.wait_for(peer.ended.wait(), SEEN)
            return await freed(refs), transport.is_closing()

    assert run(body) == ([True, True], True)


def test_a_call_in_progress_keeps_its_dropped_master_until_it_ends(run, security):
    peer_context, context = security

    async def body():
        async with Watched(peer_context) as peer:
            # The calls wait through the collector's runs: a time-out longer than those can take
            # in a large test process under a sanitizer.
            master = AsyncModbusTCPMaster("127.0.0.1", peer.port, SEEN, 1, max_in_flight=2, ssl_context=context)
            await master.connect()
            peer.release.clear()                  # the answers wait for the test
            calls = [master.read_register(7), master.read_registers(8, 2)]
            refs = [weakref.ref(master), weakref.ref(vars(master)[PROTOCOL])]
            del master
            kept = await freed(refs)
            assert not peer.ended.is_set()
            peer.release.set()
            results = await asyncio.gather(*calls)
            await asyncio.wait_for(peer.ended.wait(), SEEN)
            return kept, results, await freed(refs), len(peer.requests)

    assert run(body) == ([False, False], [7, [8, 9]], [True, True], 2)


# The opening is cancelled before it starts, which asyncio tells by a warning that holds the
# unstarted coroutine (and with it the protocol object) while pytest records it.
@pytest.mark.filterwarnings("ignore:coroutine .*create_connection' was never awaited:RuntimeWarning")
def test_a_master_dropped_while_connecting_fails_its_connect(run):
    async def body():
        async with Watched() as peer:
            master = AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT)
            opening = master.connect()
            refs = [weakref.ref(master), weakref.ref(vars(master)[PROTOCOL])]
            del master
            gc.collect()
            with pytest.raises(ConnectionError) as raised:
                await opening
            return await freed(refs), str(raised.value)

    assert run(body) == ([True, True], "connecting was cancelled")


def test_a_dropped_master_never_connected_is_freed():
    master = AsyncModbusTCPMaster("127.0.0.1", 1, TIMEOUT)
    refs = [weakref.ref(master), weakref.ref(vars(master)[PROTOCOL])]
    del master
    gc.collect()
    assert [r() for r in refs] == [None, None]


@pytest.mark.parametrize("make", [
    lambda port: AsyncModbusTCPMaster("127.0.0.1", port, TIMEOUT),
    lambda port: AsyncMaster(f"socket://127.0.0.1:{port}", 19200, TIMEOUT),
], ids=["tcp", "rtu-socket"])
def test_closed_before_its_connection_opens_leaves_no_coroutine_unawaited(run, make):
    # close() right after connect(), before the loop has started opening: the opening coroutine
    # is closed with its task, not left for the collector to report as never awaited.
    async def body():
        async with Watched() as peer:
            master = make(peer.port)
            opening = master.connect()
            await master.close()
            with pytest.raises(ConnectionError):
                await opening

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        run(body)
        gc.collect()
    assert [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)] == []


@pytest.mark.parametrize("make", [
    lambda port: AsyncModbusTCPMaster("127.0.0.1", port, TIMEOUT),
    lambda port: AsyncMaster(f"socket://127.0.0.1:{port}", 19200, TIMEOUT),
], ids=["tcp", "rtu-socket"])
@pytest.mark.parametrize("close", [True, False], ids=["closed", "open"])
def test_a_master_the_collector_frees_from_a_cycle_lets_its_link_go(run, make, close):
    # Only the cycle collector can free a master that sits in a reference cycle; its weak
    # reference's callback then runs from the collector, and the link (its protocol object,
    # the loop it holds) must go as when the master is freed by its count.
    class Holder:
        pass

    async def body():
        async with Watched() as peer:
            master = make(peer.port)
            await master.connect()
            if close:
                await master.close()
            holder = Holder()
            holder.master, holder.me = master, holder
            refs = [weakref.ref(master), weakref.ref(vars(master)[PROTOCOL_OF[type(master)]])]
            del master, holder
            gone = await freed(refs)
            if not close:
                await asyncio.wait_for(peer.ended.wait(), SEEN)
            return gone

    assert run(body) == [True, True]
