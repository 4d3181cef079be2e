#!/usr/bin/python3
"""A Modbus RTU slave (pymodbus) behind a relay that misbehaves on cue.

The master under test opens the pty printed on the first line of stdout.
Commands on stdin, each answered with one line:
  fault REG KIND [SECONDS]  requests for REG (06: register, 16: start) get KIND:
      late    the echo is held SECONDS
      swallow the request never reaches the slave
      other   the echo names the next register
      noise   one noise byte, SECONDS of silence, then the echo
      split   the echo in two writes, SECONDS apart
      value   the echo carries another value (06) or quantity (16)
  dump REG N                 registers REG.. as the slave stored them
End of stdin ends the relay.
"""
import asyncio
import logging
import os
import sys
import tty

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server.async_io import ModbusSerialServer
from pymodbus.transaction import ModbusRtuFramer


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes([crc & 0xFF, crc >> 8])


def with_crc(body):
    return bytes(body) + crc16(body)


def raw_pty():
    master, slave = os.openpty()
    tty.setraw(slave)
    os.set_blocking(master, False)
    return master, slave, os.ttyname(slave)


def request_length(buf):
    if len(buf) < 2:
        return 0
    if buf[1] == 16:
        return 9 + buf[6] if len(buf) >= 7 else 0
    return 8


def reply_length(buf):
    if len(buf) < 2:
        return 0
    return 5 if buf[1] & 0x80 else 8


class Relay:
    def __init__(self, loop, master_fd, slave_fd, context):
        self.loop = loop
        self.a = master_fd   # toward the master under test
        self.b = slave_fd    # toward the pymodbus slave
        self.context = context
        self.faults = {}
        self.from_a = b""
        self.from_b = b""
        self.waiting = []    # fault of each forwarded request, in order
        loop.add_reader(self.a, self.on_master)
        loop.add_reader(self.b, self.on_slave)

    def on_master(self):
        try:
            self.from_a += os.read(self.a, 512)
        except (BlockingIOError, OSError):
            return
        while True:
            n = request_length(self.from_a)
            if n == 0 or len(self.from_a) < n:
                return
            req, self.from_a = self.from_a[:n], self.from_a[n:]
            fault = self.faults.get((req[2] << 8) | req[3], ("", 0.0))
            if fault[0] == "swallow":
                continue
            self.waiting.append(fault)
            os.write(self.b, req)

    def on_slave(self):
        try:
            self.from_b += os.read(self.b, 512)
        except (BlockingIOError, OSError):
            return
        while True:
            n = reply_length(self.from_b)
            if n == 0 or len(self.from_b) < n:
                return
            rep, self.from_b = self.from_b[:n], self.from_b[n:]
            kind, seconds = self.waiting.pop(0) if self.waiting else ("", 0.0)
            self.answer(rep, kind, seconds)

    def answer(self, rep, kind, seconds):
        send = lambda data: os.write(self.a, data)
        if kind == "late":
            self.loop.call_later(seconds, send, rep)
        elif kind == "other" and len(rep) == 8:
            reg = ((rep[2] << 8) | rep[3]) + 1
            send(with_crc(rep[:2] + bytes([reg >> 8, reg & 0xFF]) + rep[4:6]))
        elif kind == "value" and len(rep) == 8:
            val = (((rep[4] << 8) | rep[5]) + 1) & 0xFFFF
            send(with_crc(rep[:4] + bytes([val >> 8, val & 0xFF])))
        elif kind == "noise":
            send(b"\x5a")
            self.loop.call_later(seconds, send, rep)
        elif kind == "split":
            send(rep[:3])
            self.loop.call_later(seconds, send, rep[3:])
        else:
            send(rep)

    def command(self, line):
        words = line.split()
        if len(words) >= 3 and words[0] == "fault":
            seconds = float(words[3]) if len(words) > 3 else 0.0
            self.faults[int(words[1])] = (words[2], seconds)
            return "ok"
        if len(words) == 3 and words[0] == "dump":
            values = self.context[1].getValues(3, int(words[1]), int(words[2]))
            return " ".join(str(v) for v in values)
        return "error: " + line


async def main():
    loop = asyncio.get_running_loop()
    a_master, a_slave, a_name = raw_pty()
    b_master, b_slave, b_name = raw_pty()
    store = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, [0] * 1024))
    context = ModbusServerContext(slaves=store, single=True)
    server = ModbusSerialServer(context, framer=ModbusRtuFramer, port=b_name,
                                baudrate=9600)
    await server.start()
    if server.transport is None:
        raise SystemExit("pymodbus could not open " + b_name)
    relay = Relay(loop, a_master, b_master, context)

    done = asyncio.Event()
    buffered = b""

    def on_stdin():
        nonlocal buffered
        chunk = os.read(0, 4096)
        if not chunk:
            done.set()
            return
        buffered += chunk
        while b"\n" in buffered:
            line, buffered = buffered.split(b"\n", 1)
            print(relay.command(line.decode()), flush=True)

    loop.add_reader(0, on_stdin)
    print(a_name, flush=True)
    await done.wait()
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    await server.shutdown()
    for fd in (a_master, a_slave, b_master, b_slave):
        os.close(fd)


if __name__ == "__main__":
    asyncio.run(main())
