from rest_framework import generics

from tarvik.server.core import models, serializers, filter


class ExampleListView(generics.ListCreateAPIView):
    queryset = models.Example.objects.all()
    serializer_class = serializers.ExampleSerializer
    filterset_class = filter.ExampleFilter


class ExampleDetailView(generics.RetrieveUpdateDestroyAPIView):
    queryset = models.Example.objects.all()
    serializer_class = serializers.ExampleSerializer
