from django.db import models


class Example(models.Model):
    """One record of the Example API."""

    title = models.CharField(max_length=200)
    created = models.DateTimeField(auto_now_add=True)

    class Meta:
        db_table = "example"
        ordering = ["-created"]

    def __str__(self):
        return self.title
