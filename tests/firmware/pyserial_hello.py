"""The virtual board on the network: bsl430 programs hello into bsl430-sim's rfc2217:// port, then
pyserial, an independent client, resets the chip into that firmware and talks to it: the greeting
comes at 9600 Bd 8N1 and what it sends is echoed.

    python3 pyserial_hello.py PATH-OF-bsl430 PATH-OF-bsl430-sim PATH-OF-hello.hex
"""
import ctypes
import signal
import subprocess
import sys
import time

import serial

GREETING = b"Hello from the MSP430F149. Type, and I echo.\r\n"


def start_server(exe):
    def end_with_parent():
        ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG

    server = subprocess.Popen([exe, "--rfc2217", "0"], stdout=subprocess.PIPE,
                              text=True, preexec_fn=end_with_parent)
    url = server.stdout.readline().strip()
    if not url.startswith("rfc2217://127.0.0.1:"):
        server.kill()
        sys.exit("bsl430-sim printed no address: %r" % url)
    return server, url


def read_until(port, expected, seconds):
    got = b""
    until = time.monotonic() + seconds
    while not got.endswith(expected) and time.monotonic() < until:
        got += port.read(1)
    return got


def talk(url):
    port = serial.serial_for_url(url, do_not_open=True)
    port.baudrate, port.bytesize, port.parity, port.stopbits = 9600, 8, serial.PARITY_NONE, 1
    port.timeout = 0.2
    port.dtr, port.rts = True, False  # opened with the chip held in reset, TEST at rest
    port.open()
    try:
        time.sleep(0.1)
        port.reset_input_buffer()
        port.dtr = False  # released: the chip runs the firmware it was programmed with
        failures = 0
        for what, keys in (("greeting", b""), ("echo", b"pyserial \x00\xff")):
            if keys:
                port.write(keys)
            expected = keys or GREETING
            got = read_until(port, expected, 5)
            failures += got != expected
            print("%s: %s: got %r" % ("ok" if got == expected else "FAILED", what, got))
        return failures
    finally:
        port.close()


def main():
    tool, sim_exe, hex_file = sys.argv[1:4]
    server, url = start_server(sim_exe)
    try:
        run = subprocess.run([tool, "--device", url, "-v", "on", hex_file],
                             stdout=subprocess.PIPE, text=True, timeout=120)
        if run.returncode != 0 or "Test OK" not in run.stdout:
            print("FAILED: bsl430 did not program the board:\n" + run.stdout)
            return 1
        return 1 if talk(url) else 0
    finally:
        server.terminate()
        server.wait(10)


if __name__ == "__main__":
    sys.exit(main())
