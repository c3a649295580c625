def version():
    return "0.0.1"
