"""Second application folder: shared resources of the user interface."""
