from django.apps import AppConfig


class ExtendsConfig(AppConfig):
    name = "extends"
