#!/usr/bin/env python3
"""A TCP relay that delays every byte by half a round trip in each direction and
limits nothing else, so a loopback server looks like one a round trip away:
    delay_relay.py LISTEN_HOST LISTEN_PORT TARGET_HOST TARGET_PORT RTT_MS
Prints "ready" once it listens. Bytes keep their order; each chunk read is
written out when its delay has passed."""
import asyncio
import sys


async def pipe(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def feed():
        while True:
            data = await reader.read(262144)
            await queue.put((loop.time() + delay, data))
            if not data:
                return

    async def drain():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()

    try:
        await asyncio.gather(feed(), drain())
    except (ConnectionError, OSError):
        pass


async def main():
    listen_host, listen_port, target_host, target_port, rtt_ms = sys.argv[1:6]
    delay = float(rtt_ms) / 2000.0

    async def serve(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection(target_host, int(target_port))
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pipe(client_reader, server_writer, delay), pipe(server_reader, client_writer, delay))
        for w in (client_writer, server_writer):
            w.close()

    server = await asyncio.start_server(serve, listen_host, int(listen_port))
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


asyncio.run(main())
