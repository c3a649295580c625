from django.db import models  # noqa: F401

# Create your models here.
