"""The far end of a serial port for the Wine test runs.

Opens a pty, links its slave as a COM port of the Wine prefix (dosdevices/comN), and serves a line
protocol on an ephemeral loopback TCP port through which the Windows-side tests drive it:

  CLEAR            forget everything received so far          -> OK
  SEND <hex>       bytes to the Windows side                   -> OK
  RECV <n> <ms>    up to n received bytes, waiting up to ms    -> DATA <hex>
  TERMIOS          the line settings the Windows side made     -> <speed> <bits> <N|E|O> <stop bits>
  SPEED <baud>     set the line speed from this side           -> OK
  LINES            modem bits as the shim keeps them           -> <decimal TIOCM bits>

The control port and the COM name are written to --info ("<port> <COMn>") once it listens. A Windows
process cannot start a Linux program, so CTest starts this one as a fixture (tools/pty-peer.sh).
The slave stays open here: that keeps its termios readable and spares master reads EIO while no
Windows program holds the port. Ends after --seconds at the latest.
"""
import argparse
import os
import select
import signal
import socket
import sys
import termios
import time
import tty

signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))  # so that the finally below still runs

ap = argparse.ArgumentParser()
ap.add_argument('--link', required=True)
ap.add_argument('--com', required=True)
ap.add_argument('--info', required=True)
ap.add_argument('--lines', required=True)
ap.add_argument('--seconds', type=float, default=900)
args = ap.parse_args()

master, slave = os.openpty()
tty.setraw(slave)
slave_name = os.ttyname(slave)
pts = int(slave_name.rsplit('/', 1)[1])
os.makedirs(args.lines, exist_ok=True)
lines_file = os.path.join(args.lines, 'pts-%d' % pts)
try:
    os.unlink(lines_file)  # a left-over of an earlier pty with the same number
except FileNotFoundError:
    pass
try:
    os.unlink(args.link)
except FileNotFoundError:
    pass
os.symlink(slave_name, args.link)

SPEEDS = {getattr(termios, k): int(k[1:]) for k in dir(termios) if k[:1] == 'B' and k[1:].isdigit()}
BAUD_CODES = {v: k for k, v in SPEEDS.items()}
CSIZE = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}

received = bytearray()


def drain():
    while select.select([master], [], [], 0)[0]:
        try:
            data = os.read(master, 65536)
        except OSError:
            return
        if not data:
            return
        received.extend(data)


def handle(line):
    global received
    words = line.split()
    if not words:
        return 'ERR empty'
    cmd = words[0].upper()
    if cmd == 'CLEAR':
        drain()
        received = bytearray()
        return 'OK'
    if cmd == 'SEND':
        data = bytes.fromhex(''.join(words[1:]))
        while data:
            data = data[os.write(master, data):]
        return 'OK'
    if cmd == 'RECV':
        want, wait = int(words[1]), int(words[2]) / 1000.0
        end = time.time() + wait
        drain()
        while len(received) < want:
            left = end - time.time()
            if left <= 0:
                break
            select.select([master], [], [], left)
            drain()
        out, received = bytes(received[:want]), received[want:]
        return 'DATA ' + out.hex().upper()
    if cmd == 'TERMIOS':
        attrs = termios.tcgetattr(slave)
        cflag = attrs[2]
        parity = 'N' if not cflag & termios.PARENB else ('O' if cflag & termios.PARODD else 'E')
        stop = 2 if cflag & termios.CSTOPB else 1
        return '%d %d %s %d' % (SPEEDS.get(attrs[5], -1), CSIZE.get(cflag & termios.CSIZE, -1), parity, stop)
    if cmd == 'SPEED':
        attrs = termios.tcgetattr(slave)
        attrs[4] = attrs[5] = BAUD_CODES[int(words[1])]
        termios.tcsetattr(slave, termios.TCSANOW, attrs)
        return 'OK'
    if cmd == 'LINES':
        try:
            with open(lines_file) as f:
                return f.read().strip()
        except FileNotFoundError:
            return 'DEFAULT'
    return 'ERR unknown command'


server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
server.bind(('127.0.0.1', 0))
server.listen(8)
tmp = args.info + '.tmp'
with open(tmp, 'w') as f:
    f.write('%d %s\n' % (server.getsockname()[1], args.com))
os.rename(tmp, args.info)

clients = {}
deadline = time.time() + args.seconds
try:
    while time.time() < deadline:
        ready = select.select([master, server] + list(clients), [], [], 0.05)[0]
        if master in ready:
            drain()
        if server in ready:
            conn, _ = server.accept()
            clients[conn] = b''
        for conn in [c for c in ready if c in clients]:
            data = conn.recv(65536)
            if not data:
                conn.close()
                del clients[conn]
                continue
            clients[conn] += data
            while b'\n' in clients[conn]:
                line, clients[conn] = clients[conn].split(b'\n', 1)
                try:
                    reply = handle(line.decode('ascii', 'replace'))
                except Exception as e:  # a bad request must not end the fixture
                    reply = 'ERR %s' % e
                conn.sendall((reply + '\n').encode('ascii'))
finally:
    for path in (args.link, args.info):
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass
