"""The Windows build of the dravik tool under Wine: what only Windows does with
standard streams and Ctrl-C. Run with DRAVIK_EXE naming dravik.exe and
DRAVIK_WINE naming wine; every socket is on loopback and every wait is
bounded."""
import fcntl
import os
import pty
import signal
import socket
import subprocess
import termios
import threading
import time
import unittest

DRAVIK = [os.environ.get("DRAVIK_WINE", "wine"), os.environ["DRAVIK_EXE"]]
TIMEOUT = 60


class Peer:
    """A loopback UDP socket that records what arrives and answers it."""

    def __init__(self):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", 0))
        self.socket.settimeout(0.1)
        self.port = self.socket.getsockname()[1]
        self.received = []
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.answer)
        self.thread.start()

    def answer(self):
        while not self.done.is_set():
            try:
                data, sender = self.socket.recvfrom(70000)
            except socket.timeout:
                continue
            self.received.append(data)
            self.socket.sendto(b"re:" + data, sender)

    def close(self):
        self.done.set()
        self.thread.join()
        self.socket.close()


class BinaryStreamsTest(unittest.TestCase):
    def test_every_byte_of_a_line_arrives_and_replies_print_with_lf(self):
        peer = Peer()
        try:
            lines = [b"line1", b"li\x1ane2\x00x", b"y" * 2000, b"with cr\r", b"last"]
            result = subprocess.run([*DRAVIK, "send", "127.0.0.1", str(peer.port), "--wait", "500"],
                                    input=b"\n".join(lines) + b"\n", capture_output=True,
                                    timeout=TIMEOUT)
        finally:
            peer.close()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(peer.received, lines)
        self.assertEqual(result.stdout, b"".join(b"re:" + line + b"\n" for line in lines).replace(
            b"\x00", b"\\x00").replace(b"\x1a", b"\\x1a").replace(b"\r", b"\\r"))


class CtrlCTest(unittest.TestCase):
    """Ctrl-C typed at the console while a command waits for more of a piped
    input that stays open: the command ends at once with 130. Wine delivers
    the console's event to a process whose console is a terminal."""

    def interrupt(self, *command):
        controller, terminal = pty.openpty()

        def own_terminal():
            os.setsid()
            fcntl.ioctl(terminal, termios.TIOCSCTTY, 0)

        process = subprocess.Popen([*DRAVIK, *command], stdin=subprocess.PIPE,
                                   stdout=subprocess.DEVNULL, stderr=terminal,
                                   preexec_fn=own_terminal)
        try:
            process.stdin.write(b"Zm9v\n")
            process.stdin.flush()
            time.sleep(2)  # Wine starts the process
            os.write(controller, b"\x03")
            try:
                return process.wait(timeout=3)
            except subprocess.TimeoutExpired:
                # More input ends a wait the event did not cut short.
                process.stdin.write(b"Zm9v\n")
                process.stdin.flush()
                try:
                    status = process.wait(timeout=3)
                except subprocess.TimeoutExpired:
                    self.skipTest("Wine did not deliver the console's Ctrl-C event")
                self.fail(f"{command}: Ctrl-C ended the command only with more input ({status})")
        finally:
            process.kill()
            process.wait()
            process.stdin.close()
            os.close(controller)
            os.close(terminal)

    def test_ctrl_c_ends_a_wait_for_piped_input(self):
        for command in (["send", "127.0.0.1", "9"], ["base64", "encode"], ["base64", "decode"]):
            with self.subTest(command=command):
                self.assertEqual(self.interrupt(*command), 128 + signal.SIGINT)


if __name__ == "__main__":
    unittest.main()
