#!/usr/bin/python3
"""A pymodbus RTU slave behind a relay that misbehaves on cue.

Prints the pty for the master under test, then answers stdin lines:
  fault REG KIND SECONDS   requests for REG (06: register, 16: start register):
    late: echo held SECONDS; swallow: never reaches the slave; other: echo
    names REG+1; noise: a noise byte, SECONDS of silence, the echo; split: echo
    in two writes SECONDS apart; value: echo with value (06) or quantity (16) +1;
    trail: the echo and a 0x00 byte, as an RS-485 turnaround leaves it
  dump REG N [SLAVE]       slave 1's (or SLAVE's) registers REG..REG+N-1
  echo on|off              the line hands every request back, as a two-wire
                           adapter without echo suppression does

Slaves 1 and 2 answer on the same line, each with registers of its own.
"""
import asyncio
import logging
import os
import tty

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server.async_io import ModbusSerialServer
from pymodbus.transaction import ModbusRtuFramer


def with_crc(body):
    crc = 0xFFFF
    for b in body:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes(body) + bytes([crc & 0xFF, crc >> 8])


def raw_pty():
    master, slave = os.openpty()
    tty.setraw(slave)
    os.set_blocking(master, False)
    return master, slave, os.ttyname(slave)


async def main():
    # Exception replies are what some cases ask for, not errors.
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    loop = asyncio.get_running_loop()
    a, a_slave, a_name = raw_pty()  # toward the master under test
    b, b_slave, b_name = raw_pty()  # toward the pymodbus slave
    context = ModbusServerContext(
        slaves={n: ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, [0] * 1024))
                for n in (1, 2)}, single=False)
    server = ModbusSerialServer(context, framer=ModbusRtuFramer, port=b_name, baudrate=9600)
    await server.start()
    if server.transport is None:
        raise SystemExit("pymodbus could not open " + b_name)

    faults, waiting, buf, echo = {}, [], {a: b"", b: b""}, [False]

    def take(fd, length):
        try:
            buf[fd] += os.read(fd, 512)
        except OSError:
            return
        while len(buf[fd]) >= 2 and len(buf[fd]) >= length(buf[fd]):
            n = length(buf[fd])
            frame, buf[fd] = buf[fd][:n], buf[fd][n:]
            yield frame

    def on_master():
        req_len = lambda f: (9 + f[6] if len(f) >= 7 else 99) if f[1] == 16 else 8
        for req in take(a, req_len):
            if echo[0]:
                os.write(a, req)
            if req[0] not in (1, 2):
                continue  # nobody here: no reply to wait for
            fault = faults.get((req[2] << 8) | req[3], ("", 0.0))
            if fault[0] != "swallow":
                waiting.append(fault)
                os.write(b, req)

    def on_slave():
        rep_len = lambda f: 5 if f[1] & 0x80 else (5 + f[2] if len(f) > 2 else 99) if f[1] == 3 else 8
        for rep in take(b, rep_len):
            kind, sec = waiting.pop(0) if waiting else ("", 0.0)
            send = lambda data: os.write(a, data)
            if kind == "late":
                loop.call_later(sec, send, rep)
            elif kind in ("other", "value") and len(rep) == 8:
                at = 2 if kind == "other" else 4
                word = (((rep[at] << 8) | rep[at + 1]) + 1) & 0xFFFF
                send(with_crc(rep[:at] + bytes([word >> 8, word & 0xFF]) + rep[at + 2:6]))
            elif kind == "noise":
                send(b"\x5a")
                loop.call_later(sec, send, rep)
            elif kind == "trail":
                send(rep + b"\x00")
            elif kind == "split":
                send(rep[:3])
                loop.call_later(sec, send, rep[3:])
            else:
                send(rep)

    done = asyncio.Event()

    def on_stdin():
        line = os.read(0, 4096).decode()
        if not line:
            done.set()
        for words in (l.split() for l in line.splitlines()):
            if words[0] == "fault":
                faults[int(words[1])] = (words[2], float(words[3]))
                print("ok", flush=True)
            elif words[0] == "echo":
                echo[0] = words[1] == "on"
                print("ok", flush=True)
            elif words[0] == "dump":
                slave = int(words[3]) if len(words) > 3 else 1
                values = context[slave].getValues(3, int(words[1]), int(words[2]))
                print(" ".join(str(v) for v in values), flush=True)

    loop.add_reader(a, on_master)
    loop.add_reader(b, on_slave)
    loop.add_reader(0, on_stdin)
    print(a_name, flush=True)
    await done.wait()
    await server.shutdown()
    for fd in (a, a_slave, b, b_slave):
        os.close(fd)


if __name__ == "__main__":
    asyncio.run(main())
