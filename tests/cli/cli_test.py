"""End-to-end tests of the dravik example application against peers this
project did not write: Python's socket module and coreutils' base64.

Run with DRAVIK_EXE naming the executable; every socket is on loopback and
every wait is bounded."""
import base64
import contextlib
import os
import pty
import random
import re
import resource
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

DRAVIK = os.environ.get("DRAVIK_EXE", "dravik")
# Linux's, which Python's socket module does not name.
IP_TTL = 2
IP_RECVTTL = 12
TIMEOUT = 30


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@contextlib.contextmanager
def idle_fifo():
    """A FIFO this process holds open at both ends and never uses: as standard
    input, a writer that never writes; as standard output, a reader that never
    reads."""
    with tempfile.TemporaryDirectory() as directory:
        fifo = os.path.join(directory, "fifo")
        os.mkfifo(fifo)
        descriptor = os.open(fifo, os.O_RDWR)
        try:
            yield descriptor
        finally:
            os.close(descriptor)


def signal_and_wait(process, signal_number):
    """Sends the signal; the process must end within a second."""
    process.send_signal(signal_number)
    try:
        process.communicate(timeout=1)
    finally:
        process.kill()


def run(*args, stdin=b""):
    return subprocess.run([DRAVIK, *args], input=stdin, capture_output=True, timeout=TIMEOUT)


class ListenTest(unittest.TestCase):
    def listen(self, *options, datagrams, port=None, family=socket.AF_INET, to="127.0.0.1"):
        port = free_port() if port is None else port
        process = subprocess.Popen([DRAVIK, "listen", str(port), *options],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            announced = process.stderr.readline()
            self.assertIn(b"listening on UDP port", announced)
            port = int(announced.split(b"port ")[1].split(b";")[0])
            self.assertNotEqual(port, 0)
            with socket.socket(family, socket.SOCK_DGRAM) as sender:
                for datagram in datagrams:
                    sender.sendto(datagram, (to, port))
                lines = [process.stdout.readline() for _ in datagrams]
            process.send_signal(signal.SIGTERM)
            _, errors = process.communicate(timeout=TIMEOUT)
        finally:
            process.kill()
        self.assertEqual(process.returncode, 0)
        return lines, errors

    def test_prints_each_datagram_as_escaped_text_and_a_summary(self):
        lines, errors = self.listen(datagrams=[b"hello", b"two\nlines", b"\x00\x01\\"])
        self.assertEqual(lines, [b"hello\n", b"two\\nlines\n", b"\\x00\\x01\\\\\n"])
        self.assertIn(b"received 3 datagrams, delivered 3 (17 bytes), printed 3, not written 0, "
                      b"the system dropped 0 packets; "
                      b"a packet may hold several datagrams", errors)

    def test_prints_hex(self):
        lines, _ = self.listen("--hex", datagrams=[b"\x00\xffAB"])
        self.assertEqual(lines, [b"00ff4142\n"])

    def test_port_zero_says_which_port_it_took(self):
        lines, _ = self.listen(datagrams=[b"here"], port=0)
        self.assertEqual(lines, [b"here\n"])

    def test_bound_to_the_ipv6_any_address_hears_ipv6(self):
        lines, _ = self.listen("--bind", "::", datagrams=[b"v6"], family=socket.AF_INET6, to="::1")
        self.assertEqual(lines, [b"v6\n"])

    def test_prints_base64(self):
        lines, _ = self.listen("--base64", datagrams=[b"foobar", b"\x00"])
        self.assertEqual(lines, [b"Zm9vYmFy\n", b"AA==\n"])

    def test_prints_datagrams_whole_up_to_max_size(self):
        lines, _ = self.listen(datagrams=[b"w" * 3000])
        self.assertEqual(lines, [b"w" * 3000 + b"\n"])
        lines, _ = self.listen("--max-size", "100", datagrams=[b"c" * 3000])
        self.assertEqual(lines, [b"c" * 100 + b"\n"])

    def test_long_lines_round_trip_from_send(self):
        process = subprocess.Popen([DRAVIK, "listen", "0", "--bind", "127.0.0.1"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            port = process.stderr.readline().split(b"port ")[1].split(b";")[0].decode()
            long_line = "".join(chr(ord("a") + i % 26) for i in range(5000))
            sent = run("send", "127.0.0.1", port, "--wait", "100", long_line)
            self.assertEqual(sent.returncode, 0, sent.stderr)
            self.assertEqual(process.stdout.readline(), long_line.encode() + b"\n")
            process.send_signal(signal.SIGTERM)
            process.communicate(timeout=TIMEOUT)
        finally:
            process.kill()

    def test_several_workers_print_whole_lines_each_senders_in_order(self):
        port = free_port()
        process = subprocess.Popen([DRAVIK, "listen", str(port), "--workers", "4", "--from"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            process.stderr.readline()
            clients = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(16)]
            for number in range(20):
                for index, client in enumerate(clients):
                    client.sendto(b"%d:%d:" % (index, number) + b"x" * 2000, ("127.0.0.1", port))
                time.sleep(0.002)
            lines = [process.stdout.readline() for _ in range(16 * 20)]
            process.send_signal(signal.SIGTERM)
            _, errors = process.communicate(timeout=TIMEOUT)
        finally:
            process.kill()
        seen = {}
        for line in lines:
            sender, text = line.split(b"\t")
            index, number, rest = text.split(b":")
            self.assertEqual(rest, b"x" * 2000 + b"\n")
            seen.setdefault(sender, []).append((int(index), int(number)))
        self.assertEqual(len(seen), 16)
        for numbers in seen.values():
            self.assertEqual([n for _, n in numbers], list(range(20)))
        self.assertIn(b"received 320 datagrams, delivered 320", errors)

    def test_from_prints_the_sender_first(self):
        lines, _ = self.listen("--from", "--hex", datagrams=[b"\x01"])
        address, text = lines[0].split(b"\t")
        self.assertTrue(address.startswith(b"127.0.0.1:"), address)
        self.assertEqual(text, b"01\n")


    def test_source_hears_the_group_from_the_named_sender_only(self):
        """In a network namespace of its own, whose loopback carries multicast."""
        script = f"""
import socket, subprocess
for step in (["ip", "link", "set", "lo", "multicast", "on"], ["ip", "link", "set", "lo", "up"],
             ["ip", "route", "add", "224.0.0.0/4", "dev", "lo"],
             ["ip", "addr", "add", "127.0.0.2/8", "dev", "lo"]):
    subprocess.run(step, check=True, capture_output=True)
listen = subprocess.Popen([{DRAVIK!r}, "listen", "0", "--bind", "232.1.2.3", "--source",
                           "127.0.0.1", "--from"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
port = int(listen.stderr.readline().split(b"port ")[1].split(b";")[0])
for source, text in (("127.0.0.2", b"not named"), ("127.0.0.1", b"named")):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        sender.bind((source, 0))
        sender.sendto(text, ("232.1.2.3", port))
print(listen.stdout.readline().decode().strip())
listen.terminate()
print(listen.communicate(timeout=10)[1].decode().strip().splitlines()[-1])
"""
        result = subprocess.run(["unshare", "-n", "python3", "-c", script], capture_output=True,
                                timeout=TIMEOUT)
        if result.returncode != 0 and (b"unshare" in result.stderr or b"RTNETLINK" in result.stderr):
            self.skipTest(f"no network namespace: {result.stderr.decode().strip()}")
        self.assertEqual(result.returncode, 0, result.stderr)
        line, summary = result.stdout.decode().splitlines()
        self.assertRegex(line, r"^127\.0\.0\.1:\d+\tnamed$")
        self.assertIn("received 1 datagram,", summary)

    def test_info_shows_what_the_network_said_beside_the_sender(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as marker:
            marker.setsockopt(socket.IPPROTO_IP, socket.IP_TOS, 0xB9)
            marker.setsockopt(socket.IPPROTO_IP, socket.IP_TTL, 7)
            port = free_port()
            process = subprocess.Popen([DRAVIK, "listen", str(port), "--from", "--info"],
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                self.assertIn(b"listening on UDP port", process.stderr.readline())
                before = time.time()
                marker.sendto(b"marked", ("127.0.0.1", port))
                line = process.stdout.readline()
                after = time.time()
                process.send_signal(signal.SIGTERM)
                process.communicate(timeout=TIMEOUT)
            finally:
                process.kill()
        sender, info, text = line.split(b"\t")
        self.assertEqual(text, b"marked\n")
        match = re.fullmatch(rb"tos 0xb9 ttl 7 at (\d+\.\d{9}) on lo", info)
        self.assertTrue(match, info)
        self.assertTrue(before - 1 <= float(match.group(1)) <= after + 1)


class EchoTest(unittest.TestCase):
    def test_answers_from_the_address_it_was_sent_to_and_sums_up(self):
        process = subprocess.Popen([DRAVIK, "echo", "0"], stderr=subprocess.PIPE)
        try:
            port = int(process.stderr.readline().split(b"port ")[1].split(b";")[0])
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as client:
                client.bind(("127.0.0.1", 0))
                client.settimeout(TIMEOUT)
                for address in ("127.0.0.1", "127.0.0.2"):
                    client.sendto(b"ping " + address.encode(), (address, port))
                    self.assertEqual(client.recvfrom(100), (b"ping " + address.encode(), (address, port)))
                client.sendto(b"", ("127.0.0.1", port))
                time.sleep(0.2)
            process.send_signal(signal.SIGINT)
            _, errors = process.communicate(timeout=TIMEOUT)
        finally:
            process.kill()
        self.assertEqual(process.returncode, 0)
        self.assertIn(b"received 3 datagrams, replied 2; not replied: 1 empty, 0 from the echo's own "
                      b"port, 0 from ports of services that answer everything, 0 for a full send queue",
                      errors)

    def test_several_workers_answer_every_client_in_order(self):
        process = subprocess.Popen([DRAVIK, "echo", "0", "--bind", "127.0.0.1", "--workers", "3"],
                                   stderr=subprocess.PIPE)
        try:
            port = int(process.stderr.readline().split(b"port ")[1].split(b";")[0])
            clients = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(16)]
            for number in range(5):
                for index, client in enumerate(clients):
                    client.sendto(b"%d:%d" % (index, number), ("127.0.0.1", port))
            for index, client in enumerate(clients):
                client.settimeout(TIMEOUT)
                self.assertEqual([client.recv(100) for _ in range(5)],
                                 [b"%d:%d" % (index, number) for number in range(5)])
                client.close()
            process.send_signal(signal.SIGINT)
            _, errors = process.communicate(timeout=TIMEOUT)
        finally:
            process.kill()
        self.assertIn(b"received 80 datagrams, replied 80;", errors)

    def test_leaves_its_own_port_and_answering_services_unanswered(self):
        """A datagram from the echo's own port (forged with a raw socket) and one
        from the echo service's port 7 are not answered, and are counted."""
        process = subprocess.Popen([DRAVIK, "echo", "0"], stderr=subprocess.PIPE)
        try:
            port = int(process.stderr.readline().split(b"port ")[1].split(b";")[0])
            try:
                forger = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_UDP)
            except PermissionError:
                self.skipTest("raw sockets need CAP_NET_RAW")
            with forger, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as service:
                try:
                    service.bind(("127.0.0.1", 7))
                except OSError as error:
                    self.skipTest(f"cannot bind port 7: {error}")
                payload = b"loop?"
                # Source and destination port, length, no checksum.
                header = port.to_bytes(2, "big") * 2 + (8 + len(payload)).to_bytes(2, "big") + b"\0\0"
                forger.sendto(header + payload, ("127.0.0.1", 0))
                service.sendto(b"from port 7", ("127.0.0.1", port))
                service.settimeout(0.5)
                with self.assertRaises(socket.timeout):
                    service.recvfrom(100)
            process.send_signal(signal.SIGINT)
            _, errors = process.communicate(timeout=TIMEOUT)
        finally:
            process.kill()
        self.assertIn(b"received 2 datagrams, replied 0; not replied: 0 empty, 1 from the echo's own "
                      b"port, 1 from ports of services that answer everything", errors)


    def test_marks_its_answers_and_counts_the_unreachable(self):
        """--tos and --ttl mark every answer; an answer no one takes is counted
        on the --stats line."""
        process = subprocess.Popen([DRAVIK, "echo", "0", "--bind", "127.0.0.1", "--tos", "46",
                                    "--ttl", "5", "--stats"], stderr=subprocess.PIPE)
        try:
            port = int(process.stderr.readline().split(b"port ")[1].split(b";")[0])
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as client:
                client.setsockopt(socket.IPPROTO_IP, socket.IP_RECVTOS, 1)
                client.setsockopt(socket.IPPROTO_IP, IP_RECVTTL, 1)
                client.settimeout(TIMEOUT)
                client.sendto(b"mark me", ("127.0.0.1", port))
                data, ancillary, _, _ = client.recvmsg(100, 256)
            self.assertEqual(data, b"mark me")
            marks = {kind: value[0] for _, kind, value in ancillary}
            self.assertEqual(marks[socket.IP_TOS], 46)
            self.assertEqual(marks[IP_TTL], 5)
            # A client that takes nothing from the echo: connected elsewhere,
            # its system answers the echo "port unreachable".
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as deaf:
                deaf.connect(("127.0.0.1", 9))
                deaf.sendto(b"bye", ("127.0.0.1", port))
            deadline = time.time() + TIMEOUT
            while time.time() < deadline:
                line = process.stderr.readline()
                if b"unreachable 1," in line:
                    # Off a terminal, a whole line of its own each second.
                    self.assertRegex(line, rb"^received \d+, delivered \d+, dropped by the system 0, "
                                           rb"rejected 0, unreachable 1, sent \d+, refused by the "
                                           rb"policy 0, over the limit 0, replies over the limit 0, "
                                           rb"unsolicited reports 0\n$")
                    break
            else:
                self.fail("the unreachable answer was never counted")
            process.send_signal(signal.SIGINT)
            process.communicate(timeout=TIMEOUT)
        finally:
            process.kill()


class ExposureTest(unittest.TestCase):
    """Who may send, and how much is answered."""

    def start(self, *args):
        process = subprocess.Popen([DRAVIK, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        announced = process.stderr.readline()
        self.assertIn(b"on UDP port", announced)
        return process, int(announced.split(b"port ")[1].split(b";")[0])

    def stop(self, process):
        process.send_signal(signal.SIGTERM)
        output, errors = process.communicate(timeout=TIMEOUT)
        self.assertEqual(process.returncode, 0, errors)
        return output, errors

    def test_allow_and_deny_choose_the_senders(self):
        """The refused sender goes first: once the allowed one's line is out, it
        has been judged."""
        for place in ([], ["--in-kernel"]):
            with self.subTest(place=place):
                process, port = self.start("listen", "0", "--bind", "127.0.0.1", "--from",
                                           "--allow", "127.0.0.0/8", "--deny", "127.0.0.66",
                                           "--deny=10.0.0.0/8", *place)
                try:
                    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as refused, \
                            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as allowed:
                        refused.bind(("127.0.0.66", 0))
                        refused.sendto(b"no", ("127.0.0.1", port))
                        allowed.sendto(b"yes", ("127.0.0.1", port))
                        line = process.stdout.readline()
                    output, errors = self.stop(process)
                finally:
                    process.kill()
                self.assertTrue(line.endswith(b"\tyes\n"), line)
                self.assertEqual(output, b"")
                if place:
                    self.assertIn(b"received 1 datagram, ", errors)
                    self.assertIn(b"dropped 1 packet; a packet may hold several datagrams; refused "
                                  b"by the policy 0,", errors)
                    self.assertIn(b"bytes full, or refused by the sender policy in the system",
                                  errors)
                else:
                    self.assertIn(b"received 2 datagrams, ", errors)
                    self.assertIn(b"refused by the policy 1,", errors)

    def test_echo_spares_loopback_unless_a_reply_limit_is_given(self):
        for options, replies in (([], 300), (["--reply-limit", "5"], None)):
            with self.subTest(options=options):
                process, port = self.start("echo", "0", "--bind", "127.0.0.1", *options)
                try:
                    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as client:
                        client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
                        client.settimeout(0.5)
                        started = time.monotonic()
                        for _ in range(300):
                            client.sendto(b"q", ("127.0.0.1", port))
                        answered = 0
                        with contextlib.suppress(socket.timeout):
                            while True:
                                client.recv(10)
                                answered += 1
                        # Until the last answer could have come.
                        elapsed = time.monotonic() - started
                    _, errors = self.stop(process)
                finally:
                    process.kill()
                if replies is not None:
                    self.assertEqual(answered, replies)
                    self.assertIn(b"0 over the reply limit", errors)
                else:
                    self.assertLessEqual(answered, 5 + 5 * elapsed + 1)
                    self.assertIn(b"%d over the reply limit" % (300 - answered), errors)

    def test_echo_limits_replies_outside_loopback_by_default(self):
        """In a network namespace of its own, a sender on an address of the
        namespace's loopback interface that is not a loopback address."""
        script = f"""
import socket, subprocess, sys, time
subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
subprocess.run(["ip", "addr", "add", "10.77.0.1/32", "dev", "lo"], check=True)
echo = subprocess.Popen([{DRAVIK!r}, "echo", "0", "--bind", "10.77.0.1"], stderr=subprocess.PIPE)
port = int(echo.stderr.readline().split(b"port ")[1].split(b";")[0])
client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
client.bind(("10.77.0.1", 0))
client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
started = time.monotonic()
for _ in range(3000):
    client.sendto(b"q", ("10.77.0.1", port))
client.settimeout(0.5)
answered = 0
last = started
try:
    while True:
        client.recv(10)
        answered += 1
        last = time.monotonic()
except socket.timeout:
    pass
# The budget refills while the echo works: until the last answer came at most.
elapsed = last - started
echo.terminate()
echo.communicate(timeout=10)
print(answered, elapsed)
"""
        result = subprocess.run(["unshare", "-n", "python3", "-c", script], capture_output=True,
                                timeout=TIMEOUT)
        if result.returncode != 0 and (b"unshare" in result.stderr or b"RTNETLINK" in result.stderr):
            self.skipTest(f"no network namespace: {result.stderr.decode().strip()}")
        self.assertEqual(result.returncode, 0, result.stderr)
        answered, elapsed = result.stdout.split()
        # The burst of 1000, and what 1000 a second add until the last answer.
        self.assertGreaterEqual(int(answered), 1000)
        self.assertLessEqual(int(answered), 1000 + 1000 * float(elapsed) + 1)

    def test_takes_the_socket_a_service_manager_passed(self):
        """systemd-socket-activate binds the port, waits for the first datagram
        and starts the echo on the socket, which answers it and the next."""
        if shutil.which("systemd-socket-activate") is None:
            self.skipTest("systemd-socket-activate (Debian's systemd) is not installed")
        port = free_port()
        process = subprocess.Popen(["systemd-socket-activate", "--datagram", "-l",
                                    f"127.0.0.1:{port}", DRAVIK, "echo",
                                    "--socket-from-environment"],
                                   stderr=subprocess.PIPE)
        try:
            answers = []
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as client:
                client.settimeout(TIMEOUT)
                for text in (b"first", b"second"):
                    deadline = time.time() + TIMEOUT
                    while True:  # until the activator listens
                        client.sendto(text, ("127.0.0.1", port))
                        with contextlib.suppress(socket.timeout, ConnectionRefusedError):
                            client.settimeout(0.5)
                            answers.append(client.recvfrom(100))
                            break
                        self.assertLess(time.time(), deadline)
            process.send_signal(signal.SIGTERM)
            _, errors = process.communicate(timeout=TIMEOUT)
        finally:
            process.kill()
        self.assertEqual([data for data, _ in answers][-2:], [b"first", b"second"])
        self.assertTrue(all(source == ("127.0.0.1", port) for _, source in answers))
        self.assertIn(b"echoing on UDP port %d" % port, errors)
        self.assertIn(b"replied", errors)

    def test_bad_values_are_usage_errors(self):
        cases = [
            (["listen", "0", "--allow", "10.0.0.300"], "sender rule '10.0.0.300'"),
            (["listen", "0", "--deny", "10.0.0.1/8"], "bits set past its prefix length"),
            (["echo", "0", "--limit", "-1"], "--limit must be 0 to 1000000000"),
            (["echo", "0", "--reply-limit", "fast"], "--reply-limit must be a whole number"),
            (["listen", "0", "--prefix-lengths", "24"], "--prefix-lengths must be V4,V6"),
            (["listen", "0", "--prefix-lengths", "33,56"], "--prefix-lengths' V4 must be 0 to 32"),
            (["listen", "0", "--in-kernel"], "--in-kernel needs a rule"),
            (["listen", "0", "--reply-limit", "5"], "unknown option '--reply-limit'"),
            (["listen", "5000", "--socket-from-environment"], "takes neither PORT nor --bind"),
            (["listen", "0", "--source", "127.0.0.1"], "--source: only a multicast group member"),
        ]
        for args, text in cases:
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(text, result.stderr.decode())


class StatsTerminalTest(unittest.TestCase):
    """--stats on a terminal, through a pseudo-terminal."""

    def run_listen(self, stdout_on_terminal):
        controller, terminal = pty.openpty()
        stdout = terminal if stdout_on_terminal else subprocess.PIPE
        process = subprocess.Popen([DRAVIK, "listen", "0", "--bind", "127.0.0.1", "--stats"],
                                   stdout=stdout, stderr=terminal)
        os.close(terminal)
        seen = b""

        def read_until(predicate):
            nonlocal seen
            deadline = time.time() + TIMEOUT
            while not predicate(seen) and time.time() < deadline:
                ready, _, _ = select.select([controller], [], [], 0.2)
                if ready:
                    seen += os.read(controller, 4096)
            return predicate(seen)

        try:
            self.assertTrue(read_until(lambda s: re.search(rb"port (\d+);", s)))
            port = int(re.search(rb"port (\d+);", seen).group(1))
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
                # Between two stats lines: after the first, before the second.
                self.assertTrue(read_until(lambda s: s.count(b"received ") >= 1))
                sender.sendto(b"first", ("127.0.0.1", port))
                self.assertTrue(read_until(lambda s: s.count(b"received ") >= 2))
                sender.sendto(b"second", ("127.0.0.1", port))
                self.assertTrue(read_until(lambda s: s.count(b"received ") >= 3))
            process.send_signal(signal.SIGTERM)
            process.wait(timeout=TIMEOUT)
            read_until(lambda s: False if process.poll() is None else True)
        finally:
            process.kill()
            os.close(controller)
        return seen

    def test_whole_lines_when_datagrams_share_the_terminal(self):
        seen = self.run_listen(stdout_on_terminal=True)
        lines = seen.replace(b"\r\n", b"\n").split(b"\n")
        self.assertIn(b"first", lines)
        self.assertIn(b"second", lines)
        self.assertNotIn(b"\x1b[K", seen)
        for line in lines:
            if line.startswith(b"received "):
                self.assertNotIn(b"first", line)
                self.assertNotIn(b"second", line)

    def test_rewrites_in_place_on_a_terminal_of_its_own(self):
        seen = self.run_listen(stdout_on_terminal=False)
        self.assertIn(b"\r", seen)
        self.assertIn(b"\x1b[K", seen)


class SendTest(unittest.TestCase):
    def exchange(self, *args, stdin=b""):
        """Runs dravik send against a Python peer that answers every datagram."""
        peer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        peer.bind(("127.0.0.1", 0))
        peer.settimeout(0.1)
        received = []
        done = threading.Event()

        def answer():
            while not done.is_set():
                try:
                    data, sender = peer.recvfrom(2048)
                except socket.timeout:
                    continue
                received.append(data)
                peer.sendto(b"re: " + data, sender)

        answering = threading.Thread(target=answer)
        answering.start()
        try:
            result = run("send", "127.0.0.1", str(peer.getsockname()[1]), "--wait", "300", *args,
                         stdin=stdin)
        finally:
            done.set()
            answering.join()
            peer.close()
        return result, received

    def test_sends_messages_and_prints_the_replies(self):
        result, received = self.exchange("hello", "world")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(received, [b"hello", b"world"])
        self.assertEqual(result.stdout, b"re: hello\nre: world\n")

    def test_says_which_local_port_it_sends_from(self):
        result, _ = self.exchange("hello")
        self.assertRegex(result.stderr.decode(), r"^sending from UDP port [1-9][0-9]*\n")

    def test_double_dash_ends_the_options(self):
        result, received = self.exchange("--", "--help")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(received, [b"--help"])

    def test_interrupt_ends_a_command_waiting_for_input(self):
        commands = [["send", "127.0.0.1", str(free_port())], ["base64", "encode"]]
        for command, signal_number in zip(commands * 2, (signal.SIGINT,) * 2 + (signal.SIGTERM,) * 2):
            with idle_fifo() as never_ends:  # a writer that never writes
                process = subprocess.Popen([DRAVIK, *command, "--log-level", "debug"],
                                           stdin=never_ends, stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE)
                process.stderr.readline()  # started: the extension's line is logged
                time.sleep(0.2)
                signal_and_wait(process, signal_number)
            # Cut short before the input ended: the shell's status for the signal.
            self.assertEqual(process.returncode, 128 + signal_number, (command, signal_number))

    def test_a_slow_link_gets_every_line_in_order(self):
        # A namespace of its own whose loopback carries 4 Mbit/s, on one processor so
        # that the system cannot reorder what left in order.
        if subprocess.run(["unshare", "-n", "true"], capture_output=True).returncode != 0:
            self.skipTest("cannot make a network namespace (needs root and unshare)")
        lines = [b"%04d " % i + b"x" * 994 for i in range(800)]
        script = ("ip link set lo up && tc qdisc add dev lo root tbf rate 4mbit burst 10kb"
                  " limit 20mb 2>/dev/null || exit 99\n"
                  '"$0" listen 47000 --bind 127.0.0.1 > "$1" 2>/dev/null & listener=$!\n'
                  "sleep 0.3\n"
                  '"$0" send 127.0.0.1 47000 --wait 300; status=$?\n'
                  "kill -TERM $listener; wait $listener; exit $status\n")
        cpu = str(min(os.sched_getaffinity(0)))
        with tempfile.TemporaryDirectory() as directory:
            received = os.path.join(directory, "received")
            result = subprocess.run(["unshare", "-n", "taskset", "-c", cpu, "sh", "-c", script,
                                     DRAVIK, received], input=b"\n".join(lines) + b"\n",
                                    capture_output=True, timeout=60)
            if result.returncode == 99:
                self.skipTest("cannot shape the namespace's loopback (needs ip and tc)")
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(received, "rb") as output:
                self.assertEqual(output.read().splitlines(), lines)

    def test_sends_each_line_of_standard_input(self):
        result, received = self.exchange(stdin=b"first\nsecond\n")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(received, [b"first", b"second"])
        self.assertEqual(result.stdout, b"re: first\nre: second\n")


    def test_a_port_where_no_one_listens_is_reported_and_exits_1(self):
        for host in ("127.0.0.1", "::1"):
            with self.subTest(host=host):
                family = socket.AF_INET6 if ":" in host else socket.AF_INET
                with socket.socket(family, socket.SOCK_DGRAM) as probe:
                    probe.bind((host, 0))
                    closed = probe.getsockname()[1]
                result = run("send", host, str(closed), "hello", "--wait", "200")
                self.assertEqual(result.returncode, 1)
                shown = host if family == socket.AF_INET else "[" + host + "]"
                self.assertIn(("dravik send: %s:%d: %s\n" % (shown, closed, os.strerror(111))).encode(),
                              result.stderr)


class FailureTest(unittest.TestCase):
    """Failures are reported, on their own line and with status 1, whatever the log level."""

    def assertFails(self, result, text):
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(text, result.stderr.decode().splitlines()[-1])

    def test_a_send_that_fails_exits_1_naming_the_destination(self):
        cases = [(["127.0.0.1", "0", "hi"], b"", "1 datagram to 127.0.0.1:0 could not be sent: "),
                 (["0.0.0.0", "6000", "hi"], b"", "to 0.0.0.0:6000 could not be sent: "),
                 (["127.0.0.1", str(free_port())], b"x" * 70000 + b"\nok\n",
                  "1 datagram to 127.0.0.1:")]
        for arguments, stdin, text in cases:
            result = run("send", *arguments, "--wait", "0", "--log-level", "off", stdin=stdin)
            self.assertFails(result, text)

    def test_write_errors(self):
        for command in (["base64", "encode"], ["demo", "--count", "10", "--log-level", "off"]):
            with open("/dev/full", "wb") as full:
                result = subprocess.run([DRAVIK, *command], input=b"data", stdout=full,
                                        stderr=subprocess.PIPE, timeout=TIMEOUT)
            self.assertEqual(result.stderr,
                             b"dravik %s: write error: No space left on device\n" % command[0].encode())
            self.assertEqual(result.returncode, 1)
        port = free_port()
        with open("/dev/full", "wb") as full:
            listener = subprocess.Popen([DRAVIK, "listen", str(port)], stdout=full,
                                        stderr=subprocess.PIPE)
            try:
                listener.stderr.readline()
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
                    sender.sendto(b"lost", ("127.0.0.1", port))
                _, errors = listener.communicate(timeout=TIMEOUT)
            finally:
                listener.kill()
        self.assertEqual(listener.returncode, 1)
        self.assertIn(b"dravik listen: write error: No space left on device", errors)

    def test_read_error(self):
        directory = os.open("/", os.O_RDONLY)
        try:
            result = subprocess.run([DRAVIK, "base64", "encode"], stdin=directory,
                                    capture_output=True, timeout=TIMEOUT)
        finally:
            os.close(directory)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, b"")
        self.assertIn(b"dravik base64: read error: ", result.stderr)

    def test_a_stalled_reader_does_not_hold_up_a_signal(self):
        with idle_fifo() as stalled, open("/dev/zero", "rb") as zeros:  # never read
            process = subprocess.Popen([DRAVIK, "base64", "encode"], stdin=zeros, stdout=stalled,
                                       stderr=subprocess.DEVNULL)
            time.sleep(0.2)
            signal_and_wait(process, signal.SIGTERM)
        self.assertEqual(process.returncode, 128 + signal.SIGTERM)

    def test_closed_standard_input_is_an_empty_one(self):
        result = subprocess.run([DRAVIK, "send", "127.0.0.1", str(free_port()), "--wait", "0"],
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT,
                                preexec_fn=lambda: os.close(0))
        self.assertEqual(result.returncode, 0, result.stderr)

    @unittest.skipIf(os.environ.get("DRAVIK_SANITIZED"),
                     "the sanitizers' runtime needs file descriptors of its own")
    def test_no_descriptors_left_is_not_taken_for_a_bad_address(self):
        def few_descriptors():
            resource.setrlimit(resource.RLIMIT_NOFILE, (4, 4))
        result = subprocess.run([DRAVIK, "send", "127.0.0.1", "9", "hi"], capture_output=True,
                                timeout=TIMEOUT, preexec_fn=few_descriptors)
        self.assertFails(result, "cannot open local port 0: Too many open files")


class OutputEndTest(unittest.TestCase):
    """How listen ends: what was delivered is printed, or counted as not written,
    with the status saying which; a closed standard output fails; an ignored
    Ctrl-C stays ignored."""

    SUMMARY = re.compile(rb"delivered (\d+) \(.*\), printed (\d+), not written (\d+)")

    def listen(self, stdout, ignore_interrupts=False):
        port = free_port()
        process = subprocess.Popen(
            [DRAVIK, "listen", str(port), "--bind", "127.0.0.1"], stdout=stdout,
            stderr=subprocess.PIPE,
            preexec_fn=(lambda: signal.signal(signal.SIGINT, signal.SIG_IGN)) if ignore_interrupts
            else None)
        process.stderr.readline()
        return process, port

    def send(self, port, count, size=1000):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            for i in range(count):
                sender.sendto(b"%06d" % i + bytes(size - 6), ("127.0.0.1", port))
                if i % 50 == 0:
                    time.sleep(0.001)

    def test_output_ends(self):
        for case in ("slow reader", "stalled reader", "closed output", "ignored interrupt"):
            with self.subTest(case):
                getattr(self, "end_with_" + case.replace(" ", "_"))()

    def end_with_slow_reader(self):
        """More than the pipe and the writer's queue hold, read slowly: after
        Ctrl-C every delivered datagram is still printed."""
        read_end, write_end = os.pipe()
        process, port = self.listen(write_end)
        os.close(write_end)
        lines = []
        reading = threading.Thread(target=lambda: lines.extend(slow_lines(read_end)))
        reading.start()
        self.send(port, 3000)
        process.send_signal(signal.SIGINT)
        _, errors = process.communicate(timeout=TIMEOUT)
        reading.join(TIMEOUT)
        delivered, printed, unwritten = map(int, self.SUMMARY.search(errors).groups())
        self.assertEqual((printed, unwritten, len(lines)), (delivered, 0, delivered), errors)
        self.assertEqual(process.returncode, 0)

    def end_with_stalled_reader(self):
        """A reader that stopped reading is waited for about a second: what it did
        not take is counted as not written, and the status is 1."""
        with idle_fifo() as stalled:
            process, port = self.listen(stalled)
            self.send(port, 500)
            time.sleep(0.2)
            started = time.monotonic()
            process.send_signal(signal.SIGINT)
            _, errors = process.communicate(timeout=TIMEOUT)
            self.assertLess(time.monotonic() - started, 5)
        delivered, printed, unwritten = map(int, self.SUMMARY.search(errors).groups())
        self.assertGreater(unwritten, 0, errors)
        self.assertEqual(printed + unwritten, delivered, errors)
        self.assertEqual(process.returncode, 1)

    def end_with_closed_output(self):
        process = subprocess.Popen([DRAVIK, "listen", "0"], stderr=subprocess.PIPE,
                                   preexec_fn=lambda: os.close(1))
        port = int(process.stderr.readline().split(b"port ")[1].split(b";")[0])
        self.send(port, 1, size=10)
        _, errors = process.communicate(timeout=TIMEOUT)
        self.assertEqual(process.returncode, 1)
        self.assertIn(b"dravik listen: write error: Bad file descriptor", errors)
        result = subprocess.run([DRAVIK, "base64", "encode"], input=b"data", stderr=subprocess.PIPE,
                                timeout=TIMEOUT, preexec_fn=lambda: os.close(1))
        self.assertEqual((result.returncode, result.stderr),
                         (1, b"dravik base64: write error: Bad file descriptor\n"))

    def end_with_ignored_interrupt(self):
        process, port = self.listen(subprocess.DEVNULL, ignore_interrupts=True)
        try:
            process.send_signal(signal.SIGINT)
            time.sleep(0.3)
            self.assertIsNone(process.poll(), "an ignored SIGINT ended the command")
            process.send_signal(signal.SIGTERM)
            _, errors = process.communicate(timeout=TIMEOUT)
        finally:
            process.kill()
        self.assertEqual(process.returncode, 0)
        self.assertRegex(errors, self.SUMMARY)


def slow_lines(descriptor):
    """Reads the pipe a little at a time until its end, then splits it into lines."""
    data = bytearray()
    with os.fdopen(descriptor, "rb", buffering=0) as pipe:
        while chunk := pipe.read(16384):
            data += chunk
            time.sleep(0.002)
    return data.splitlines()


class Base64Test(unittest.TestCase):
    def test_agrees_with_coreutils_both_ways(self):
        generator = random.Random(4648)
        for size in (0, 1, 2, 3, 4, 100, 4097, 100000, 200003):
            data = bytes(generator.getrandbits(8) for _ in range(size))
            with tempfile.NamedTemporaryFile() as file:
                file.write(data)
                file.flush()
                for wrap in ("0", "76"):
                    reference = subprocess.run(["base64", "-w", wrap, file.name],
                                               capture_output=True, check=True,
                                               timeout=TIMEOUT).stdout
                    if wrap == "0" and size:
                        reference += b"\n"  # one line, ended
                    for source in ({"stdin": data}, {"file": file.name}):
                        arguments = ["base64", "encode", "--wrap", wrap]
                        if "file" in source:
                            arguments.append(source["file"])
                        encoded = run(*arguments, stdin=source.get("stdin", b""))
                        self.assertEqual(encoded.returncode, 0)
                        self.assertEqual(encoded.stdout, reference, f"size {size} wrap {wrap}")
                    decoded = run("base64", "decode", stdin=reference)
                    self.assertEqual(decoded.returncode, 0, decoded.stderr)
                    self.assertEqual(decoded.stdout, data, f"size {size} wrap {wrap}")
                    crlf = run("base64", "decode", stdin=reference.replace(b"\n", b"\r\n"))
                    self.assertEqual(crlf.stdout, data, f"size {size} wrap {wrap}, CRLF")

    def test_invalid_input_names_its_byte_after_writing_what_came_before(self):
        zeros = lambda n: base64.encodebytes(bytes(n))
        cases = [(b"Zm9v YmFy", 4, b"foo"), (b"Zm9vY", 5, b"foo"), (b"Zg==Zg==", 4, b"f"),
                 (b"=Zg=", 0, b""), (b"Zm9v\rYmFy", 4, b"foo"), (b"Zm9v\nYm-y", 7, b"foo"),
                 (b"Zm9vYmFy!", 8, b"foobar"), (zeros(30000) + b"!", len(zeros(30000)), bytes(30000)),
                 (zeros(100000) + b"?", len(zeros(100000)), bytes(100000))]
        for text, byte, written in cases:
            result = run("base64", "decode", stdin=text)
            self.assertEqual(result.returncode, 1, text[:20])
            self.assertEqual(result.stderr, f"dravik base64: invalid input at byte {byte}\n".encode(),
                             text[:20])
            self.assertEqual(result.stdout, written, text[:20])


    def test_codes_what_has_arrived_as_it_arrives(self):
        exchanges = {"decode": [(b"Zm9v\n", b"foo"), (b"YmFy\n", b"bar")],
                     "encode": [(b"foo", b"Zm9v"), (b"ba", b""), (b"r", b"YmFy")]}
        for command, pieces in exchanges.items():
            process = subprocess.Popen([DRAVIK, "base64", command], stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE)
            try:
                for piece, coded in pieces:
                    process.stdin.write(piece)
                    process.stdin.flush()
                    got = b""
                    while len(got) < len(coded) and select.select([process.stdout], [], [], TIMEOUT)[0]:
                        got += os.read(process.stdout.fileno(), len(coded) - len(got))
                    self.assertEqual(got, coded, command)
                # An interrupt ends it with what was coded already written.
                process.send_signal(signal.SIGINT)
                self.assertEqual(process.wait(timeout=TIMEOUT), 128 + signal.SIGINT, command)
            finally:
                process.kill()


class UserErrorTest(unittest.TestCase):
    def assertOneLineError(self, result, status, text):
        self.assertEqual(result.returncode, status)
        lines = result.stderr.decode().splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertIn(text, lines[0])

    def test_port_in_use(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            holder.bind(("0.0.0.0", 0))
            port = holder.getsockname()[1]
            self.assertOneLineError(run("listen", str(port)), 1,
                                    f"local port {port} is already in use")

    def test_bad_bind_address(self):
        self.assertOneLineError(run("listen", "0", "--bind", "localhost"), 1,
                                "'localhost' is not a numeric IPv4 or IPv6 address")
        self.assertOneLineError(run("listen", "0", "--bind", "192.0.2.1"), 1,
                                "this host has no address 192.0.2.1")
        self.assertOneLineError(run("listen", "0", "--bind", "fe80::1"), 1,
                                "cannot bind to fe80::1: Invalid argument (a link-local address "
                                "needs its interface as a scope")
        self.assertOneLineError(run("listen", "0", "--bind", "fe80::1%nosuch"), 1,
                                "'nosuch' is not a network interface of this host (the scope of "
                                "'fe80::1%nosuch')")
        self.assertOneLineError(run("listen", "0", "--bind", "::1%"), 1,
                                "'::1%' has an empty scope after '%'")

    def test_group_that_cannot_be_joined(self):
        """In a network namespace of its own, with no interface up, no group can be joined."""
        result = subprocess.run(["unshare", "-n", DRAVIK, "listen", "0", "--bind", "239.1.2.3"],
                                capture_output=True, timeout=TIMEOUT)
        if result.returncode != 1 or b"unshare" in result.stderr:
            self.skipTest(f"no network namespace: {result.stderr.decode().strip()}")
        self.assertOneLineError(result, 1, "cannot join group 239.1.2.3 on port 0: ")

    def test_workers_refused(self):
        self.assertOneLineError(run("listen", "0", "--workers", "0"), 2, "--workers")
        result = subprocess.run(["unshare", "-n", "sh", "-c",
                                 "ip link set lo multicast on && ip link set lo up && "
                                 "ip route add 224.0.0.0/4 dev lo && "
                                 f"exec {DRAVIK} listen 0 --bind 239.1.2.3 --workers 2"],
                                capture_output=True, timeout=TIMEOUT)
        if b"unshare" in result.stderr or b"RTNETLINK" in result.stderr:
            self.skipTest(f"no network namespace: {result.stderr.decode().strip()}")
        self.assertOneLineError(result, 1, "cannot run 2 workers: a multicast group member has "
                                           "one worker")

    def test_option_ranges(self):
        """One range per option, in every message; the documented edges pass."""
        refused = [
            (["--tos", "-1"], "--tos must be 0 to 255, not -1"),
            (["--tos", "256"], "--tos must be 0 to 255, not 256"),
            (["--ttl", "-1"], "--ttl must be 1 to 255, not -1"),
            (["--ttl", "0"], "--ttl must be 1 to 255, not 0"),
            (["--ttl=256"], "--ttl must be 1 to 255, not 256"),
            (["--workers", "257"], "--workers must be 1 to 256, not 257"),
        ]
        for options, text in refused:
            for command in (["send", "127.0.0.1", "9"], ["echo", "0"]):
                if options[0] == "--workers" and command[0] == "send":
                    continue
                with self.subTest(command=command[0], options=options):
                    self.assertOneLineError(run(*command, *options, "hi")
                                            if command[0] == "send" else run(*command, *options),
                                            2, text)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as peer:
            peer.bind(("127.0.0.1", 0))
            for options in (["--tos", "0", "--ttl", "255"], ["--tos=255", "--ttl=1"]):
                with self.subTest(options=options):
                    result = run("send", "127.0.0.1", str(peer.getsockname()[1]), "--wait", "50",
                                 *options, "edge")
                    self.assertEqual(result.returncode, 0, result.stderr)

    def test_host_name_instead_of_address(self):
        self.assertOneLineError(run("send", "localhost", "9", "hi"), 1,
                                "'localhost' is not a numeric IPv4 or IPv6 address")

    def test_port_out_of_range(self):
        self.assertOneLineError(run("listen", "70000"), 2, "PORT must be 0 to 65535, not 70000")
        self.assertOneLineError(run("send", "127.0.0.1", "-1", "hi"), 2, "PORT must be 0 to 65535")

    def test_port_is_decimal_digits_only(self):
        for port in ("+5000", " 5000", "5000 ", "0x10", ""):
            self.assertOneLineError(run("send", "127.0.0.1", port, "hi"), 2,
                                    f"PORT must be 0 to 65535, not '{port}'")

    def test_repeated_option(self):
        self.assertOneLineError(run("listen", "5000", "--hex", "--hex"), 2,
                                "option '--hex' is given more than once")
        self.assertOneLineError(run("send", "127.0.0.1", "9", "--wait", "1", "--wait=2"), 2,
                                "option '--wait' is given more than once")

    def test_bad_option(self):
        self.assertOneLineError(run("listen", "5000", "--loud"), 2, "unknown option '--loud'")
        self.assertOneLineError(run("demo", "--log-level", "chatty"), 2, "--log-level must be")
        self.assertOneLineError(run("fly"), 2, "unknown command 'fly'")


class DemoTest(unittest.TestCase):
    def test_loses_nothing_on_loopback(self):
        result = run("demo", "--count", "2000", "--log-level", "off")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        summary = result.stdout.decode()
        self.assertIn("A -> B   sent 2000, received 2000, lost 0", summary)
        self.assertIn("B -> A   sent 2000, received 2000, lost 0", summary)
        self.assertIn("base64   2 payloads decoded back intact, 0 failed", summary)
        self.assertIn(f"bytes    {2000 * 64 * 2} received in all", summary)

    def test_counts_one_datagram_in_the_singular(self):
        summary = run("demo", "--count", "1", "--log-level", "off").stdout.decode()
        self.assertIn("dravik demo: 1 datagram of 64 bytes each way", summary)
        self.assertIn("base64   1 payload decoded back intact", summary)


if __name__ == "__main__":
    unittest.main()
