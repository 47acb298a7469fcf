"""pyserial's RFC 2217 server (serial.rfc2217.PortManager, Debian's python3-serial) in front of a
serial device, for the network tests: a server nobody here wrote that never answers the request
for its signature, the base of many boards' own servers.

    python3 pyserial_server.py DEVICE

prints rfc2217://127.0.0.1:PORT, then serves one client at a time until it is ended.
"""
import socket
import sys
import termios
import threading

import serial
import serial.rfc2217 as rfc2217


class PtySerial(serial.Serial):
    """A pseudo-terminal has no modem lines (their changes are dropped, their states read as off)
    and may refuse a parity: the line format is then set without it."""

    def _reconfigure_port(self, force_update=False):
        try:
            super()._reconfigure_port(force_update)
        except termios.error:
            wanted, self._parity = self._parity, serial.PARITY_NONE
            try:
                super()._reconfigure_port(force_update)
            finally:
                self._parity = wanted

    def _update_dtr_state(self):
        try:
            super()._update_dtr_state()
        except OSError:
            pass

    def _update_rts_state(self):
        try:
            super()._update_rts_state()
        except OSError:
            pass

    def _update_break_state(self):
        try:
            super()._update_break_state()
        except OSError:
            pass

    def _line(self, name):
        try:
            return getattr(serial.Serial, name).fget(self)
        except OSError:
            return False

    cts = property(lambda self: self._line("cts"))
    dsr = property(lambda self: self._line("dsr"))
    ri = property(lambda self: self._line("ri"))
    cd = property(lambda self: self._line("cd"))


class Client:
    """The connection as PortManager writes to it; the reader thread writes too."""

    def __init__(self, sock):
        self.sock = sock
        self.lock = threading.Lock()

    def write(self, data):
        with self.lock:
            try:
                self.sock.sendall(data)
            except OSError:
                pass


def serve(port, sock):
    client = Client(sock)
    manager = rfc2217.PortManager(port, client)
    alive = [True]

    def device_to_client():
        while alive[0]:
            try:
                data = port.read(port.in_waiting or 1)
            except serial.SerialException:
                break
            if data:
                client.write(b"".join(manager.escape(data)))

    reader = threading.Thread(target=device_to_client, daemon=True)
    reader.start()
    try:
        while True:
            data = sock.recv(1024)
            if not data:
                break
            port.write(b"".join(manager.filter(data)))
    except OSError:
        pass
    alive[0] = False
    reader.join()
    sock.close()


def main():
    port = PtySerial()
    port.port = sys.argv[1]
    port.timeout = 0.05
    port.open()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print("rfc2217://127.0.0.1:%d" % listener.getsockname()[1], flush=True)
    while True:
        sock, _ = listener.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        serve(port, sock)


if __name__ == "__main__":
    main()
