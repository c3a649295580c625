"""The application project: every app is a sub-package of this folder."""
