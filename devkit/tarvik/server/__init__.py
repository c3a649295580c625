"""Server side of the framework stand-in."""
