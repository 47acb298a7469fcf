"""bsl430-sim's network serial port against an independent client, pyserial's rfc2217:// URL.

The client sets the line format, plays the loader's entry sequence on DTR and RTS (DTR set holds
the chip in reset; RTS set is the TEST line's pulse state) and sends a synchronisation byte: only
the right sequence at the right speed earns the acknowledge.

    python3 pyserial_entry.py PATH-OF-bsl430-sim
"""
import ctypes
import signal
import subprocess
import sys
import time

import serial

SYNC, ACK = b"\x80", b"\x90"


def start_server(exe):
    def end_with_parent():
        ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG

    server = subprocess.Popen([exe, "--rfc2217", "0"], stdout=subprocess.PIPE, text=True,
                              preexec_fn=end_with_parent)
    url = server.stdout.readline().strip()
    if not url.startswith("rfc2217://127.0.0.1:"):
        server.kill()
        sys.exit("bsl430-sim printed no address: %r" % url)
    return server, url


def run(url, baud, entry):
    port = serial.serial_for_url(url, do_not_open=True)
    port.baudrate, port.bytesize, port.parity, port.stopbits = baud, 8, serial.PARITY_EVEN, 1
    port.timeout = 0.5
    port.dtr, port.rts = True, False  # opened with the chip held in reset, TEST at rest
    port.open()
    try:
        time.sleep(0.25)  # TEST rests long enough
        if entry:
            port.rts = True   # first pulse
            port.rts = False
            port.rts = True   # second pulse ...
            port.dtr = False  # ... during which the reset is released
            port.rts = False
        else:
            port.dtr = False  # a plain reset: the chip runs its firmware
        time.sleep(0.25)
        port.reset_input_buffer()
        port.write(SYNC)
        return port.read(1)
    finally:
        port.close()


def main():
    server, url = start_server(sys.argv[1])
    failures = 0
    try:
        cases = [
            ("entry sequence, 9600 Bd 8E1", 9600, True, ACK),
            ("reset without the entry pulses", 9600, False, b""),
            ("entry sequence, host at 19200 Bd", 19200, True, b""),
        ]
        for name, baud, entry, expected in cases:
            got = run(url, baud, entry)
            ok = got == expected
            failures += 0 if ok else 1
            print("%s: %s: got %s, expected %s" % ("ok" if ok else "FAILED", name,
                                                     got.hex() or "nothing", expected.hex() or "nothing"))
    finally:
        server.terminate()
        server.wait(10)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
