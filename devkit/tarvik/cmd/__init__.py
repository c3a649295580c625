"""Template trees used by the command library."""
