import os
from typing import Any, Callable, Dict, Iterable, List, Optional, Union

import numpy as np
import numpy.typing as npt

__version__: str

Frame = npt.NDArray[np.uint8]  # HxWx3, BGR

class Result:
    mean: Optional[Frame]
    median: Optional[Frame]
    blend: Optional[Frame]
    key_frames: List[Dict[str, Any]]  # "id": int, "frame": int, "frame_to_canvas": 3x3 array or None
    report: Dict[str, Any]
    written: List[str]
    messages: str
    notes: List[str]

def mosaic(
    source: Union[str, bytes, os.PathLike, Iterable[Frame]],
    overlap: int = ...,
    features: int = ...,
    median: bool = ...,
    frame_limit: int = ...,
    refine: bool = ...,
    blend: bool = ...,
    memory_budget_mb: Optional[int] = ...,
    progress: Optional[Callable[[int], object]] = ...,
    *,
    keep_going: bool = ...,
    output_dir: Optional[Union[str, os.PathLike]] = ...,
    json: Optional[Union[str, os.PathLike]] = ...,
    work_scale: float = ...,
) -> Result: ...
def main(argv: Optional[List[str]] = ...) -> int: ...
