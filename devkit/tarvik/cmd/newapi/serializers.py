from rest_framework import serializers

from tarvik.server.core import models


class ExampleSerializer(serializers.ModelSerializer):
    class Meta:
        model = models.Example
        fields = ["id", "title", "created"]
