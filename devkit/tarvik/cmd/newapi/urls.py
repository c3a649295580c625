from django.urls import path

from tarvik.server.function import example

app_name = "example"

urlpatterns = [
    path("example/", views.ExampleListView.as_view(), name="example-list"),
    path("example/<int:pk>/", views.ExampleDetailView.as_view(), name="example-detail"),
]

# Modules the route discovery of the framework walks for this app
# (the router, Example views).
ROUTE_MODULES = (path, example)
