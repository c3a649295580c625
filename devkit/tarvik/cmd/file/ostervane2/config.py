"""User-interface settings of the application window."""
WINDOW_TITLE = "Tarvik"
WINDOW_SIZE = (1024, 768)
SPLASH_IMAGE = "splash.png"
