from typing import Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from ._kwivel import Bitmap, RankQuant, SignBitmap

__all__ = ["search_cells", "top_cells"]

def search_cells(
    probe: Union[Bitmap, SignBitmap],
    rerank: RankQuant,
    queries: npt.ArrayLike,
    starts: npt.NDArray[np.integer],
    cells: npt.NDArray[np.integer],
    ids: Optional[npt.NDArray[np.integer]],
    m: int,
    k: int,
    vectors: Optional[npt.NDArray[np.float32]] = None,
    rescore: int = 0,
    allowed: Optional[npt.NDArray[Union[np.uint8, np.bool_]]] = None,
    centre: Optional[npt.ArrayLike] = None,
) -> Tuple[npt.NDArray[np.float32], npt.NDArray[np.int64]]: ...

def top_cells(scores: npt.NDArray[np.float32], width: int) -> npt.NDArray[np.int64]: ...
