"""Self-update client of shipped applications.

The launcher calls ``check_update(app_name, version, status_label, progress_bar)``
at start-up; when it returns True an update script has been started and the
launcher must exit at once.
"""
from ._tarvik_cmd.update import (
    BASE_URL,
    UPDATE_URL,
    _app_dir,
    _can_reach_server,
    _compare_versions,
    _detect_platform,
    _download,
    _download_range,
    _entry_sha256,
    _fetch_manifest,
    _generate_update_bat,
    _generate_update_script,
    _hash_blocks,
    _is_block_entry,
    _is_ignored,
    _load_community_key,
    _read_gitignore,
    _scan_local_files,
    _sha256_file,
    _url_head_ok,
    _url_path,
    check_update,
)

__all__ = ["check_update", "BASE_URL", "UPDATE_URL"]
