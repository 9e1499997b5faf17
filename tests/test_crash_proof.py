"""Programs that must not crash the interpreter: daemon poll threads still
in calls when the program ends, and a connection swapped by hand under a
waiting call. Each runs in a child interpreter, several times, and must end
with exit code 0."""
import sys

import pytest

from tests.child import run

EXIT_RUNS = 5
SWAP_RUNS = 3

POLLERS_AT_EXIT = """
    import json, sys, threading, time
    import serial
    from qel_modbus import Master, TCPTunnel
    from qel_modbus_simslave import RtuPtySlave, RtuTcpSlave

    gateway = RtuTcpSlave(stations={1}, lifetime=60)
    gateway.image.set_holding(0, [1200, 3400])
    line = RtuPtySlave(image=gateway.image, stations={1}, lifetime=60)

    # What a poll program keeps: the answers per poller, and a history big
    # enough that tearing it down at exit takes a moment.
    results = {}
    history = {i: [i, str(i)] for i in range(100000)}

    patient = Master(TCPTunnel(*gateway.address), timeout=5)      # waits out a silent station
    brisk = Master(TCPTunnel(*gateway.address), timeout=0.05)     # wakes up all the time
    port = Master(serial.Serial(line.port), timeout=0.05)
    # Pollers on one master queue for it while another waits on the line.
    plan = [(patient, 9), (patient, 9), (patient, 1),
            (brisk, 9), (brisk, 1), (brisk, 9),
            (port, 9), (port, 1)]

    answered = threading.Event()

    def poll(master, station, key):
        got = results.setdefault(key, [])
        while True:
            try:
                got.append(master.read_registers(station, 0, 2))
                answered.set()
            except Exception as e:
                got.append(type(e).__name__)

    for key, (master, station) in enumerate(plan):
        threading.Thread(target=poll, args=(master, station, key), daemon=True).start()
    print(json.dumps({"answered": answered.wait(10)}))
    sys.stdout.flush()
    time.sleep(0.3)
"""


@pytest.mark.skipif(sys.platform == "win32", reason="the serial poller needs a POSIX pseudo-terminal")
def test_program_ends_normally_while_daemon_pollers_wait_in_calls():
    for attempt in range(EXIT_RUNS):
        child = run(POLLERS_AT_EXIT, seconds=20)
        assert child.returncode == 0 and "FATAL" not in child.stderr, "run %d: %s" % (attempt, child.describe())
        assert child.result["answered"], child.describe()  # the pollers were at work


SOCKET_SWAP = """
    import gc, json, socket, sys, threading, time
    from qel_modbus import Master, TCPTunnel
    from qel_modbus_simslave import RtuTcpSlave
    from tests.child import error_record

    gateway = RtuTcpSlave(stations={1}, lifetime=60)
    gateway.image.set_holding(0, [7])
    tunnel = TCPTunnel(*gateway.address)
    master = Master(tunnel, timeout=1.0)
    outcome = {}

    def wait():
        try:
            outcome["answer"] = master.read_registers(9, 0, 1)   # station 9 stays silent
        except Exception as e:
            outcome.update(error_record(e))

    waiting = threading.Thread(target=wait)
    waiting.start()
    time.sleep(0.2)
    # A reconnect by hand: the new connection goes in, the old one away.
    old = tunnel._socket
    tunnel._socket = socket.create_connection(gateway.address)
    if sys.argv[1] == "closed":
        old.close()
    del old
    gc.collect()
    # New objects of every small size take up the memory that was freed.
    filler = [bytes([255]) * n for n in range(32, 160, 8) for _ in range(2000)]
    waiting.join(10)
    outcome["ended"] = not waiting.is_alive()
    print(json.dumps(outcome))
"""


@pytest.mark.parametrize("old", ["closed", "dropped"])
def test_socket_replaced_under_a_waiting_call(old):
    for attempt in range(SWAP_RUNS):
        child = run(SOCKET_SWAP, old, seconds=20)
        assert child.returncode == 0, "run %d: %s" % (attempt, child.describe())
        outcome = child.result
        assert outcome["ended"], outcome
        assert outcome.get("oserror"), outcome  # station 9 has no answer to give
