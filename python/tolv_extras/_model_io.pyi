"""Native readers of whole COLMAP models (tolv_extras._model_io)."""

from typing import Any, Callable, Dict, Optional, Tuple

def read_model_files(cameras: bytes, images: bytes, points3D: bytes, rigs: Optional[bytes],
                     frames: Optional[bytes], text: bool, threads: bool
                     ) -> Dict[str, Optional[Dict[str, Any]]]: ...
def camera_models() -> Tuple[Tuple[int, str, str], ...]: ...
def set_format_error_factory(
        factory: Callable[[str, Optional[int], Optional[int], str], BaseException]) -> None: ...
