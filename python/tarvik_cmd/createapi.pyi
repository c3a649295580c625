def new_api(folder: str) -> None: ...
def replace_example_in_file(
    file_path: str,
    app_name: str,
    is_filter_file: bool = False,
    is_serializers_file: bool = False,
    is_urls_file: bool = False,
    is_views_file: bool = False,
) -> None: ...
