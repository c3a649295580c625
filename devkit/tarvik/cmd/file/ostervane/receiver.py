"""Receives messages that the user interface sends to the server."""

_handlers = {}


def register(kind, handler):
    _handlers[kind] = handler


def receive(kind, payload):
    handler = _handlers.get(kind)
    if handler is None:
        return {"ok": False, "error": f"no handler for {kind}"}
    return {"ok": True, "result": handler(payload)}
