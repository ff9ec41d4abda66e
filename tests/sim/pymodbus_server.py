#!/usr/bin/python3
"""A pymodbus slave behind a gateway for the interop tests: holding registers the test
chose, and a Report Slave ID answer laid out as the panel meters send it
(slave-ID byte, run indicator, text, no trailing status byte).

Usage: pymodbus_server.py PORT SLAVE SLAVE_ID_BYTE TEXT FIRST:V1,V2,...
PORT is tcp:socket (Modbus TCP) or tcp:rtu (RTU frames over TCP) on a free
port of 127.0.0.1.
Prints "ready" and the TCP port once it serves; runs until killed.
"""
import asyncio
import struct
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.pdu import ModbusRequest, ModbusResponse
from pymodbus.server import StartAsyncTcpServer
from pymodbus.transaction import ModbusRtuFramer, ModbusSocketFramer

port, slave, slave_id_byte, text, block = sys.argv[1:6]
first, values = block.split(":")
values = [int(v) for v in values.split(",")]


class MeterSlaveIdResponse(ModbusResponse):
    function_code = 0x11

    def __init__(self, payload=b"", **kwargs):
        ModbusResponse.__init__(self, **kwargs)
        self.payload = payload

    def encode(self):
        return struct.pack(">B", len(self.payload)) + self.payload

    def decode(self, data):
        self.payload = data[1:]


class MeterSlaveIdRequest(ModbusRequest):
    """Function 17 as the meters answer it. pymodbus's own reply appends a
    status byte after the identifier, which these devices do not send."""
    function_code = 0x11
    _rtu_frame_size = 4

    def encode(self):
        return b""

    def decode(self, data):
        pass

    def execute(self, context=None):
        payload = bytes([int(slave_id_byte), 0xFF]) + text.encode("latin-1")
        return MeterSlaveIdResponse(payload)


async def main():
    # zero_mode: register n of a request is entry n of the block, not n - 1.
    store = ModbusSlaveContext(
        hr=ModbusSequentialDataBlock(int(first), values), zero_mode=True)
    context = ModbusServerContext(slaves={int(slave): store}, single=False)
    framer = ModbusSocketFramer if port == "tcp:socket" else ModbusRtuFramer
    server = await StartAsyncTcpServer(
        context=context, framer=framer, address=("127.0.0.1", 0),
        ignore_missing_slaves=True, defer_start=True)
    server.decoder.register(MeterSlaveIdRequest)
    task = asyncio.create_task(server.serve_forever())
    await server.serving
    print("ready", server.server.sockets[0].getsockname()[1], flush=True)
    await task


asyncio.run(main())
