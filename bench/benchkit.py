"""What the shell benchmarks share: a line at 115,200 baud, the run time
and wake-ups of a process, and Modbus RTU's CRC. The benchmarks run their
Python from a here-document with PYTHONPATH set to this folder."""
import os
import termios
import tty


def line():
    """A pseudo-terminal at 115,200 baud, raw: (master, slave, slave's path)."""
    master, slave = os.openpty()
    tty.setraw(slave)
    attrs = termios.tcgetattr(slave)
    attrs[4] = attrs[5] = termios.B115200
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    return master, slave, os.ttyname(slave)


def counters(pid):
    """(context switches, CPU seconds) summed over the threads of pid."""
    switches, ns = 0, 0
    base = "/proc/%d/task" % pid
    for tid in os.listdir(base):
        try:
            with open("%s/%s/status" % (base, tid)) as f:
                for l in f:
                    if l.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")):
                        switches += int(l.split()[1])
            with open("%s/%s/schedstat" % (base, tid)) as f:
                ns += int(f.read().split()[0])
        except FileNotFoundError:
            pass  # a thread that ended meanwhile
    return switches, ns / 1e9


def crc(frame):
    """The frame with Modbus RTU's CRC-16 after it, low byte first."""
    c = 0xFFFF
    for x in frame:
        c ^= x
        for _ in range(8):
            c = (c >> 1) ^ 0xA001 if c & 1 else c >> 1
    return bytes(frame) + bytes([c & 0xFF, c >> 8])
