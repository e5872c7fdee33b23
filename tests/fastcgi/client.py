"""A small FastCGI client for the tests: one request per connection, as a web
server sends it (the parameters, then the body), and the answer's standard
output, standard error and application status."""

import socket
import struct

BEGIN_REQUEST, END_REQUEST, PARAMS, STDIN, STDOUT, STDERR = 1, 3, 4, 5, 6, 7
RESPONDER = 1


def _records(kind, content):
    """The content in records of at most 65535 bytes; empty content is one
    empty record (the end of a stream)."""
    out, at = b'', 0
    while True:
        part = content[at:at + 65535]
        padding = (8 - len(part) % 8) % 8
        out += struct.pack('>BBHHBx', 1, kind, 1, len(part), padding) + part + b'\0' * padding
        at += len(part)
        if at >= len(content):
            return out


def _length(n):
    return bytes([n]) if n < 128 else struct.pack('>I', n | 0x80000000)


def request(path, params, body=b'', timeout=60):
    """Returns (application status, standard output, standard error); the
    status is None when the connection ended without an answer."""
    pairs = b''.join(_length(len(k)) + _length(len(v)) + k + v
                     for k, v in ((k.encode('latin-1'), v.encode('latin-1'))
                                  for k, v in params.items()))
    data = _records(BEGIN_REQUEST, struct.pack('>HB5x', RESPONDER, 0))
    data += _records(PARAMS, pairs) + (_records(PARAMS, b'') if pairs else b'')
    data += (_records(STDIN, body) if body else b'') + _records(STDIN, b'')
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(timeout)
        s.connect(path)
        s.sendall(data)
        received = b''.join(iter(lambda: s.recv(65536), b''))
    out, err, status = b'', b'', None
    while len(received) >= 8:
        _, kind, _, n, padding = struct.unpack('>BBHHB', received[:7])
        content = received[8:8 + n]
        received = received[8 + n + padding:]
        if kind == STDOUT:
            out += content
        elif kind == STDERR:
            err += content
        elif kind == END_REQUEST:
            status = struct.unpack('>i', content[:4])[0]
    return status, out, err
