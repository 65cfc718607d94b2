"""Ordinal (rank-based) storage and search of dense embedding vectors."""

from . import _kwivel
from ._kwivel import *  # noqa: F401,F403
from .pipeline import Pipeline
from .partitioned import PartitionedIndex
from .collection import Collection
from .shards import ShardError, ShardedIndex, build_sharded
from . import _pickle

_pickle.register()

__all__ = list(_kwivel.__all__) + ["Pipeline"]
__version__ = "0.1.0"
