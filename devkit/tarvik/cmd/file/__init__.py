"""Workspace file templates (copied into a new workspace)."""
