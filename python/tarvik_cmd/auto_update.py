"""Self-update client of shipped applications.

The launcher calls ``check_update(app_name, version, status_label, progress_bar)``
at start-up; when it returns True an update script has been started and the
launcher must exit at once.
"""
from _tarvik_cmd.update import (
    _can_reach_server,
    _download,
    _download_range,
    _entry_sha256,
    _fetch_manifest,
    _hash_blocks,
    _is_block_entry,
    _scan_local_files,
    _sha256_file,
    _url_head_ok,
)

__all__ = []
