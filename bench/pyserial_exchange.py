#!/usr/bin/python3
"""The baseline for the serial figures: Debian's python3-serial (pyserial)
doing the console's exchange on the same pty, with the same line (8-E-1).
The round trip reads the reply frame by its length field, the way pyserial
users read a DL/T 645 reply: up to the start byte 68, the rest of the header
(address, 68, control, length L), then L + 2 bytes. The wait reads by
silence: up to the time-out for the first byte, then bytes until more than
100 ms pass without one.

pyserial 3.5's inter_byte_timeout does not end a read on silence under POSIX
(its select() waits for the whole time-out), so the rule is written the way
pyserial users write it: reads with a 100 ms time-out, repeated until the
first byte comes or the time-out has passed, then until one comes back empty.
The port is configured once: on a pty the kernel drops the parity bit, and
pyserial's later reconfigure (a changed timeout) then fails with EINVAL.

  roundtrip PORT FRAME COUNT  COUNT exchanges read by the frame's length;
                              prints "done T" per exchange,
                              T the CLOCK_MONOTONIC seconds when the reply
                              was decoded, and "reading R" for the last one
  wait PORT FRAME SECONDS     one unanswered exchange; prints "cpu C wall W"
                              (seconds of user+system CPU over the wait)
"""
import resource
import sys
import time

import serial

SILENCE = 0.1


def open_port(path):
    return serial.Serial(path, 2400, bytesize=serial.EIGHTBITS, parity=serial.PARITY_EVEN,
                         stopbits=serial.STOPBITS_ONE, timeout=SILENCE)


def exchange_frame(port, request, timeout):
    port.reset_input_buffer()
    port.write(request)
    deadline = time.monotonic() + timeout
    reply = b""
    while not reply.endswith(b"\x68"):
        if time.monotonic() >= deadline:
            return reply
        reply += port.read(1)
    header = port.read(9)  # address, 68, control, length
    reply += header
    if len(header) < 9:
        return reply
    return reply + port.read(header[8] + 2)  # data, checksum, 16


def exchange(port, request, timeout):
    port.reset_input_buffer()
    port.write(request)
    deadline = time.monotonic() + timeout
    reply = b""
    while not reply and time.monotonic() < deadline:
        reply = port.read(1)
    if not reply:
        return reply
    while True:
        more = port.read(max(1, port.in_waiting))
        if not more:
            return reply
        reply += more


def decode_reading(reply):
    """The reading in tons from a read-reading reply, checksum checked."""
    start = reply.index(0x68)
    length = reply[start + 9]
    end = start + 10 + length
    if sum(reply[start:end]) & 0xFF != reply[end] or reply[end + 1] != 0x16:
        raise ValueError("checksum")
    data = bytes((b - 0x33) & 0xFF for b in reply[start + 10:end])
    digits = data[5:1:-1].hex()  # after the two identifier bytes, reversed
    return int(digits) / 100


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def main():
    mode, path, frame = sys.argv[1], sys.argv[2], bytes.fromhex(sys.argv[3])
    if mode == "roundtrip":
        port = open_port(path)
        done, reading = [], None
        for _ in range(int(sys.argv[4])):
            reply = exchange_frame(port, frame, 3.0)
            reading = decode_reading(reply) if reply else None
            done.append(time.monotonic())
        port.close()
        for t in done:
            print("done %.6f" % t)
        print("reading %s" % reading)
    elif mode == "wait":
        seconds = float(sys.argv[4])
        port = open_port(path)
        cpu0, wall0 = cpu_seconds(), time.monotonic()
        reply = exchange(port, frame, seconds)
        cpu1, wall1 = cpu_seconds(), time.monotonic()
        port.close()
        print("cpu %.6f wall %.6f bytes %d" % (cpu1 - cpu0, wall1 - wall0, len(reply)))
    else:
        sys.exit("unknown mode " + mode)


if __name__ == "__main__":
    main()
