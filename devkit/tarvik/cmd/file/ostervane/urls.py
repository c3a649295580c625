"""URL routes of the project; apps add their own under their package name."""
urlpatterns = []
