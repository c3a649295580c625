import django_filters

from tarvik.server.core import models


class ExampleFilter(django_filters.FilterSet):
    title = django_filters.CharFilter(lookup_expr="icontains")

    class Meta:
        model = models.Example
        fields = ["title"]
