"""Starts the application's local web server."""
import os


def run(host="127.0.0.1", port=8000):
    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "tarvik.server.server.settings")
    from django.core.management import call_command
    import django

    django.setup()
    call_command("runserver", f"{host}:{port}", use_reloader=False)
