"""What the tests use of newer standard libraries, for Python 3.6 and 3.7."""
import socket


def create_server(address):
    """socket.create_server (3.8) for a TCP listener on IPv4."""
    if hasattr(socket, "create_server"):
        return socket.create_server(address)
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        srv.bind(address)
        srv.listen()
    except BaseException:
        srv.close()
        raise
    return srv
