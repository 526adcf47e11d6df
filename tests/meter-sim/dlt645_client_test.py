#!/usr/bin/env python3
"""An independent DL/T 645-1997 master talking to meter-sim over its pty and
its TCP port. Frames are built and checked here from the standard's layout, so
a mistake shared by the simulator and the console's codec shows up.

Usage: dlt645_client_test.py PATH/TO/meter-sim
"""
import os
import select
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import serial  # Debian: python3-serial

SIM = None

ADDRESS = "000230319105"      # reading 11.00 t, valve open, password 250913 level 02
NO_VALVE = "000230319107"     # reading 0.05 t, no valve, status 08
BROADCAST = "999999999999"


def frame(address, control, data):
    """A master's request: 4 wake-up bytes FE, then 68 A0..A5 68 C L DATA CS 16."""
    wire_address = bytes.fromhex(address)[::-1]
    body = bytes([0x68]) + wire_address + bytes([0x68, control, len(data)]) + data
    return b"\xFE" * 4 + body + bytes([sum(body) % 256, 0x16])


def field(value_hex):
    """A data field: least significant byte first, each byte plus 33H."""
    return bytes((b + 0x33) % 256 for b in bytes.fromhex(value_hex)[::-1])


def unfield(data):
    return bytes((b - 0x33) % 256 for b in data)[::-1].hex().upper()


class Reply:
    def __init__(self, raw):
        self.raw = raw
        i = 0
        while i < len(raw) and raw[i] == 0xFE:
            i += 1
        f = raw[i:]
        if len(f) < 12 or f[0] != 0x68 or f[7] != 0x68:
            raise ValueError("no frame: " + raw.hex())
        length = f[9]
        if len(f) != 12 + length:
            raise ValueError("length byte does not match: " + raw.hex())
        if f[-1] != 0x16:
            raise ValueError("bad end byte: " + raw.hex())
        self.checksum_ok = sum(f[:-2]) % 256 == f[-2]
        self.address = f[1:7][::-1].hex().upper()
        self.control = f[8]
        self.data = f[10:10 + length]


class Link:
    def exchange(self, request, expect_reply=True):
        self.send(request)
        raw = self.receive(2.0 if expect_reply else 0.3)
        return Reply(raw) if raw else None


class TcpLink(Link):
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=2)

    def send(self, data):
        self.sock.sendall(data)

    def receive(self, within):
        """Bytes until the line has been quiet for 100 ms, as a gateway reader would."""
        got = b""
        deadline = time.monotonic() + within
        while True:
            wait = 0.1 if got else deadline - time.monotonic()
            if wait <= 0 or not select.select([self.sock], [], [], wait)[0]:
                return got
            chunk = self.sock.recv(4096)
            if not chunk:
                return got
            got += chunk

    def close(self):
        self.sock.close()


class SerialLink(Link):
    def __init__(self, path):
        self.port = serial.Serial(path, 2400, bytesize=8, parity=serial.PARITY_EVEN,
                                  stopbits=1, timeout=0)

    def send(self, data):
        self.port.write(data)

    def receive(self, within):
        got = b""
        deadline = time.monotonic() + within
        while True:
            wait = 0.1 if got else deadline - time.monotonic()
            if wait <= 0 or not select.select([self.port.fileno()], [], [], wait)[0]:
                return got
            got += self.port.read(4096)

    def close(self):
        self.port.close()


class Simulator:
    def __init__(self, *args):
        self.dir = tempfile.TemporaryDirectory()
        self.link = os.path.join(self.dir.name, "COM1")
        self.proc = subprocess.Popen([SIM, "--instant", "--pty", self.link, "--tcp", "0", *args],
                                     stdout=subprocess.PIPE, text=True)
        self.port = None
        for line in self.proc.stdout:
            if line.startswith("tcp 127.0.0.1:"):
                self.port = int(line.split(":")[1])
            if line.strip() == "ready":
                break
        else:
            raise RuntimeError("meter-sim did not start")

    def stop(self):
        self.proc.terminate()
        code = self.proc.wait(5)
        self.proc.stdout.close()
        self.dir.cleanup()
        return code


class ClientChecks:
    """Run against both transports by the subclasses below."""

    def setUp(self):
        self.sim = Simulator()
        self.link = self.open_link()

    def tearDown(self):
        self.link.close()
        self.assertEqual(self.sim.stop(), 0)
        self.assertFalse(os.path.lexists(self.sim.link))

    def good(self, reply):
        self.assertIsNotNone(reply, "no reply")
        self.assertTrue(reply.checksum_ok, "checksum: " + reply.raw.hex())
        return reply

    def test_read_reading(self):
        r = self.good(self.link.exchange(frame(ADDRESS, 0x01, field("9010"))))
        self.assertEqual(r.address, ADDRESS)
        self.assertEqual(r.control, 0x81)
        self.assertEqual(len(r.data), 8)
        self.assertEqual(unfield(r.data[0:2]), "9010")
        self.assertEqual(unfield(r.data[2:6]), "00001100")  # 11.00 t in BCD
        self.assertEqual(unfield(r.data[6:7]), "00")        # status: all well, valve open

        r = self.good(self.link.exchange(frame(NO_VALVE, 0x01, field("9010"))))
        self.assertEqual(unfield(r.data[2:6]), "00000005")
        self.assertEqual(unfield(r.data[6:7]), "08")

    def test_read_address(self):
        r = self.good(self.link.exchange(frame(ADDRESS, 0x01, field("C032"))))
        self.assertEqual(r.control, 0x81)
        self.assertEqual(unfield(r.data[0:2]), "C032")
        self.assertEqual(unfield(r.data[2:8]), ADDRESS)

    def test_broadcast_on_a_bus_of_three_collides(self):
        r = self.link.exchange(frame(BROADCAST, 0x01, field("C032")))
        self.assertIsNotNone(r)
        self.assertFalse(r.checksum_ok)

    def test_valve_write_and_state(self):
        def state():
            r = self.good(self.link.exchange(frame(ADDRESS, 0x01, field("C03C"))))
            self.assertEqual((r.control, unfield(r.data[0:2])), (0x81, "C03C"))
            return int(unfield(r.data[2:3]), 16) & 0x80

        self.assertEqual(state(), 0)
        close = field("9966") + field("02") + field("250913") + field("9966")
        r = self.good(self.link.exchange(frame(ADDRESS, 0x04, close)))
        self.assertEqual((r.control, len(r.data)), (0x84, 0))
        self.assertEqual(state(), 0x80)

        wrong = field("3355") + field("02") + field("000000") + field("3355")
        r = self.good(self.link.exchange(frame(ADDRESS, 0x04, wrong)))
        self.assertEqual((r.control, len(r.data)), (0x84, 1))
        self.assertEqual(state(), 0x80)

        no_valve = field("3355") + field("02") + field("250913") + field("3355")
        r = self.good(self.link.exchange(frame(NO_VALVE, 0x04, no_valve)))
        self.assertEqual((r.control, len(r.data)), (0x84, 1))

    def test_unknown_identifier_gets_the_error_reply(self):
        r = self.good(self.link.exchange(frame(ADDRESS, 0x01, field("B611"))))
        self.assertEqual(r.control, 0xC1)  # reply bit 7 and error bit 6
        self.assertEqual(len(r.data), 1)

    def test_bad_frames_are_ignored(self):
        request = bytearray(frame(ADDRESS, 0x01, field("9010")))
        request[-2] ^= 0x01
        self.assertIsNone(self.link.exchange(bytes(request), expect_reply=False))
        request[-2] ^= 0x01
        request[-1] = 0x17
        self.assertIsNone(self.link.exchange(bytes(request), expect_reply=False))
        self.good(self.link.exchange(frame(ADDRESS, 0x01, field("9010"))))


class OverPty(ClientChecks, unittest.TestCase):
    def open_link(self):
        return SerialLink(self.sim.link)


class OverTcp(ClientChecks, unittest.TestCase):
    def open_link(self):
        return TcpLink(self.sim.port)


if __name__ == "__main__":
    SIM = sys.argv.pop(1)
    unittest.main(verbosity=2)
