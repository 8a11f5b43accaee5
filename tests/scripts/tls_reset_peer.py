"""A TLS server that completes one handshake and then goes away badly.

Mode "reset" (the default) sends the first half of an application-data record
and resets the connection (SO_LINGER 0): what a client sees when a server dies
in the middle of a frame. Mode "eof" sends a whole record and then a TCP FIN
without a close_notify alert: a peer that closes the socket under TLS.

Usage: tls_reset_peer.py CERT KEY [reset|eof]. Prints the listening port on
stdout, serves one connection, exits. Every wait is bounded."""
import socket
import ssl
import struct
import sys
import time

cert, key = sys.argv[1], sys.argv[2]
mode = sys.argv[3] if len(sys.argv) > 3 else "reset"
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(cert, key)

ls = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
ls.bind(("127.0.0.1", 0))
ls.listen(1)
ls.settimeout(60)
print(ls.getsockname()[1], flush=True)

conn, _ = ls.accept()
conn.settimeout(60)
incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
tls = ctx.wrap_bio(incoming, outgoing, server_side=True)
while True:
    try:
        tls.do_handshake()
        break
    except ssl.SSLWantReadError:
        pending = outgoing.read()
        if pending:
            conn.sendall(pending)
        data = conn.recv(65536)
        if not data:
            sys.exit(1)
        incoming.write(data)
conn.sendall(outgoing.read())

tls.write(b"F" * 4000)
record = outgoing.read()
if mode == "eof":
    conn.sendall(record)
    conn.shutdown(socket.SHUT_WR)
    # Wait for the client to close too, so that nothing unread turns our
    # close into a reset.
    try:
        while conn.recv(65536):
            pass
    except OSError:
        pass
    conn.close()
    ls.close()
    sys.exit(0)
conn.sendall(record[: len(record) // 2])
time.sleep(0.3)  # let the client read the half record and wait for the rest
conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
conn.close()
ls.close()
