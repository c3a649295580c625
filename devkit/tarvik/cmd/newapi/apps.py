from django.apps import AppConfig


class ExampleConfig(AppConfig):
    name = "example"
