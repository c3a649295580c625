"""Scheduled jobs of the application."""
import logging

logger = logging.getLogger(__name__)


def example_job():
    """Runs once a minute (see the JobList entry created by each app's apps.py)."""
    logger.info("example job ran")
    return True
