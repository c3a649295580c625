"""Free a local TCP port by killing the processes that hold it."""
from ._tarvik_cmd.admin import kill_process_on_port

__all__ = ["kill_process_on_port"]
